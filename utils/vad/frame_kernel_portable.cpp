// The portable kernels: the matrix product four rows at a time against each panel of W, the inner
// loop over the panel's contiguous columns (vectorised by the compiler for the baseline instruction
// set), and the LSTM cell on the C library's exp and tanh.
#include <algorithm>
#include <cmath>

#include "utils/vad/fft_kernel.h"
#include "utils/vad/frame_kernel.h"

namespace utils::vad::detail {

namespace {

template <std::size_t R>
void rows_block(const Product& p, std::size_t m0) {
  float* c[R];
  for (std::size_t r = 0; r < R; ++r) {
    c[r] = p.c[m0 + r];
    std::copy_n(p.bias, p.cols, c[r]);
  }
  for (std::size_t n0 = 0; n0 < p.cols; n0 += kColumnBlock) {
    const float* panel = p.w + n0 * p.depth;
    for (std::size_t k0 = 0; k0 < p.depth; k0 += kDepthChunk) {
      float acc[R][kColumnBlock] = {};
      for (std::size_t k = k0; k < std::min(p.depth, k0 + kDepthChunk); ++k) {
        const float* w = panel + k * kColumnBlock;
        float a[R];
        for (std::size_t r = 0; r < R; ++r) a[r] = p.a[m0 + r][k];
        for (std::size_t n = 0; n < kColumnBlock; ++n) {
          for (std::size_t r = 0; r < R; ++r) acc[r][n] += a[r] * w[n];
        }
      }
      for (std::size_t r = 0; r < R; ++r) {
        for (std::size_t n = 0; n < kColumnBlock; ++n) c[r][n0 + n] += acc[r][n];
      }
    }
  }
  if (p.relu) {
    for (std::size_t r = 0; r < R; ++r) {
      for (std::size_t n = 0; n < p.cols; ++n) c[r][n] = c[r][n] < 0.0f ? 0.0f : c[r][n];
    }
  }
}

void product(const Product& p) {
  std::size_t m = 0;
  for (; m + 4 <= p.rows; m += 4) rows_block<4>(p, m);
  for (; m < p.rows; ++m) rows_block<1>(p, m);
}

inline float sigmoid(float x) { return 1.0f / (1.0f + std::exp(-x)); }

void cell(const Cell& l) {
  const std::size_t n = l.hidden;
  const float* g = l.gates;
  for (std::size_t k = 0; k < n; ++k) {
    const float cp = l.c_prev ? l.c_prev[k] : 0.0f;
    l.c[k] = sigmoid(g[n + k]) * cp + sigmoid(g[k]) * std::tanh(g[2 * n + k]);
    l.h[k] = sigmoid(g[3 * n + k]) * std::tanh(l.c[k]);
  }
}

}  // namespace

const Kernels kPortable{&product, &cell, &fft_magnitudes};

}  // namespace utils::vad::detail
