// The libtorch side of the Silero model wrapper: a loaded TorchScript module and the per-stream
// state that runs it, in the plugin libquern_vad_torch.so (torch_plugin.h). This header and
// torch_module.cpp are C++17 and the only code that sees libtorch (whose 1.13 headers do not
// build as C++20 with every compiler).
#pragma once

#include <cstddef>
#include <exception>
#include <memory>
#include <string>

#include "utils/vad/model_backend.h"

namespace utils::vad::detail {

class TorchModule final : public ModelBackend {
 public:
  // Loads a TorchScript file onto `device`; throws whatever torch throws.
  static std::unique_ptr<TorchModule> load(const std::string& path, const std::string& device);
  ~TorchModule() override;

  // forward(frame, sample_rate) on the module's own state, in the interpreter.
  double forward(const Frame& frame, int sample_rate) override;

  // Streams of the converted Silero model run on its networks without the interpreter
  // (direct_model.h). Other modules' streams hold explicit state tensors when the module has
  // forward_with_state, else a private clone of the module.
  std::unique_ptr<ModelStream> new_stream() const override;
  double forward(const Frame& frame, int sample_rate, ModelStream& stream) const override;
  void forward_batch(const Frame* frames, const int* sample_rates, ModelStream* const* streams,
                     std::size_t count, double* out, std::exception_ptr* errors) const override;

 private:
  struct Impl;
  explicit TorchModule(std::unique_ptr<Impl> impl);
  // The calls above before their errors are made one line.
  double forward_shared(const Frame& frame, int sample_rate);
  std::unique_ptr<ModelStream> make_stream() const;
  double forward_stream(const Frame& frame, int sample_rate, ModelStream& stream) const;
  std::unique_ptr<Impl> impl_;
};

// The message of an error from torch without its C++ backtrace.
std::string error_message(const std::exception& e);

}  // namespace utils::vad::detail
