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
// predict() without a stream is serialised by the instance's own mutex. predict() with distinct
// streams may run concurrently; calls with one stream must not overlap.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "utils/audio_samples.h"
#include "utils/export.h"

namespace utils::vad {

namespace detail {
class TorchModule;
class TorchStream;
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
    explicit Stream(std::unique_ptr<detail::TorchStream> impl);
    std::unique_ptr<detail::TorchStream> impl_;
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

  std::unique_ptr<detail::TorchModule> model_;
};

}  // namespace utils::vad
