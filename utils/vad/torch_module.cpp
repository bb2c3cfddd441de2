// TorchModule: a TorchScript model on CPU libtorch: loading, the module's own state, a stream's
// explicit state or private clone, and for the converted Silero model its two branches read into
// networks whose streams run without the interpreter (direct_model.cpp).
#include "utils/vad/torch_module.h"

#include <ATen/ATen.h>
#include <ATen/core/ivalue.h>
#include <c10/core/InferenceMode.h>
#include <c10/util/Exception.h>
#include <torch/csrc/api/include/torch/types.h>
#include <torch/csrc/jit/api/module.h>
#include <torch/csrc/jit/serialization/import.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "utils/vad/direct_model.h"
#include "utils/vad/silero_network.h"
#include "utils/vad/torch_plugin.h"

namespace utils::vad::detail {

namespace {

constexpr std::int64_t kHidden = static_cast<std::int64_t>(SileroNetwork::kHidden);

bool float_matrix(const at::Tensor& t, std::int64_t rows, std::int64_t cols) {
  return t.scalar_type() == at::kFloat && t.is_contiguous() && t.dim() == 2 && t.size(0) == rows &&
         t.size(1) == cols;
}

bool float_vector(const at::Tensor& t, std::int64_t size) {
  return t.scalar_type() == at::kFloat && t.is_contiguous() && t.dim() == 1 && t.size(0) == size;
}

std::vector<float> values(const at::Tensor& t) {
  const float* p = t.data_ptr<float>();
  return std::vector<float>(p, p + t.numel());
}

// The branch `name` of a converted model (scripts/silero/silero_module.py) as a network of its
// own, or nullopt when the module is something else. Every shape is checked here: the network
// reads the weights without further checks.
std::optional<SileroWeights> read_branch(const torch::jit::Module& m, const char* name,
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
  const std::int64_t hop = b.attr("hop").toInt(), window = b.attr("window").toInt(),
                     pad = b.attr("pad").toInt(), bins = b.attr("bins").toInt();
  const std::int64_t length = context + frame;
  if (hop <= 0 || window <= 0 || bins <= 0 || pad < 0 || pad >= length || window > length + pad) {
    return std::nullopt;
  }
  // The encoder's time steps are 4, 2, 1, 1 (see silero_module.py).
  const std::int64_t steps = (length + pad - window) / hop + 1;
  const auto stft_w = t("stft_w"), conv0_w = t("conv0_w"), conv0_b = t("conv0_b"),
             conv1_w = t("conv1_w"), conv1_b = t("conv1_b"), conv2_wt = t("conv2_wt"),
             conv2_b = t("conv2_b"), conv3_wt = t("conv3_wt"), conv3_b = t("conv3_b"),
             lstm_wt = t("lstm_wt"), lstm_b = t("lstm_b"), out_wt = t("out_wt"), out_b = t("out_b");
  if (conv0_w.dim() != 2 || conv1_w.dim() != 2 || conv2_wt.dim() != 2 || conv3_wt.dim() != 2) {
    return std::nullopt;
  }
  const auto c0 = conv0_w.size(1), c1 = conv1_w.size(1), c2 = conv2_wt.size(0),
             c3 = conv3_wt.size(0);
  const bool ok = steps == static_cast<std::int64_t>(SileroNetwork::kSteps) &&
                  float_matrix(stft_w, window, 2 * bins) && float_matrix(conv0_w, 3 * bins, c0) &&
                  float_vector(conv0_b, c0) && float_matrix(conv1_w, 3 * c0, c1) &&
                  float_vector(conv1_b, c1) && float_matrix(conv2_wt, c2, 2 * c1) &&
                  float_vector(conv2_b, c2) && float_matrix(conv3_wt, c3, c2) &&
                  float_vector(conv3_b, c3) && float_matrix(lstm_wt, 4 * kHidden, c3 + kHidden) &&
                  float_vector(lstm_b, 4 * kHidden) && float_matrix(out_wt, 1, kHidden) &&
                  float_vector(out_b, 1);
  if (!ok) return std::nullopt;
  auto u = [](std::int64_t v) { return static_cast<std::size_t>(v); };
  SileroWeights w;
  w.frame = u(frame);
  w.context = u(context);
  w.hop = u(hop);
  w.window = u(window);
  w.pad = u(pad);
  w.bins = u(bins);
  w.c0 = u(c0);
  w.c1 = u(c1);
  w.c2 = u(c2);
  w.c3 = u(c3);
  w.stft_w = values(stft_w);
  w.conv0_w = values(conv0_w);
  w.conv0_b = values(conv0_b);
  w.conv1_w = values(conv1_w);
  w.conv1_b = values(conv1_b);
  w.conv2_wt = values(conv2_wt);
  w.conv2_b = values(conv2_b);
  w.conv3_wt = values(conv3_wt);
  w.conv3_b = values(conv3_b);
  w.lstm_wt = values(lstm_wt);
  w.lstm_b = values(lstm_b);
  w.out_wt = values(out_wt);
  w.out_b = values(out_b);
  if (!check_weights(w).empty()) return std::nullopt;
  return w;
}

}  // namespace

struct TorchModule::Impl {
  Impl(torch::jit::Module m, torch::Device d)
      : module(std::move(m)),
        device(d),
        explicit_state(module.find_method("forward_with_state").has_value()) {
    if (explicit_state && device.is_cpu()) {
      auto branch16 = read_branch(module, "branch16", 512, 64);
      auto branch8 = read_branch(module, "branch8", 256, 32);
      if (branch16 && branch8) direct.emplace(*branch16, *branch8);
    }
  }
  torch::jit::Module module;
  torch::Device device;
  bool explicit_state;
  std::optional<DirectModel> direct;  // the converted Silero model's networks
  // Serialises forward() on the module's own state, and clones of it.
  std::mutex mutex;
  // Without explicit state: a copy of the module as loaded, before any frame ran, from which each
  // stream's clone starts (the module itself carries the state of the shared predict()).
  std::optional<torch::jit::Module> pristine;
};

namespace {

struct TorchStream final : ModelStream {
  // Explicit state: the LSTM state and the context (empty tensors start from zeros).
  torch::Tensor state = torch::zeros({0});
  torch::Tensor context = torch::zeros({0});
  // No explicit state: this stream's own copy of the module.
  std::optional<torch::jit::Module> clone;
};

}  // namespace

TorchModule::TorchModule(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
TorchModule::~TorchModule() = default;

std::unique_ptr<TorchModule> TorchModule::load(const std::string& path,
                                               const std::string& device_name) {
  torch::Device device(device_name);
  // Mapping onto a device this libtorch cannot reach fails here, not at the first frame.
  if (!device.is_cpu()) {
    throw std::runtime_error("device '" + device_name + "' is not available in this build");
  }
  auto module = torch::jit::load(path, device);
  module.eval();
  auto impl = std::make_unique<Impl>(std::move(module), device);
  if (!impl->explicit_state) impl->pristine = impl->module.clone();
  return std::unique_ptr<TorchModule>(new TorchModule(std::move(impl)));
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

// The module's own state (its plain attributes: tensors and numbers, not submodules), saved
// before a frame so that a frame without a finite result can be undone.
class SavedAttributes {
 public:
  explicit SavedAttributes(const torch::jit::Module& module) {
    for (const auto& a : module.named_attributes(/*recurse=*/false)) {
      if (a.value.isTensor()) {
        saved_.emplace_back(a.name, a.value.toTensor().clone());
      } else if (a.value.isInt() || a.value.isDouble() || a.value.isBool()) {
        saved_.emplace_back(a.name, a.value);
      }
    }
  }
  void restore(torch::jit::Module& module) const {
    for (const auto& [name, value] : saved_) module.setattr(name, value);
  }

 private:
  std::vector<std::pair<std::string, c10::IValue>> saved_;
};

// forward() of a module that keeps its state in its attributes (the shared instance's, or a
// stream's clone): a frame that fails or gives no finite result leaves them as they were.
double forward_keeping_state(torch::jit::Module& module, const torch::Tensor& x, int sample_rate) {
  const SavedAttributes before(module);
  try {
    const double probability = module.forward({x, sample_rate}).toTensor().item<double>();
    require_finite(probability);
    return probability;
  } catch (...) {
    before.restore(module);
    throw;
  }
}

}  // namespace

double TorchModule::forward_shared(const Frame& frame, int sample_rate) {
  // Inference mode: no gradients, and no autograd bookkeeping on any tensor of the call (a
  // measurable share of a frame's time).
  c10::InferenceMode inference;
  auto x = frame_tensor(frame, impl_->device);
  std::lock_guard lock(impl_->mutex);
  return forward_keeping_state(impl_->module, x, sample_rate);
}

std::unique_ptr<ModelStream> TorchModule::make_stream() const {
  if (impl_->direct) return impl_->direct->new_stream();
  auto stream = std::make_unique<TorchStream>();
  if (impl_->pristine) {
    // From the module as loaded, so the stream starts from zeros whatever the shared predict()
    // has run; under the mutex, as a clone reads every attribute.
    std::lock_guard lock(impl_->mutex);
    stream->clone = impl_->pristine->clone();
  }
  return stream;
}

double TorchModule::forward_stream(const Frame& frame, int sample_rate, ModelStream& stream) const {
  if (impl_->direct) return impl_->direct->forward(frame, sample_rate, stream);
  auto& s = static_cast<TorchStream&>(stream);
  c10::InferenceMode inference;
  auto x = frame_tensor(frame, impl_->device);
  if (s.clone) return forward_keeping_state(*s.clone, x, sample_rate);
  // The shared module's weights are only read here, so streams need no lock between them.
  auto out = impl_->module.get_method("forward_with_state")({x, sample_rate, s.state, s.context})
                 .toTuple();
  const double probability = out->elements()[0].toTensor().item<double>();
  require_finite(probability);
  s.state = out->elements()[1].toTensor();
  s.context = out->elements()[2].toTensor();
  return probability;
}

void TorchModule::forward_batch(const Frame* frames, const int* sample_rates,
                                ModelStream* const* streams, std::size_t count, double* out,
                                std::exception_ptr* errors) const {
  if (impl_->direct) {
    impl_->direct->forward_batch(frames, sample_rates, streams, count, out, errors);
    return;
  }
  for (std::size_t i = 0; i < count; ++i)
    forward_alone(frames, sample_rates, streams, i, out, errors);
}

namespace {

// Errors leave the plugin as one-line std::runtime_error: libvad never sees libtorch's types.
template <class F>
auto one_line_errors(F f) -> decltype(f()) {
  try {
    return f();
  } catch (const std::invalid_argument&) {
    throw;
  } catch (const std::exception& e) {
    throw std::runtime_error(error_message(e));
  }
}

std::unique_ptr<ModelBackend> load_backend(const std::string& path, const std::string& device) {
  return one_line_errors(
      [&]() -> std::unique_ptr<ModelBackend> { return TorchModule::load(path, device); });
}

}  // namespace

double TorchModule::forward(const Frame& frame, int sample_rate) {
  return one_line_errors([&] { return forward_shared(frame, sample_rate); });
}

std::unique_ptr<ModelStream> TorchModule::new_stream() const {
  return one_line_errors([&] { return make_stream(); });
}

double TorchModule::forward(const Frame& frame, int sample_rate, ModelStream& stream) const {
  return one_line_errors([&] { return forward_stream(frame, sample_rate, stream); });
}

}  // namespace utils::vad::detail

extern "C" const utils::vad::detail::TorchPlugin* quern_vad_torch_plugin() {
  static const utils::vad::detail::TorchPlugin plugin{&utils::vad::detail::load_backend};
  return &plugin;
}
