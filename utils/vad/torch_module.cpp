// TorchModule: running the Silero TorchScript model (or a user-supplied one) on CPU libtorch.
#include "utils/vad/torch_module.h"

#include <cmath>
#include <optional>

#include <ATen/core/ivalue.h>
#include <c10/util/Exception.h>
#include <torch/csrc/api/include/torch/types.h>
#include <c10/core/InferenceMode.h>
#include <torch/csrc/jit/api/module.h>
#include <torch/csrc/jit/serialization/import.h>

namespace utils::vad::detail {

struct TorchModule::Impl {
  Impl(torch::jit::Module m, torch::Device d)
      : module(std::move(m)),
        device(d),
        explicit_state(module.find_method("forward_with_state").has_value()) {}
  torch::jit::Module module;
  torch::Device device;
  bool explicit_state;
  std::mutex mutex;  // serialises forward() on the module's own state
};

struct TorchStream::Impl {
  // Explicit state: the LSTM state and the context (empty tensors start from zeros).
  torch::Tensor state = torch::zeros({0});
  torch::Tensor context = torch::zeros({0});
  // No explicit state: this stream's own copy of the module.
  std::optional<torch::jit::Module> clone;
};

TorchModule::TorchModule(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
TorchModule::~TorchModule() = default;
TorchStream::TorchStream(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
TorchStream::~TorchStream() = default;

std::unique_ptr<TorchModule> TorchModule::load(const std::string& path,
                                               const std::string& device_name) {
  torch::Device device(device_name);
  // Mapping onto a device this libtorch cannot reach fails here, not at the first frame.
  if (!device.is_cpu()) {
    throw std::runtime_error("device '" + device_name + "' is not available in this build");
  }
  auto module = torch::jit::load(path, device);
  module.eval();
  return std::unique_ptr<TorchModule>(
      new TorchModule(std::make_unique<Impl>(std::move(module), device)));
}

bool TorchModule::has_explicit_state() const { return impl_->explicit_state; }

namespace {

torch::Tensor frame_tensor(const Frame& frame, const torch::Device& device) {
  // No copy: the tensor views the caller's samples and keeps them alive through `owner`.
  auto owner = frame.owner;
  auto t = torch::from_blob(const_cast<float*>(frame.data),
                            {static_cast<std::int64_t>(frame.size)},
                            [owner](void*) mutable { owner.reset(); },
                            torch::TensorOptions().dtype(torch::kFloat32));
  return t.to(device);
}

}  // namespace

double TorchModule::forward(const Frame& frame, int sample_rate) {
  // Inference mode: no gradients, and no autograd bookkeeping on any tensor of the call (a
  // measurable share of a frame's time).
  c10::InferenceMode inference;
  auto x = frame_tensor(frame, impl_->device);
  std::lock_guard lock(impl_->mutex);
  return impl_->module.forward({x, sample_rate}).toTensor().item<double>();
}

std::unique_ptr<TorchStream> TorchModule::new_stream() const {
  auto impl = std::make_unique<TorchStream::Impl>();
  if (!impl_->explicit_state) impl->clone = impl_->module.clone();
  return std::unique_ptr<TorchStream>(new TorchStream(std::move(impl)));
}

double TorchModule::forward(const Frame& frame, int sample_rate, TorchStream& stream) const {
  c10::InferenceMode inference;
  auto x = frame_tensor(frame, impl_->device);
  auto& s = *stream.impl_;
  if (s.clone) return s.clone->forward({x, sample_rate}).toTensor().item<double>();
  // The shared module's weights are only read here, so streams need no lock between them.
  auto out = impl_->module.get_method("forward_with_state")({x, sample_rate, s.state, s.context})
                 .toTuple();
  const auto& parts = out->elements();
  const double p = parts[0].toTensor().item<double>();
  // A frame with NaN or infinite samples gives no probability, and its state would carry the NaN
  // into every later frame of the stream: fail the frame and keep the state from before it.
  if (!std::isfinite(p)) {
    throw std::runtime_error("model returned " + std::to_string(p) + " for this frame");
  }
  s.state = parts[1].toTensor();
  s.context = parts[2].toTensor();
  return p;
}

std::string error_message(const std::exception& e) {
  if (const auto* c10_error = dynamic_cast<const c10::Error*>(&e)) {
    return c10_error->what_without_backtrace();
  }
  // An error raised inside a TorchScript model arrives with the model's source traceback; its
  // last line is the error itself ("builtins.ValueError: <message>"). Keep one line.
  std::string message = e.what();
  if (message.find('\n') == std::string::npos) return message;
  while (!message.empty() && (message.back() == '\n' || message.back() == ' ')) message.pop_back();
  message = message.substr(message.rfind('\n') + 1);
  if (message.rfind("builtins.", 0) == 0) {
    const auto colon = message.find(": ");
    if (colon != std::string::npos) message = message.substr(colon + 2);
  }
  return message;
}

}  // namespace utils::vad::detail
