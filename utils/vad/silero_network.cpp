// SileroNetwork: the converted Silero network's layers as six matrix products over all streams
// of a call, with the data movement and element-wise steps between them as plain loops.
//
// Each layer's input is laid out so that its rows can be read where they lie: the magnitude
// spectrum is stored with a zero row before and after, so a three-tap window over time steps is
// three consecutive rows; layer 0's output likewise for the stride-2 layer 1. The weights are
// rearranged once to match (tap-major rows, transposed where the module holds them transposed,
// zero rows and columns for padding).
#include "utils/vad/silero_network.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <numbers>

#include "utils/vad/frame_kernel.h"

namespace utils::vad::detail {

namespace {

std::size_t padded(std::size_t n) { return (n + kColumnBlock - 1) / kColumnBlock * kColumnBlock; }

bool cpu_has_avx2() { return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma"); }

std::atomic<const Kernels*> active_kernels{cpu_has_avx2() ? &kAvx2 : &kPortable};

inline float sigmoid(float x) { return 1.0f / (1.0f + std::exp(-x)); }

// A matrix of `rows` × `cols_out` (cols_out ≥ cols) in the kernel's panels, with element (r, c) =
// at(r, c) for c < cols and zeros beyond.
template <class At>
std::vector<float> laid_out(std::size_t rows, std::size_t cols, std::size_t cols_out, At at) {
  std::vector<float> m(rows * cols_out, 0.0f);
  for (std::size_t r = 0; r < rows; ++r) {
    for (std::size_t c = 0; c < cols; ++c) m[panel_index(rows, r, c)] = at(r, c);
  }
  return m;
}

std::vector<float> padded_bias(const std::vector<float>& b, std::size_t cols_out) {
  std::vector<float> out(cols_out, 0.0f);
  std::copy(b.begin(), b.end(), out.begin());
  return out;
}

// The window w if every basis column pair is w[k]·cos(2πkn/N) and ±w[k]·sin(2πkn/N) (to float
// rounding), so that the windowed real FFT gives the same spectrum; empty otherwise.
std::vector<float> dft_window(const std::vector<float>& basis, std::size_t n_fft,
                              std::size_t bins) {
  if (bins != n_fft / 2 + 1 || n_fft % 2 != 0) return {};
  std::vector<float> window(n_fft);
  float scale = 0.0f;
  for (std::size_t k = 0; k < n_fft; ++k) {
    window[k] = basis[k * 2 * bins];
    scale = std::max(scale, std::abs(window[k]));
  }
  const double tolerance = 1e-6 * scale;
  double re_error = 0, im_error_plus = 0, im_error_minus = 0;
  for (std::size_t k = 0; k < n_fft; ++k) {
    for (std::size_t n = 0; n < bins; ++n) {
      const double angle =
          2 * std::numbers::pi * static_cast<double>(k * n % n_fft) / static_cast<double>(n_fft);
      const double re = window[k] * std::cos(angle), im = window[k] * std::sin(angle);
      const double got_re = basis[k * 2 * bins + n], got_im = basis[k * 2 * bins + bins + n];
      re_error = std::max(re_error, std::abs(got_re - re));
      im_error_plus = std::max(im_error_plus, std::abs(got_im - im));
      im_error_minus = std::max(im_error_minus, std::abs(got_im + im));
    }
  }
  if (re_error > tolerance || std::min(im_error_plus, im_error_minus) > tolerance) return {};
  return window;
}

FftPlan fft_plan(std::vector<float> window) {
  FftPlan plan;
  const std::size_t n = window.size();
  if (n < 4 || n > kMaxFft || (n & (n - 1)) != 0) return plan;
  plan.n = n;
  plan.window = std::move(window);
  for (std::size_t j = 0; j < n / 2; ++j) {
    const double angle = 2 * std::numbers::pi * static_cast<double>(j) / static_cast<double>(n);
    plan.cos.push_back(static_cast<float>(std::cos(angle)));
    plan.sin.push_back(static_cast<float>(std::sin(angle)));
  }
  // The bit-reversed order of the half-length complex transform's n/2 points.
  std::size_t bits = 0;
  while ((std::size_t{2} << bits) < n) ++bits;
  for (std::size_t m = 0; m < n / 2; ++m) {
    std::size_t r = 0;
    for (std::size_t b = 0; b < bits; ++b) r |= ((m >> b) & 1) << (bits - 1 - b);
    plan.bit_reversed.push_back(static_cast<std::uint16_t>(r));
  }
  return plan;
}

// A thread's working memory, grown to the largest call it has run and then reused: a frame
// allocates nothing once its thread has run a batch that large.
struct Scratch {
  std::vector<float> x, spec, mag, r0, r1, r2, lstm_in, gates, h, c;
  std::vector<const float*> a;
  std::vector<float*> out;

  template <class V>
  static typename V::value_type* at_least(V& v, std::size_t n) {
    if (v.size() < n) v.resize(n);
    return v.data();
  }
};

thread_local Scratch scratch;

}  // namespace

bool SileroNetwork::set_kernel(Kernel kernel) {
  if (kernel == Kernel::avx2 && !cpu_has_avx2()) return false;
  active_kernels = kernel == Kernel::avx2 ? &kAvx2 : &kPortable;
  return true;
}

Kernel SileroNetwork::kernel() {
  return active_kernels.load() == &kAvx2 ? Kernel::avx2 : Kernel::portable;
}

SileroNetwork::SileroNetwork(const SileroWeights& w)
    : frame_(w.frame),
      context_(w.context),
      hop_(w.hop),
      window_(w.window),
      pad_(w.pad),
      bins_(w.bins),
      spec_cols_(padded(2 * w.bins)),
      c0p_(padded(w.c0)),
      c1p_(padded(w.c1)),
      c2p_(padded(w.c2)),
      c3p_(padded(w.c3)),
      out_w_(w.out_wt),
      out_b_(w.out_b.at(0)) {
  const std::size_t bins = w.bins, c0 = w.c0, c1 = w.c1, c2 = w.c2, c3 = w.c3;
  // The basis itself is kept only where no FFT can stand in for it.
  fft_ = fft_plan(dft_window(w.stft_w, window_, bins_));
  if (fft_.n == 0) {
    stft_w_ = laid_out(window_, 2 * bins, spec_cols_,
                       [&](std::size_t k, std::size_t n) { return w.stft_w[k * 2 * bins + n]; });
  }
  // Layer 0 reads three magnitude rows [tap][bin]; the module's rows are [bin][tap].
  conv0_w_ = laid_out(3 * bins, c0, c0p_, [&](std::size_t r, std::size_t n) {
    const std::size_t tap = r / bins, bin = r % bins;
    return w.conv0_w[(bin * 3 + tap) * c0 + n];
  });
  // Layer 1 reads three rows of layer 0's padded output [tap][channel].
  conv1_w_ = laid_out(3 * c0p_, c1, c1p_, [&](std::size_t r, std::size_t n) {
    const std::size_t tap = r / c0p_, ch = r % c0p_;
    return ch < c0 ? w.conv1_w[(ch * 3 + tap) * c1 + n] : 0.0f;
  });
  // Layers 2, 3 and the LSTM are held transposed by the module (for its matrix-vector products).
  conv2_w_ = laid_out(2 * c1p_, c2, c2p_, [&](std::size_t r, std::size_t n) {
    const std::size_t step = r / c1p_, ch = r % c1p_;
    return ch < c1 ? w.conv2_wt[n * 2 * c1 + step * c1 + ch] : 0.0f;
  });
  conv3_w_ = laid_out(c2p_, c3, c3p_, [&](std::size_t r, std::size_t n) {
    return r < c2 ? w.conv3_wt[n * c2 + r] : 0.0f;
  });
  // The LSTM's input is [ReLU(layer 3) padded to c3p | h].
  lstm_w_ = laid_out(c3p_ + kHidden, 4 * kHidden, 4 * kHidden, [&](std::size_t r, std::size_t n) {
    if (r < c3) return w.lstm_wt[n * (c3 + kHidden) + r];
    if (r < c3p_) return 0.0f;
    return w.lstm_wt[n * (c3 + kHidden) + c3 + (r - c3p_)];
  });
  conv0_b_ = padded_bias(w.conv0_b, c0p_);
  conv1_b_ = padded_bias(w.conv1_b, c1p_);
  conv2_b_ = padded_bias(w.conv2_b, c2p_);
  conv3_b_ = padded_bias(w.conv3_b, c3p_);
  lstm_b_ = w.lstm_b;
  zero_bias_.assign(spec_cols_, 0.0f);
}

void SileroNetwork::run(Item* items, std::size_t n) const {
  if (n == 0) return;
  const Kernels& kernels = *active_kernels.load(std::memory_order_relaxed);
  Scratch& s = scratch;
  const std::size_t length = context_ + frame_ + pad_;
  const std::size_t mag_rows = kSteps + 2, r0_rows = kSteps + 1;
  float* x = Scratch::at_least(s.x, n * length);
  const bool fft = fft_.n != 0;
  float* spec = fft ? nullptr : Scratch::at_least(s.spec, n * kSteps * spec_cols_);
  float* mag = Scratch::at_least(s.mag, n * mag_rows * bins_);
  float* r0 = Scratch::at_least(s.r0, n * r0_rows * c0p_);
  float* r1 = Scratch::at_least(s.r1, n * 2 * c1p_);
  float* r2 = Scratch::at_least(s.r2, n * c2p_);
  float* lstm_in = Scratch::at_least(s.lstm_in, n * (c3p_ + kHidden));
  float* gates = Scratch::at_least(s.gates, n * 4 * kHidden);
  float* h = Scratch::at_least(s.h, n * kHidden);
  float* c = Scratch::at_least(s.c, n * kHidden);
  const float** a = Scratch::at_least(s.a, n * kSteps);
  float** out = Scratch::at_least(s.out, n * kSteps);

  auto multiply = [&](std::size_t rows, std::size_t depth, std::size_t cols, const float* w,
                      const float* bias, bool relu) {
    kernels.product({.rows = rows,
                     .depth = depth,
                     .cols = cols,
                     .a = a,
                     .w = w,
                     .bias = bias,
                     .c = out,
                     .relu = relu});
  };

  // [context | frame | reflection of the frame's end], read as hop-spaced windows.
  for (std::size_t i = 0; i < n; ++i) {
    float* xi = x + i * length;
    const std::size_t end = context_ + frame_;
    if (items[i].context) {
      std::copy_n(items[i].context, context_, xi);
    } else {
      std::fill_n(xi, context_, 0.0f);
    }
    std::copy_n(items[i].frame, frame_, xi + context_);
    for (std::size_t p = 0; p < pad_; ++p) xi[end + p] = xi[end - 2 - p];
    for (std::size_t t = 0; t < kSteps; ++t) {
      a[i * kSteps + t] = xi + t * hop_;
      if (!fft) out[i * kSteps + t] = spec + (i * kSteps + t) * spec_cols_;
    }
  }
  // The magnitude spectrum of each window, between two zero rows (for layer 0's padding): by FFT,
  // or from the product with the basis (columns: first half real, second half imaginary).
  if (!fft) multiply(n * kSteps, window_, spec_cols_, stft_w_.data(), zero_bias_.data(), false);
  for (std::size_t i = 0; i < n; ++i) {
    float* m = mag + i * mag_rows * bins_;
    std::fill_n(m, bins_, 0.0f);
    std::fill_n(m + (kSteps + 1) * bins_, bins_, 0.0f);
    for (std::size_t t = 0; t < kSteps; ++t) {
      float* row = m + (t + 1) * bins_;
      out[i * kSteps + t] = row;
      if (fft) continue;
      const float* re = spec + (i * kSteps + t) * spec_cols_;
      for (std::size_t k = 0; k < bins_; ++k) {
        row[k] = std::sqrt(re[k] * re[k] + re[bins_ + k] * re[bins_ + k]);
      }
    }
  }
  if (fft) kernels.spectra(fft_, a, n * kSteps, out);
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t t = 0; t < kSteps; ++t) {
      a[i * kSteps + t] = mag + (i * mag_rows + t) * bins_;  // rows t-1, t, t+1
      out[i * kSteps + t] = r0 + (i * r0_rows + t + 1) * c0p_;
    }
    std::fill_n(r0 + i * r0_rows * c0p_, c0p_, 0.0f);
  }
  multiply(n * kSteps, 3 * bins_, c0p_, conv0_w_.data(), conv0_b_.data(), true);

  // Layer 1: stride 2, rows 2t-1, 2t, 2t+1 of ReLU(layer 0).
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t t = 0; t < kSteps / 2; ++t) {
      a[i * 2 + t] = r0 + (i * r0_rows + 2 * t) * c0p_;
      out[i * 2 + t] = r1 + (i * 2 + t) * c1p_;
    }
  }
  multiply(n * 2, 3 * c0p_, c1p_, conv1_w_.data(), conv1_b_.data(), true);

  // Layers 2 and 3: one step each, over both of layer 1's steps and then layer 2's one.
  for (std::size_t i = 0; i < n; ++i) {
    a[i] = r1 + i * 2 * c1p_;
    out[i] = r2 + i * c2p_;
  }
  multiply(n, 2 * c1p_, c2p_, conv2_w_.data(), conv2_b_.data(), true);
  for (std::size_t i = 0; i < n; ++i) {
    float* in = lstm_in + i * (c3p_ + kHidden);
    a[i] = r2 + i * c2p_;
    out[i] = in;
    if (items[i].h) {
      std::copy_n(items[i].h, kHidden, in + c3p_);
    } else {
      std::fill_n(in + c3p_, kHidden, 0.0f);
    }
  }
  multiply(n, c2p_, c3p_, conv3_w_.data(), conv3_b_.data(), true);

  // One LSTM step over [ReLU(layer 3), h], gate order i, f, g, o; then the output layer.
  for (std::size_t i = 0; i < n; ++i) {
    a[i] = lstm_in + i * (c3p_ + kHidden);
    out[i] = gates + i * 4 * kHidden;
  }
  multiply(n, c3p_ + kHidden, 4 * kHidden, lstm_w_.data(), lstm_b_.data(), false);
  for (std::size_t i = 0; i < n; ++i) {
    float* hi = h + i * kHidden;
    float* ci = c + i * kHidden;
    kernels.cell({.hidden = kHidden,
                  .gates = gates + i * 4 * kHidden,
                  .c_prev = items[i].c,
                  .h = hi,
                  .c = ci});
    float logit = out_b_;
    for (std::size_t k = 0; k < kHidden; ++k) logit += out_w_[k] * (hi[k] < 0.0f ? 0.0f : hi[k]);
    items[i].probability = sigmoid(logit);
    items[i].new_h = hi;
    items[i].new_c = ci;
  }
}

}  // namespace utils::vad::detail
