// The portable matrix product: four rows at a time against each row of W, the inner loop over
// contiguous columns (vectorised by the compiler for the baseline instruction set).
#include <algorithm>

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
  for (std::size_t k = 0; k < p.depth; ++k) {
    const float* w = p.w + k * p.cols;
    float a[R];
    for (std::size_t r = 0; r < R; ++r) a[r] = p.a[m0 + r][k];
    for (std::size_t n = 0; n < p.cols; ++n) {
      for (std::size_t r = 0; r < R; ++r) c[r][n] += a[r] * w[n];
    }
  }
  if (p.relu) {
    for (std::size_t r = 0; r < R; ++r) {
      for (std::size_t n = 0; n < p.cols; ++n) c[r][n] = c[r][n] < 0.0f ? 0.0f : c[r][n];
    }
  }
}

}  // namespace

void product_portable(const Product& p) {
  std::size_t m = 0;
  for (; m + 4 <= p.rows; m += 4) rows_block<4>(p, m);
  for (; m < p.rows; ++m) rows_block<1>(p, m);
}

}  // namespace utils::vad::detail
