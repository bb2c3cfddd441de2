// The AVX2/FMA kernels (this file is compiled with -mavx2 -mfma and called only where the CPU has
// both). The product runs in tiles of 6 rows × 16 columns (twelve accumulators: enough
// independent multiply-adds to keep both FMA units busy, fifteen of the sixteen registers); the
// last rows (a single stream's matrix-vector products) take wider column blocks instead, for the
// same reason. The LSTM cell computes exp with a polynomial, eight lanes at a time.
#include <immintrin.h>

#include <algorithm>

#include "utils/vad/fft_kernel.h"
#include "utils/vad/frame_kernel.h"

namespace utils::vad::detail {

namespace {

// GCC keeps the accumulators in registers only when the loops over them are unrolled before it
// looks for that (otherwise it stores the whole array to the stack on every step).
#define QUERN_UNROLL _Pragma("GCC unroll 16")

template <std::size_t R, std::size_t V>
inline void tile(const Product& p, std::size_t m0, std::size_t n0) {
  const std::size_t depth = p.depth;
  const float* a[R];
  QUERN_UNROLL for (std::size_t r = 0; r < R; ++r) a[r] = p.a[m0 + r];
  // Where each vector's 8 columns start in W's panels; one step of k is one panel row further.
  const float* w[V];
  QUERN_UNROLL for (std::size_t v = 0; v < V; ++v) w[v] = p.w + panel_index(depth, 0, n0 + 8 * v);
  const __m256 zero = _mm256_setzero_ps();
  __m256 acc[R][V];
  for (std::size_t k0 = 0; k0 < depth; k0 += kDepthChunk) {
    const std::size_t end = std::min(depth, k0 + kDepthChunk);
    QUERN_UNROLL for (std::size_t r = 0; r < R; ++r) {
      QUERN_UNROLL for (std::size_t v = 0; v < V; ++v) acc[r][v] = zero;
    }
    for (std::size_t k = k0; k < end; ++k) {
      __m256 wv[V];
      QUERN_UNROLL for (std::size_t v = 0; v < V; ++v) {
        wv[v] = _mm256_loadu_ps(w[v] + k * kColumnBlock);
      }
      QUERN_UNROLL for (std::size_t r = 0; r < R; ++r) {
        const __m256 x = _mm256_broadcast_ss(a[r] + k);
        QUERN_UNROLL for (std::size_t v = 0; v < V; ++v) acc[r][v] =
            _mm256_fmadd_ps(x, wv[v], acc[r][v]);
      }
    }
    // The chunk's sum onto the bias (first chunk) or onto the sum so far, kept in C meanwhile.
    const bool first = k0 == 0, last = end == depth;
    QUERN_UNROLL for (std::size_t r = 0; r < R; ++r) {
      QUERN_UNROLL for (std::size_t v = 0; v < V; ++v) {
        float* c = p.c[m0 + r] + n0 + 8 * v;
        __m256 total = _mm256_add_ps(_mm256_loadu_ps(first ? p.bias + n0 + 8 * v : c), acc[r][v]);
        // max(0, x) returns x when x is NaN (the second operand), as torch's ReLU keeps NaN.
        if (last && p.relu) total = _mm256_max_ps(zero, total);
        _mm256_storeu_ps(c, total);
      }
    }
  }
}

// R rows over every column: V vectors (8·V columns) per tile, the rest 16 and then 8 at a time.
template <std::size_t R, std::size_t V>
void few_rows(const Product& p, std::size_t m0) {
  std::size_t n = 0;
  for (; n + 8 * V <= p.cols; n += 8 * V) tile<R, V>(p, m0, n);
  for (; n + 16 <= p.cols; n += 16) tile<R, 2>(p, m0, n);
  for (; n < p.cols; n += 8) tile<R, 1>(p, m0, n);
}

void product(const Product& p) {
  // Column panels outside, rows inside: a panel of W (depth × 16 floats) stays in L1 while every
  // row block passes it, which for a batch of streams reads far less than the other order. A
  // single stream's products read W once, as a few sequential streams the prefetcher follows.
  const std::size_t full = p.rows / 6 * 6;
  for (std::size_t n = 0; n < p.cols; n += 16) {
    for (std::size_t m = 0; m < full; m += 6) tile<6, 2>(p, m, n);
  }
  const std::size_t m = full;
  switch (p.rows - m) {
    case 5:
      few_rows<5, 2>(p, m);
      break;
    case 4:
      few_rows<4, 3>(p, m);
      break;
    case 3:
      few_rows<3, 4>(p, m);
      break;
    case 2:
      few_rows<2, 4>(p, m);
      break;
    case 1:
      few_rows<1, 8>(p, m);
      break;
    default:
      break;
  }
}

// exp(x) for each lane: 2^n · e^r with n = round(x / ln 2) and a degree-6 polynomial for e^r on
// |r| ≤ ln 2 / 2 (relative error about 2e-7). x is clamped to where 2^n stays a normal float;
// the clamps keep NaN (min/max return their second operand when either is NaN).
inline __m256 exp8(__m256 x) {
  x = _mm256_min_ps(_mm256_set1_ps(88.0f), x);
  x = _mm256_max_ps(_mm256_set1_ps(-87.0f), x);
  const __m256 n = _mm256_round_ps(_mm256_mul_ps(x, _mm256_set1_ps(1.44269504088896341f)),
                                   _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC);
  // r = x - n·ln 2, with ln 2 in two parts so that n·ln2_hi is exact.
  __m256 r = _mm256_fnmadd_ps(n, _mm256_set1_ps(0.693359375f), x);
  r = _mm256_fnmadd_ps(n, _mm256_set1_ps(-2.12194440e-4f), r);
  __m256 y = _mm256_set1_ps(1.9875691500e-4f);
  y = _mm256_fmadd_ps(y, r, _mm256_set1_ps(1.3981999507e-3f));
  y = _mm256_fmadd_ps(y, r, _mm256_set1_ps(8.3334519073e-3f));
  y = _mm256_fmadd_ps(y, r, _mm256_set1_ps(4.1665795894e-2f));
  y = _mm256_fmadd_ps(y, r, _mm256_set1_ps(1.6666665459e-1f));
  y = _mm256_fmadd_ps(y, r, _mm256_set1_ps(5.0000001201e-1f));
  y = _mm256_fmadd_ps(y, _mm256_mul_ps(r, r), _mm256_add_ps(r, _mm256_set1_ps(1.0f)));
  const __m256i e =
      _mm256_slli_epi32(_mm256_add_epi32(_mm256_cvtps_epi32(n), _mm256_set1_epi32(127)), 23);
  return _mm256_mul_ps(y, _mm256_castsi256_ps(e));
}

inline __m256 sigmoid8(__m256 x) {
  const __m256 one = _mm256_set1_ps(1.0f);
  return _mm256_div_ps(one, _mm256_add_ps(one, exp8(_mm256_sub_ps(_mm256_setzero_ps(), x))));
}

// tanh(x) = 2·σ(2x) − 1: absolute error a few 1e-8, all the cell needs.
inline __m256 tanh8(__m256 x) {
  const __m256 two = _mm256_set1_ps(2.0f);
  return _mm256_fmsub_ps(two, sigmoid8(_mm256_mul_ps(two, x)), _mm256_set1_ps(1.0f));
}

void cell(const Cell& l) {
  const std::size_t n = l.hidden;
  const float* g = l.gates;
  for (std::size_t k = 0; k < n; k += 8) {
    const __m256 cp = l.c_prev ? _mm256_loadu_ps(l.c_prev + k) : _mm256_setzero_ps();
    const __m256 i = sigmoid8(_mm256_loadu_ps(g + k));
    const __m256 f = sigmoid8(_mm256_loadu_ps(g + n + k));
    const __m256 gg = tanh8(_mm256_loadu_ps(g + 2 * n + k));
    const __m256 o = sigmoid8(_mm256_loadu_ps(g + 3 * n + k));
    const __m256 c = _mm256_fmadd_ps(f, cp, _mm256_mul_ps(i, gg));
    _mm256_storeu_ps(l.c + k, c);
    _mm256_storeu_ps(l.h + k, _mm256_mul_ps(o, tanh8(c)));
  }
}

}  // namespace

const Kernels kAvx2{&product, &cell, &fft_magnitudes};

}  // namespace utils::vad::detail
