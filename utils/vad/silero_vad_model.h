// SileroVADModel: one loaded Silero VAD model that turns a frame of samples into a speech
// probability. Instances are shared process-wide through get_instance(): one per (model path,
// device), loaded once, kept until the process ends.
//
// The model is recurrent (LSTM state plus the last 64 or 32 samples of context). predict(audio,
// sample_rate) runs on the instance's own state, shared by every caller. Streams that must not
// disturb each other each hold a Stream from new_stream() and call predict(audio, sample_rate,
// stream): the weights are shared and only read; the state is the stream's. For a model file
// without the explicit-state method `forward_with_state`, a Stream carries its own copy of the
// module instead (one clone per stream, made from the module as loaded, so it starts from zeros).
// A frame whose result is not finite (NaN or infinite samples) is answered with 0.0 and leaves the
// state it ran on, the instance's or the stream's, as it was before the frame.
//
// Thread safety: get_instance() may be called from any thread (one load at a time, for any key).
// predict() without a stream is serialised by the instance's own mutex. predict() and
// predict_batch() with distinct streams may run concurrently; calls with one stream must not
// overlap.
#pragma once

#include <memory>
#include <optional>
#include <span>
#include <string>

#include "utils/audio_samples.h"
#include "utils/export.h"

namespace utils::vad {

namespace detail {
class ModelBackend;
class ModelStream;
}  // namespace detail

class VAD_API SileroVADModel {
 public:
  // The recurrent state of one audio stream. Starts from zeros; moves, does not copy.
  class VAD_API Stream {
   public:
    Stream(Stream&&) noexcept;
    Stream& operator=(Stream&&) noexcept;
    ~Stream();

   private:
    friend class SileroVADModel;
    explicit Stream(std::unique_ptr<detail::ModelStream> impl);
    std::unique_ptr<detail::ModelStream> impl_;
  };

  // Loads the model at once: the TorchScript file at `model_path` when something exists there,
  // else the packaged model. Throws the loading error (after logging it).
  explicit SileroVADModel(std::optional<std::string> model_path = std::nullopt,
                          std::string device = "cpu");
  ~SileroVADModel();
  SileroVADModel(const SileroVADModel&) = delete;
  SileroVADModel& operator=(const SileroVADModel&) = delete;

  // The shared instance for (model_path, device), loaded on first use. Cache key:
  // "<path or None>_<device>". A failed load stores nothing.
  static std::shared_ptr<SileroVADModel> get_instance(
      std::optional<std::string> model_path = std::nullopt, const std::string& device = "cpu");

  // The speech probability of one frame, on the instance's shared state. Samples of any element
  // type are converted to float32 value by value; float32 samples are used in place. A frame the
  // model rejects is logged and answered with 0.0. Throws "Model not loaded" without a model.
  double predict(const AudioSamples& audio, int sample_rate = 16000);

  // A fresh stream state for this model.
  Stream new_stream() const;
  // As predict(), on `stream`'s state. REQUIRES: `stream` came from this instance's new_stream().
  double predict(const AudioSamples& audio, int sample_rate, Stream& stream) const;

  // One frame for each of several streams, any mix of 8 kHz and 16 kHz: probabilities[i] is what
  // predict(frames[i], sample_rates[i], *streams[i]) returns and each stream's state afterwards
  // is what that call leaves (errors are logged and answered with 0.0 per frame, in order).
  // Frames of the packaged network that share a rate run through it together, layer by layer.
  // Throws std::invalid_argument for spans of different lengths or a stream named twice.
  // REQUIRES: every stream came from this instance's new_stream(); no other call uses them.
  void predict_batch(std::span<const AudioSamples> frames, std::span<const int> sample_rates,
                     std::span<Stream* const> streams, std::span<double> probabilities) const;

  // The kernel of the packaged network's matrix products, for every instance in the process:
  // AVX2 with FMA by default where the CPU has both, else portable. The two agree to rounding
  // (about 1e-6 in a probability); portable gives the same results on every x86-64 CPU.
  // set_frame_kernel returns false, changing nothing, for AVX2 on a CPU without it. Call it
  // before frames run (it is safe at any time, but a batch running then may use either).
  enum class FrameKernel { portable, avx2 };
  static bool set_frame_kernel(FrameKernel kernel);
  static FrameKernel frame_kernel();

  // Whether a model is loaded (always, for an instance that get_instance returned).
  bool has_model() const { return model_ != nullptr; }

  // A wrapper without a model, for testing the "Model not loaded" path.
  static std::unique_ptr<SileroVADModel> without_model_for_testing();

  const std::string device;
  const std::optional<std::string> model_path;

  void _load_model();

 private:
  struct NoLoad {};
  SileroVADModel(NoLoad, std::optional<std::string> model_path, std::string device);

  std::unique_ptr<detail::ModelBackend> model_;
};

}  // namespace utils::vad
