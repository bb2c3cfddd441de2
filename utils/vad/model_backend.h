// ModelBackend: what SileroVADModel runs frames on. Two kinds: the packaged network read from
// libvad's own weights file (direct_model.h) and a TorchScript file on libtorch (torch_module.h).
// Internal to libvad.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>

#include "utils/export.h"

namespace utils::vad::detail {

// Float32 samples of one frame and the handle that keeps them alive.
struct Frame {
  const float* data;
  std::size_t size;
  std::shared_ptr<const void> owner;
};

// One stream's recurrent state, of the backend that made it.
class VAD_API ModelStream {
 public:
  virtual ~ModelStream() = default;
  // The batch call that last named this stream (require_distinct).
  std::uint64_t batch = 0;
};

class VAD_API ModelBackend {
 public:
  virtual ~ModelBackend() = default;

  // forward(frame, sample_rate) on the backend's own state, one call at a time (the backend
  // serialises them). Throws the model's error for a frame it rejects or without a finite result,
  // leaving the state as it was.
  virtual double forward(const Frame& frame, int sample_rate) = 0;

  // A fresh state, from zeros.
  virtual std::unique_ptr<ModelStream> new_stream() const = 0;
  // One frame of one stream; streams may run concurrently. REQUIRES: `stream` from new_stream().
  virtual double forward(const Frame& frame, int sample_rate, ModelStream& stream) const = 0;
  // One frame for each of `count` streams: out[i] the probability and errors[i] null, or out[i]
  // 0.0 and errors[i] the failure (that stream's state then unchanged), as forward() per stream
  // would give. REQUIRES: distinct streams, each from new_stream().
  virtual void forward_batch(const Frame* frames, const int* sample_rates,
                             ModelStream* const* streams, std::size_t count, double* out,
                             std::exception_ptr* errors) const = 0;

 protected:
  // out[i] and errors[i] as forward_batch() promises them, for frame i run on its own.
  void forward_alone(const Frame* frames, const int* sample_rates, ModelStream* const* streams,
                     std::size_t i, double* out, std::exception_ptr* errors) const;
};

// Throws std::invalid_argument when a stream appears more than once among `count`.
void require_distinct(ModelStream* const* streams, std::size_t count);

// A frame with NaN or infinite samples gives no probability, and its state would carry the NaN
// into every later frame: throws for such a result, so that the caller keeps the state from
// before the frame.
VAD_API void require_finite(double probability);

}  // namespace utils::vad::detail
