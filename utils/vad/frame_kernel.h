// The matrix product under the Silero network's direct path, C = bias + A·W (optionally through
// a ReLU), for the network's thin shapes: a few rows per stream, weights laid out once at load.
// A portable version and an AVX2/FMA one, chosen at run time. Internal to libvad.
#pragma once

#include <cstddef>

namespace utils::vad::detail {

// Output columns are written in blocks of this many floats: the weights' and bias's row length
// (`cols`) is padded to a multiple of it.
inline constexpr std::size_t kColumnBlock = 16;

struct Product {
  std::size_t rows = 0;             // rows of A and C
  std::size_t depth = 0;            // columns of A, rows of W
  std::size_t cols = 0;             // columns of W and C; a multiple of kColumnBlock
  const float* const* a = nullptr;  // each row: `depth` floats, anywhere in memory
  const float* w = nullptr;         // depth × cols, row-major
  const float* bias = nullptr;      // cols
  float* const* c = nullptr;        // each row: `cols` floats
  bool relu = false;                // C = max(0, ·); NaN stays NaN
};

using ProductFn = void (*)(const Product&);

// Every C element is bias + a[0]·w[0] + a[1]·w[1] + ... in this order, in both versions (the
// AVX2 one with fused multiply-adds, so the two agree to rounding, not bit for bit).
void product_portable(const Product& p);
void product_avx2(const Product& p);  // REQUIRES: the CPU has AVX2 and FMA

}  // namespace utils::vad::detail
