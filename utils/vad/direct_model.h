// DirectModel: the converted Silero network's two branches (16 kHz and 8 kHz) run by libvad's own
// kernels, with the TorchScript module's input rules, messages and state handling: a rate that
// is a multiple of 16000 is decimated to 16 kHz, other rates than 8000 and 16000 and frames of
// other lengths are refused, and a state starts over when the sample rate changes. Internal to
// libvad; no libtorch here.
#pragma once

#include <mutex>
#include <string>

#include "utils/export.h"
#include "utils/vad/model_backend.h"
#include "utils/vad/silero_network.h"

namespace utils::vad::detail {

// Exported for the TorchScript plugin, which runs the converted model's streams on it.
class VAD_API DirectModel final : public ModelBackend {
 public:
  // REQUIRES: weights that passed check_weights().
  DirectModel(const SileroWeights& branch16, const SileroWeights& branch8);

  double forward(const Frame& frame, int sample_rate) override;
  std::unique_ptr<ModelStream> new_stream() const override;
  double forward(const Frame& frame, int sample_rate, ModelStream& stream) const override;
  void forward_batch(const Frame* frames, const int* sample_rates, ModelStream* const* streams,
                     std::size_t count, double* out, std::exception_ptr* errors) const override;

 private:
  // The branch a well-formed frame runs on as it stands, or nullptr (to be decimated or refused).
  const SileroNetwork* as_is(const Frame& frame, int sample_rate) const;

  SileroNetwork branch16_, branch8_;
  std::mutex mutex_;                     // serialises forward() on the shared state
  std::unique_ptr<ModelStream> shared_;  // the state of forward() without a stream
};

// Empty when `w` describes a network SileroNetwork can run (consistent shapes, four STFT windows
// per frame), else what is wrong with it.
VAD_API std::string check_weights(const SileroWeights& w);

}  // namespace utils::vad::detail
