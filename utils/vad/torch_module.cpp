// TorchModule: running the Silero TorchScript model (or a user-supplied one) on CPU libtorch.
#include "utils/vad/torch_module.h"

#include <ATen/ATen.h>
#include <ATen/core/ivalue.h>
#include <c10/core/InferenceMode.h>
#include <c10/util/Exception.h>
#include <torch/csrc/api/include/torch/types.h>
#include <torch/csrc/jit/api/module.h>
#include <torch/csrc/jit/serialization/import.h>

#include <cmath>
#include <optional>

namespace utils::vad::detail {

namespace {

// One branch of the converted Silero network (scripts/silero/silero_module.py), read from the
// loaded module's buffers. A well-formed single frame runs through these with direct ATen calls:
// the same operators on the same weights as the module's forward_with_state, without the
// TorchScript interpreter, which costs as much as the arithmetic at one frame per call.
struct SileroBranch {
  std::int64_t frame, context, hop, window, pad, bins;
  at::Tensor stft_w, conv0_w, conv0_b, conv1_w, conv1_b, conv2_wt, conv2_b, conv3_wt, conv3_b,
      lstm_wt, lstm_b, out_wt, out_b;
};

std::optional<SileroBranch> read_branch(const torch::jit::Module& m, const char* name,
                                        std::int64_t frame, std::int64_t context) {
  if (!m.hasattr(name)) return std::nullopt;
  const auto value = m.attr(name);
  if (!value.isModule()) return std::nullopt;
  const auto b = value.toModule();
  for (const char* a :
       {"hop", "pad", "window", "bins", "stft_w", "conv0_w", "conv0_b", "conv1_w", "conv1_b",
        "conv2_wt", "conv2_b", "conv3_wt", "conv3_b", "lstm_wt", "lstm_b", "out_wt", "out_b"}) {
    if (!b.hasattr(a)) return std::nullopt;
  }
  auto t = [&](const char* a) { return b.attr(a).toTensor(); };
  return SileroBranch{frame,
                      context,
                      b.attr("hop").toInt(),
                      b.attr("window").toInt(),
                      b.attr("pad").toInt(),
                      b.attr("bins").toInt(),
                      t("stft_w"),
                      t("conv0_w"),
                      t("conv0_b"),
                      t("conv1_w"),
                      t("conv1_b"),
                      t("conv2_wt"),
                      t("conv2_b"),
                      t("conv3_wt"),
                      t("conv3_b"),
                      t("lstm_wt"),
                      t("lstm_b"),
                      t("out_wt"),
                      t("out_b")};
}

// One frame through a branch. `state` [2, 1, 128] and `context` [1, context] are replaced by the
// new ones; returns the probability.
at::Tensor run_branch(const SileroBranch& b, const at::Tensor& frame, at::Tensor& state,
                      at::Tensor& context) {
  if (state.sizes() != at::IntArrayRef{2, 1, 128} ||
      context.sizes() != at::IntArrayRef{1, b.context}) {
    state = at::zeros({2, 1, 128});
    context = at::zeros({1, b.context});
  }
  const auto x = at::cat({context, frame.view({1, -1})}, 1);
  const auto padded = at::reflection_pad1d(x.unsqueeze(0), {0, b.pad}).view({-1});
  const auto spec = at::mm(padded.unfold(0, b.window, b.hop), b.stft_w);
  const auto steps = spec.size(0);
  auto y = at::hypot(spec.narrow(1, 0, b.bins), spec.narrow(1, b.bins, b.bins));
  y = at::constant_pad_nd(y, {0, 0, 1, 1}).unfold(0, 3, 1).reshape({steps, -1});
  y = at::addmm(b.conv0_b, y, b.conv0_w).relu_();
  y = at::constant_pad_nd(y, {0, 0, 1, 1}).unfold(0, 3, 2).reshape({steps / 2, -1});
  y = at::addmm(b.conv1_b, y, b.conv1_w).relu_();
  y = at::addmv(b.conv2_b, b.conv2_wt, y.view({-1})).relu_();
  y = at::addmv(b.conv3_b, b.conv3_wt, y).relu_();
  const auto h = state[0][0], c = state[1][0];
  const auto gates = at::addmv(b.lstm_b, b.lstm_wt, at::cat({y, h}));
  const auto sig = gates.sigmoid();
  const auto c2 =
      sig.narrow(0, 128, 128) * c + sig.narrow(0, 0, 128) * gates.narrow(0, 256, 128).tanh();
  const auto h2 = sig.narrow(0, 384, 128) * c2.tanh();
  auto p = at::addmv(b.out_b, b.out_wt, h2.relu()).sigmoid_();
  state = at::stack({h2, c2}).unsqueeze(1);
  context = x.narrow(1, x.size(1) - b.context, b.context);
  return p;
}

}  // namespace

struct TorchModule::Impl {
  Impl(torch::jit::Module m, torch::Device d)
      : module(std::move(m)),
        device(d),
        explicit_state(module.find_method("forward_with_state").has_value()) {
    if (explicit_state && device.is_cpu()) {
      branch16 = read_branch(module, "branch16", 512, 64);
      branch8 = read_branch(module, "branch8", 256, 32);
    }
  }
  torch::jit::Module module;
  torch::Device device;
  bool explicit_state;
  std::optional<SileroBranch> branch16, branch8;  // the converted Silero model's direct path
  std::mutex mutex;                               // serialises forward() on the module's own state
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

namespace {

torch::Tensor frame_tensor(const Frame& frame, const torch::Device& device) {
  // No copy: the tensor views the caller's samples and keeps them alive through `owner`.
  auto owner = frame.owner;
  auto t = torch::from_blob(
      const_cast<float*>(frame.data), {static_cast<std::int64_t>(frame.size)},
      [owner](void*) mutable { owner.reset(); }, torch::TensorOptions().dtype(torch::kFloat32));
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

  // A well-formed frame of the converted model takes the direct path; anything else (batches,
  // other rates, wrong lengths) goes to the module, which also raises its errors.
  const auto& branch = sample_rate == 16000 ? impl_->branch16 : impl_->branch8;
  torch::Tensor p, state = s.state, context = s.context;
  if ((sample_rate == 16000 || sample_rate == 8000) && branch && x.dim() == 1 &&
      x.size(0) == branch->frame) {
    p = run_branch(*branch, x, state, context);
  } else {
    // The shared module's weights are only read here, so streams need no lock between them.
    auto out =
        impl_->module.get_method("forward_with_state")({x, sample_rate, state, context}).toTuple();
    p = out->elements()[0].toTensor();
    state = out->elements()[1].toTensor();
    context = out->elements()[2].toTensor();
  }
  const double probability = p.item<double>();
  // A frame with NaN or infinite samples gives no probability, and its state would carry the NaN
  // into every later frame of the stream: fail the frame and keep the state from before it.
  if (!std::isfinite(probability)) {
    throw std::runtime_error("model returned " + std::to_string(probability) + " for this frame");
  }
  s.state = std::move(state);
  s.context = std::move(context);
  return probability;
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
