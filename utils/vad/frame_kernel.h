// The computing steps under the Silero network's direct path: the spectral front end's FFT, the
// matrix product C = bias + A·W (optionally through a ReLU) for the network's thin shapes (a few
// rows per stream, weights laid out once at load) and the LSTM cell's element-wise step. A
// portable version of each and an AVX2/FMA one, chosen at run time. Internal to libvad.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace utils::vad::detail {

// Output columns are written in blocks of this many floats: the weights' and bias's row length
// (`cols`) is padded to a multiple of it.
inline constexpr std::size_t kColumnBlock = 16;

// A product's sum over its depth is taken in chunks of this many terms, each summed from zero and
// then added to the total. One running float sum over the first layer's 387 terms moved the
// probability of loud synthetic speech up to 6e-5 from ONNX Runtime's (of the 1e-4 promised);
// by chunks it stays within 2e-5, about where ONNX Runtime itself lies from a double sum.
inline constexpr std::size_t kDepthChunk = 64;

// W[r][c] of a depth × cols matrix lies at w[panel_index(depth, r, c)].
constexpr std::size_t panel_index(std::size_t depth, std::size_t r, std::size_t c) {
  return (c / kColumnBlock) * depth * kColumnBlock + r * kColumnBlock + c % kColumnBlock;
}

struct Product {
  std::size_t rows = 0;             // rows of A and C
  std::size_t depth = 0;            // columns of A, rows of W; REQUIRES: ≥ 1
  std::size_t cols = 0;             // columns of W and C; a multiple of kColumnBlock
  const float* const* a = nullptr;  // each row: `depth` floats, anywhere in memory
  // depth × cols in panels: for each block of kColumnBlock columns, its depth × kColumnBlock
  // floats row-major and contiguous (what panel_layout() writes).
  const float* w = nullptr;
  const float* bias = nullptr;  // cols
  float* const* c = nullptr;    // each row: `cols` floats
  bool relu = false;            // C = max(0, ·); NaN stays NaN
};

// One LSTM step after the gates' product: with `gates` = [i | f | g | o] (`hidden` floats each),
// c = σ(f)·c_prev + σ(i)·tanh(g) and h = σ(o)·tanh(c). `c_prev` nullptr means zeros. NaN in a gate
// gives NaN, never a finite value.
struct Cell {
  std::size_t hidden = 0;  // a multiple of 8
  const float* gates = nullptr;
  const float* c_prev = nullptr;
  float* h = nullptr;
  float* c = nullptr;
};

// A real FFT of n points (a power of two from 4 to kMaxFft) with a window, made once per network.
inline constexpr std::size_t kMaxFft = 256;
struct FftPlan {
  std::size_t n = 0;
  std::vector<float> window;                // n
  std::vector<float> cos, sin;              // n / 2: cos and sin of 2πj/n
  std::vector<std::uint16_t> bit_reversed;  // n / 2: where point m goes before the first stage
};

struct Kernels {
  void (*product)(const Product&);
  void (*cell)(const Cell&);
  // |FFT(window · windows[i])| for bins 0..n/2 into magnitudes[i], for i < count.
  void (*spectra)(const FftPlan&, const float* const* windows, std::size_t count,
                  float* const* magnitudes);
};

// Every C element is bias + S0 + S1 + ... in this order, S0 the sum from zero of the first
// kDepthChunk terms a[k]·w[k] in order of k, S1 of the next ones and so on, whatever the number
// of rows, in both versions (the AVX2 one with fused multiply-adds, so the two agree to rounding,
// not bit for bit). The AVX2 cell uses its own exponential (within a few float ulps).
extern const Kernels kPortable;
extern const Kernels kAvx2;  // REQUIRES: the CPU has AVX2 and FMA

}  // namespace utils::vad::detail
