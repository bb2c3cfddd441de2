// The libtorch side of the Silero model wrapper: a loaded TorchScript module and the per-stream
// state that runs it. Internal to libvad. This header and torch_module.cpp are C++17 and the only
// code that sees libtorch (whose 1.13 headers do not build as C++20 with every compiler).
#pragma once

#include <cstddef>
#include <exception>
#include <memory>
#include <mutex>
#include <string>

namespace utils::vad::detail {

// Float32 samples of one frame and the handle that keeps them alive; a tensor made over them
// holds the handle for as long as it lives.
struct Frame {
  const float* data;
  std::size_t size;
  std::shared_ptr<const void> owner;
};

class TorchStream;
class SileroNetwork;

class TorchModule {
 public:
  // Loads a TorchScript file onto `device`; throws whatever torch throws.
  static std::unique_ptr<TorchModule> load(const std::string& path, const std::string& device);
  ~TorchModule();

  // forward(frame, sample_rate) on the module's own state, one call at a time.
  double forward(const Frame& frame, int sample_rate);

  // Per-stream state for this module: explicit state tensors when the module has
  // forward_with_state, else a private clone of the module.
  std::unique_ptr<TorchStream> new_stream() const;
  // One frame of one stream. Streams of one module may run concurrently.
  double forward(const Frame& frame, int sample_rate, TorchStream& stream) const;
  // One frame for each of `count` streams: out[i] the probability and errors[i] null, or out[i]
  // 0.0 and errors[i] the failure (that stream's state then unchanged), as forward() per stream
  // would give. Well-formed frames of the converted model that share a sample rate run through
  // its network together. REQUIRES: distinct streams.
  void forward_batch(const Frame* frames, const int* sample_rates, TorchStream* const* streams,
                     std::size_t count, double* out, std::exception_ptr* errors) const;

 private:
  struct Impl;
  explicit TorchModule(std::unique_ptr<Impl> impl);
  // The network a frame of `stream` runs through without the interpreter, or nullptr.
  const SileroNetwork* direct_path(const Frame& frame, int sample_rate,
                                   const TorchStream& stream) const;
  std::unique_ptr<Impl> impl_;
};

class TorchStream {
 public:
  ~TorchStream();
  struct Impl;  // defined in torch_module.cpp

 private:
  friend class TorchModule;
  friend void require_distinct(TorchStream* const*, std::size_t);
  explicit TorchStream(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

// Throws std::invalid_argument when a stream appears more than once among `count`.
void require_distinct(TorchStream* const* streams, std::size_t count);

// The message of an error from torch without its C++ backtrace.
std::string error_message(const std::exception& e);

}  // namespace utils::vad::detail
