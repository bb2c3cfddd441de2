// The checks every model backend shares.
#include "utils/vad/model_backend.h"

#include <atomic>
#include <cmath>
#include <stdexcept>
#include <string>

namespace utils::vad::detail {

void require_distinct(ModelStream* const* streams, std::size_t count) {
  // Each call marks its streams with a number of its own: a stream already marked by this call
  // is named twice. Linear, and no memory.
  static std::atomic<std::uint64_t> calls{0};
  const std::uint64_t call = ++calls;
  for (std::size_t i = 0; i < count; ++i) {
    if (streams[i]->batch == call) {
      throw std::invalid_argument("predict_batch: the stream at " + std::to_string(i) +
                                  " appears earlier in the batch too");
    }
    streams[i]->batch = call;
  }
}

void ModelBackend::forward_alone(const Frame* frames, const int* sample_rates,
                                 ModelStream* const* streams, std::size_t i, double* out,
                                 std::exception_ptr* errors) const {
  try {
    out[i] = forward(frames[i], sample_rates[i], *streams[i]);
    errors[i] = nullptr;
  } catch (...) {
    out[i] = 0.0;
    errors[i] = std::current_exception();
  }
}

void require_finite(double probability) {
  if (!std::isfinite(probability)) {
    throw std::runtime_error("model returned " + std::to_string(probability) + " for this frame");
  }
}

}  // namespace utils::vad::detail
