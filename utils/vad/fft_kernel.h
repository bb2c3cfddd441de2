// The windowed real FFT's magnitudes for the Silero network's spectral front end, written once and
// compiled into each frame kernel (portable and AVX2) with that file's instruction set: internal
// linkage, so the two copies never meet.
//
// Eight complex radix-2 transforms run side by side, one per lane of a vector (GCC's vector type:
// one AVX register, or two SSE ones in the portable build); each transform carries two real
// windows, one as the real and one as the imaginary part, separated after the transform. The
// pairs are consecutive windows (2j, 2j + 1), so a window's result depends only on its own frame's
// windows, never on where the frame sits in a batch.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstring>

#include "utils/vad/frame_kernel.h"

namespace utils::vad::detail {
namespace {

constexpr std::size_t kLanes = 8;
using Lanes = float __attribute__((vector_size(kLanes * sizeof(float))));

inline void fft_magnitudes(const FftPlan& p, const float* const* windows, std::size_t count,
                           float* const* magnitudes) {
  const std::size_t n = p.n;
  Lanes re[kMaxFft], im[kMaxFft];
  for (std::size_t g = 0; g < count; g += 2 * kLanes) {
    // Windowed samples in bit-reversed order; lanes past the last window stay zero.
    const std::size_t used = count - g < 2 * kLanes ? count - g : 2 * kLanes;
    if (used < 2 * kLanes) {
      std::memset(re, 0, n * sizeof(Lanes));
      std::memset(im, 0, n * sizeof(Lanes));
    }
    for (std::size_t w = 0; w < used; ++w) {
      Lanes* part = w % 2 == 0 ? re : im;
      const float* x = windows[g + w];
      for (std::size_t k = 0; k < n; ++k) part[p.bit_reversed[k]][w / 2] = p.window[k] * x[k];
    }
    for (std::size_t half = 1; half < n; half *= 2) {
      const std::size_t step = n / (2 * half);
      for (std::size_t start = 0; start < n; start += 2 * half) {
        for (std::size_t j = 0; j < half; ++j) {
          // v · e^(-iθ), θ = 2πj / (2·half)
          const float c = p.cos[j * step], s = p.sin[j * step];
          Lanes& ur = re[start + j];
          Lanes& ui = im[start + j];
          Lanes& vr = re[start + j + half];
          Lanes& vi = im[start + j + half];
          const Lanes tr = vr * c + vi * s;
          const Lanes ti = vi * c - vr * s;
          vr = ur - tr;
          vi = ui - ti;
          ur += tr;
          ui += ti;
        }
      }
    }
    // With Z = X + iY the transform of windows x and y: X[k] = (Z[k] + conj Z[n-k]) / 2 and
    // Y[k] = (Z[k] - conj Z[n-k]) / 2i; their squared magnitudes, then the roots of those used.
    for (std::size_t k = 0; k <= n / 2; ++k) {
      const std::size_t m = (n - k) & (n - 1);
      const Lanes sr = re[k] + re[m], dr = re[k] - re[m];
      const Lanes si = im[k] + im[m], di = im[k] - im[m];
      const Lanes x2 = sr * sr + di * di, y2 = si * si + dr * dr;
      for (std::size_t w = 0; w < used; ++w) {
        magnitudes[g + w][k] = 0.5f * std::sqrt(w % 2 == 0 ? x2[w / 2] : y2[w / 2]);
      }
    }
  }
}

}  // namespace
}  // namespace utils::vad::detail
