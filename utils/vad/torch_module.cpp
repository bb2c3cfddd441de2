// TorchModule: running the Silero TorchScript model (or a user-supplied one) on CPU libtorch.
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
#include <optional>
#include <vector>

namespace utils::vad::detail {

namespace {

constexpr std::int64_t kHidden = 128;  // the LSTM's state size

// One branch of the converted Silero network (scripts/silero/silero_module.py), read from the
// loaded module's buffers. A well-formed single frame runs through it without the TorchScript
// interpreter (see run_branch).
struct SileroBranch {
  std::int64_t frame, context, hop, window, pad, bins, steps;
  at::Tensor stft_w, conv0_w, conv0_b, conv1_w, conv1_b, conv2_wt, conv2_b, conv3_wt, conv3_b,
      lstm_wt, lstm_b, out_wt, out_b;
};

bool float_matrix(const at::Tensor& t, std::int64_t rows, std::int64_t cols) {
  return t.scalar_type() == at::kFloat && t.is_contiguous() && t.dim() == 2 && t.size(0) == rows &&
         t.size(1) == cols;
}

bool float_vector(const at::Tensor& t, std::int64_t size) {
  return t.scalar_type() == at::kFloat && t.is_contiguous() && t.dim() == 1 && t.size(0) == size;
}

// The branch `name` of a converted model, or nullopt when the module is something else. Every
// shape is checked here: run_branch reads some of the weights through raw pointers.
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
  const std::int64_t hop = b.attr("hop").toInt(), window = b.attr("window").toInt(),
                     pad = b.attr("pad").toInt(), bins = b.attr("bins").toInt();
  const std::int64_t length = context + frame;
  if (hop <= 0 || window <= 0 || pad < 0 || pad >= length || window > length + pad) {
    return std::nullopt;
  }
  SileroBranch r{frame,
                 context,
                 hop,
                 window,
                 pad,
                 bins,
                 (length + pad - window) / hop + 1,
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
  // The encoder's time steps are 4, 2, 1, 1 (see silero_module.py).
  const auto c0 = r.conv0_w.size(1), c1 = r.conv1_w.size(1), c2 = r.conv2_wt.size(0),
             c3 = r.conv3_wt.size(0);
  const bool ok = r.steps == 4 && float_matrix(r.stft_w, window, 2 * bins) &&
                  float_matrix(r.conv0_w, 3 * bins, c0) && float_vector(r.conv0_b, c0) &&
                  float_matrix(r.conv1_w, 3 * c0, c1) && float_vector(r.conv1_b, c1) &&
                  float_matrix(r.conv2_wt, c2, 2 * c1) && float_vector(r.conv2_b, c2) &&
                  float_matrix(r.conv3_wt, c3, c2) && float_vector(r.conv3_b, c3) &&
                  float_matrix(r.lstm_wt, 4 * kHidden, c3 + kHidden) &&
                  float_vector(r.lstm_b, 4 * kHidden) && float_matrix(r.out_wt, 1, kHidden) &&
                  float_vector(r.out_b, 1);
  if (!ok) return std::nullopt;
  return r;
}

// A stream's working memory for the direct path, sized for one branch: every layer's input is
// assembled into a preallocated matrix and multiplied into another, so a frame allocates no tensor
// memory.
struct DirectScratch {
  explicit DirectScratch(const SileroBranch& b)
      : branch(&b),
        padded(static_cast<std::size_t>(b.context + b.frame + b.pad)),
        magnitude(static_cast<std::size_t>(b.steps * b.bins)),
        windows(at::empty({b.steps, b.window})),
        spec(at::empty({b.steps, 2 * b.bins})),
        cols0(at::empty({b.steps, b.conv0_w.size(0)})),
        out0(at::empty({b.steps, b.conv0_w.size(1)})),
        cols1(at::empty({b.steps / 2, b.conv1_w.size(0)})),
        out1(at::empty({b.steps / 2, b.conv1_w.size(1)})),
        in2(at::empty({b.conv2_wt.size(1)})),
        out2(at::empty({b.conv2_wt.size(0)})),
        in3(at::empty({b.conv3_wt.size(1)})),
        out3(at::empty({b.conv3_wt.size(0)})),
        lstm_in(at::empty({b.lstm_wt.size(1)})),
        gates(at::empty({b.lstm_wt.size(0)})) {}

  const SileroBranch* branch;
  std::vector<float> padded, magnitude;
  at::Tensor windows, spec, cols0, out0, cols1, out1, in2, out2, in3, out3, lstm_in, gates;
  float h[kHidden], c[kHidden];  // the new LSTM state, kept once the frame's result is known
};

inline float relu(float x) { return x < 0 ? 0.0f : x; }  // NaN stays NaN, as in torch
inline float sigmoid(float x) { return 1.0f / (1.0f + std::exp(-x)); }

// One frame through a branch, from the state `h`, `c` and `context` (nullptr: zeros). The new
// LSTM state is left in `s.h` and `s.c`; returns the probability.
//
// The same network on the same weights as the module's forward_with_state: the matrix products
// run in libtorch, the data movement and the element-wise steps between them in plain loops. At
// one frame per call, the interpreter and the dispatch of some thirty small operators would cost
// several times the arithmetic.
float run_branch(const SileroBranch& b, const float* frame, const float* h, const float* c,
                 const float* context, DirectScratch& s) {
  // [context | frame | reflection of the frame's end], cut into hop-spaced windows.
  float* x = s.padded.data();
  const auto n = b.context + b.frame;
  if (context)
    std::copy_n(context, b.context, x);
  else
    std::fill_n(x, b.context, 0.0f);
  std::copy_n(frame, b.frame, x + b.context);
  for (std::int64_t i = 0; i < b.pad; ++i) x[n + i] = x[n - 2 - i];
  float* windows = s.windows.data_ptr<float>();
  for (std::int64_t t = 0; t < b.steps; ++t) {
    std::copy_n(x + t * b.hop, b.window, windows + t * b.window);
  }
  at::mm_out(s.spec, s.windows, b.stft_w);

  // Magnitude (first half real, second half imaginary; a plain square root, as the released graph
  // has it), then layer 0's three-step windows laid out [bin][tap], zero steps before and after.
  const float* spec = s.spec.data_ptr<float>();
  float* mag = s.magnitude.data();
  for (std::int64_t t = 0; t < b.steps; ++t) {
    const float* re = spec + t * 2 * b.bins;
    for (std::int64_t k = 0; k < b.bins; ++k) {
      mag[t * b.bins + k] = std::sqrt(re[k] * re[k] + re[b.bins + k] * re[b.bins + k]);
    }
  }
  float* cols0 = s.cols0.data_ptr<float>();
  for (std::int64_t t = 0; t < b.steps; ++t) {
    for (std::int64_t k = 0; k < b.bins; ++k) {
      for (std::int64_t tap = 0; tap < 3; ++tap) {
        const auto src = t + tap - 1;
        cols0[(t * b.bins + k) * 3 + tap] =
            src < 0 || src >= b.steps ? 0.0f : mag[src * b.bins + k];
      }
    }
  }
  at::addmm_out(s.out0, b.conv0_b, s.cols0, b.conv0_w);

  // Layer 1: stride 2 over ReLU(layer 0), same window layout.
  const auto ch0 = s.out0.size(1);
  const float* out0 = s.out0.data_ptr<float>();
  float* cols1 = s.cols1.data_ptr<float>();
  for (std::int64_t t = 0; t < b.steps / 2; ++t) {
    for (std::int64_t k = 0; k < ch0; ++k) {
      for (std::int64_t tap = 0; tap < 3; ++tap) {
        const auto src = 2 * t + tap - 1;
        cols1[(t * ch0 + k) * 3 + tap] =
            src < 0 || src >= b.steps ? 0.0f : relu(out0[src * ch0 + k]);
      }
    }
  }
  at::addmm_out(s.out1, b.conv1_b, s.cols1, b.conv1_w);
  // Layers 2 and 3: one step each (layer 2 over both of layer 1's steps), matrix-vector products.
  const float* out1 = s.out1.data_ptr<float>();
  float* in2 = s.in2.data_ptr<float>();
  for (std::int64_t k = 0; k < s.in2.size(0); ++k) in2[k] = relu(out1[k]);
  at::addmv_out(s.out2, b.conv2_b, b.conv2_wt, s.in2);
  const float* out2 = s.out2.data_ptr<float>();
  float* in3 = s.in3.data_ptr<float>();
  for (std::int64_t k = 0; k < s.in3.size(0); ++k) in3[k] = relu(out2[k]);
  at::addmv_out(s.out3, b.conv3_b, b.conv3_wt, s.in3);

  // One LSTM step over [ReLU(layer 3), h], gate order i, f, g, o.
  const float* out3 = s.out3.data_ptr<float>();
  const auto ch3 = s.out3.size(0);
  float* lstm_in = s.lstm_in.data_ptr<float>();
  for (std::int64_t k = 0; k < ch3; ++k) lstm_in[k] = relu(out3[k]);
  if (h)
    std::copy_n(h, kHidden, lstm_in + ch3);
  else
    std::fill_n(lstm_in + ch3, kHidden, 0.0f);
  at::addmv_out(s.gates, b.lstm_b, b.lstm_wt, s.lstm_in);
  const float* g = s.gates.data_ptr<float>();
  const float* out_w = b.out_wt.data_ptr<float>();
  float logit = b.out_b.data_ptr<float>()[0];
  for (std::int64_t k = 0; k < kHidden; ++k) {
    const float c_prev = c ? c[k] : 0.0f;
    s.c[k] = sigmoid(g[kHidden + k]) * c_prev + sigmoid(g[k]) * std::tanh(g[2 * kHidden + k]);
    s.h[k] = sigmoid(g[3 * kHidden + k]) * std::tanh(s.c[k]);
    logit += out_w[k] * relu(s.h[k]);
  }
  return sigmoid(logit);
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
  // Serialises forward() on the module's own state, and clones of it.
  std::mutex mutex;
  // Without explicit state: a copy of the module as loaded, before any frame ran, from which each
  // stream's clone starts (the module itself carries the state of the shared predict()).
  std::optional<torch::jit::Module> pristine;
};

struct TorchStream::Impl {
  // Explicit state: the LSTM state and the context (empty tensors start from zeros).
  torch::Tensor state = torch::zeros({0});
  torch::Tensor context = torch::zeros({0});
  // No explicit state: this stream's own copy of the module.
  std::optional<torch::jit::Module> clone;
  // The direct path's working memory, for the branch of the last frame.
  std::optional<DirectScratch> scratch;
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

// A frame with NaN or infinite samples gives no probability, and its state would carry the NaN
// into every later frame: fail the frame, and keep the state from before it.
void require_finite(double probability) {
  if (!std::isfinite(probability)) {
    throw std::runtime_error("model returned " + std::to_string(probability) + " for this frame");
  }
}

}  // namespace

double TorchModule::forward(const Frame& frame, int sample_rate) {
  // Inference mode: no gradients, and no autograd bookkeeping on any tensor of the call (a
  // measurable share of a frame's time).
  c10::InferenceMode inference;
  auto x = frame_tensor(frame, impl_->device);
  std::lock_guard lock(impl_->mutex);
  const SavedAttributes before(impl_->module);
  const double probability = impl_->module.forward({x, sample_rate}).toTensor().item<double>();
  if (!std::isfinite(probability)) before.restore(impl_->module);
  require_finite(probability);
  return probability;
}

std::unique_ptr<TorchStream> TorchModule::new_stream() const {
  auto impl = std::make_unique<TorchStream::Impl>();
  if (impl_->pristine) {
    // From the module as loaded, so the stream starts from zeros whatever the shared predict()
    // has run; under the mutex, as a clone reads every attribute.
    std::lock_guard lock(impl_->mutex);
    impl->clone = impl_->pristine->clone();
  }
  return std::unique_ptr<TorchStream>(new TorchStream(std::move(impl)));
}

namespace {

bool holds(const torch::Tensor& t, at::IntArrayRef sizes) {
  return t.sizes() == sizes && t.scalar_type() == at::kFloat && t.is_contiguous();
}

// A frame of the converted model through its direct path, from and to a stream's `state` and
// `context`.
double forward_direct(const SileroBranch& b, const Frame& frame,
                      std::optional<DirectScratch>& scratch, torch::Tensor& state,
                      torch::Tensor& context) {
  if (!scratch || scratch->branch != &b) scratch.emplace(b);
  // A state of another shape (none yet, or the other sample rate's context) starts over.
  const bool resume = holds(state, {2, 1, kHidden}) && holds(context, {1, b.context});
  const float* hc = resume ? state.data_ptr<float>() : nullptr;
  const double probability = run_branch(b, frame.data, hc, hc ? hc + kHidden : nullptr,
                                        resume ? context.data_ptr<float>() : nullptr, *scratch);
  require_finite(probability);
  if (!resume) {
    state = at::empty({2, 1, kHidden});
    context = at::empty({1, b.context});
  }
  float* new_hc = state.data_ptr<float>();
  std::copy_n(scratch->h, kHidden, new_hc);
  std::copy_n(scratch->c, kHidden, new_hc + kHidden);
  std::copy_n(frame.data + b.frame - b.context, b.context, context.data_ptr<float>());
  return probability;
}

}  // namespace

double TorchModule::forward(const Frame& frame, int sample_rate, TorchStream& stream) const {
  c10::InferenceMode inference;
  auto& s = *stream.impl_;
  // A well-formed frame of the converted model takes the direct path; anything else (other
  // rates, wrong lengths) goes to the module, which also raises its errors.
  const auto& branch = sample_rate == 16000 ? impl_->branch16 : impl_->branch8;
  if (!s.clone && (sample_rate == 16000 || sample_rate == 8000) && branch &&
      static_cast<std::int64_t>(frame.size) == branch->frame) {
    return forward_direct(*branch, frame, s.scratch, s.state, s.context);
  }

  auto x = frame_tensor(frame, impl_->device);
  if (s.clone) return s.clone->forward({x, sample_rate}).toTensor().item<double>();
  // The shared module's weights are only read here, so streams need no lock between them.
  auto out = impl_->module.get_method("forward_with_state")({x, sample_rate, s.state, s.context})
                 .toTuple();
  const double probability = out->elements()[0].toTensor().item<double>();
  require_finite(probability);
  s.state = out->elements()[1].toTensor();
  s.context = out->elements()[2].toTensor();
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
