// The AVX2/FMA matrix product (this file is compiled with -mavx2 -mfma and called only where the
// CPU has both). Tiles of 4 rows × 16 columns keep eight accumulators in registers; the last rows
// (a single stream's matrix-vector products) take 32 columns at a time instead, so that enough
// independent multiply-adds are in flight.
#include <immintrin.h>

#include "utils/vad/frame_kernel.h"

namespace utils::vad::detail {

namespace {

template <std::size_t R, std::size_t V>
inline void tile(const Product& p, std::size_t m0, std::size_t n0) {
  __m256 acc[R][V];
  for (std::size_t v = 0; v < V; ++v) {
    const __m256 b = _mm256_loadu_ps(p.bias + n0 + 8 * v);
    for (std::size_t r = 0; r < R; ++r) acc[r][v] = b;
  }
  const float* a[R];
  for (std::size_t r = 0; r < R; ++r) a[r] = p.a[m0 + r];
  const float* w = p.w + n0;
  for (std::size_t k = 0; k < p.depth; ++k, w += p.cols) {
    __m256 wv[V];
    for (std::size_t v = 0; v < V; ++v) wv[v] = _mm256_loadu_ps(w + 8 * v);
    for (std::size_t r = 0; r < R; ++r) {
      const __m256 x = _mm256_broadcast_ss(a[r] + k);
      for (std::size_t v = 0; v < V; ++v) acc[r][v] = _mm256_fmadd_ps(x, wv[v], acc[r][v]);
    }
  }
  const __m256 zero = _mm256_setzero_ps();
  for (std::size_t r = 0; r < R; ++r) {
    for (std::size_t v = 0; v < V; ++v) {
      // max(0, x) returns x when x is NaN (the second operand), as torch's ReLU keeps NaN.
      const __m256 out = p.relu ? _mm256_max_ps(zero, acc[r][v]) : acc[r][v];
      _mm256_storeu_ps(p.c[m0 + r] + n0 + 8 * v, out);
    }
  }
}

template <std::size_t R>
void few_rows(const Product& p, std::size_t m0) {
  std::size_t n = 0;
  for (; n + 32 <= p.cols; n += 32) tile<R, 4>(p, m0, n);
  for (; n < p.cols; n += 16) tile<R, 2>(p, m0, n);
}

}  // namespace

void product_avx2(const Product& p) {
  // Column panels outside, rows inside: a panel of W (depth × 16 floats) stays in L1 while every
  // row block passes it, which for a batch of streams reads far less than the other order.
  const std::size_t full = p.rows / 4 * 4;
  for (std::size_t n = 0; n < p.cols; n += 16) {
    for (std::size_t m = 0; m < full; m += 4) tile<4, 2>(p, m, n);
  }
  const std::size_t m = full;
  switch (p.rows - m) {
    case 3:
      few_rows<3>(p, m);
      break;
    case 2:
      few_rows<2>(p, m);
      break;
    case 1:
      few_rows<1>(p, m);
      break;
    default:
      break;
  }
}

}  // namespace utils::vad::detail
