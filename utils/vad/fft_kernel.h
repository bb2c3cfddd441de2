// The windowed real FFT's magnitudes for the Silero network's spectral front end, written once and
// compiled into each frame kernel (portable and AVX2) with that file's instruction set: internal
// linkage, so the two copies never meet.
//
// Eight windows are transformed side by side, one per lane of a vector (GCC's vector type: one
// AVX register, or two SSE ones in the portable build), so a window's result never depends on the
// windows beside it. Each real window of n points is one complex radix-2 transform of n/2 points
// (even samples as the real part, odd as the imaginary), unpacked into the n/2 + 1 bins after.
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
  const std::size_t n = p.n, half_n = n / 2;
  Lanes re[kMaxFft / 2], im[kMaxFft / 2];
  for (std::size_t g = 0; g < count; g += kLanes) {
    // z[m] = x[2m] + i·x[2m+1], windowed, in bit-reversed order; lanes past the last window
    // stay zero.
    const std::size_t used = count - g < kLanes ? count - g : kLanes;
    if (used < kLanes) {
      std::memset(re, 0, half_n * sizeof(Lanes));
      std::memset(im, 0, half_n * sizeof(Lanes));
    }
    for (std::size_t w = 0; w < used; ++w) {
      const float* x = windows[g + w];
      for (std::size_t m = 0; m < half_n; ++m) {
        const std::size_t to = p.bit_reversed[m];
        re[to][w] = p.window[2 * m] * x[2 * m];
        im[to][w] = p.window[2 * m + 1] * x[2 * m + 1];
      }
    }
    // Z = FFT(z) over n/2 points; its twiddles e^(-2πij/(n/2)) are the plan's at 2j.
    for (std::size_t half = 1; half < half_n; half *= 2) {
      const std::size_t step = n / (2 * half);
      for (std::size_t start = 0; start < half_n; start += 2 * half) {
        for (std::size_t j = 0; j < half; ++j) {
          const float c = p.cos[j * step], s = p.sin[j * step];
          Lanes& ur = re[start + j];
          Lanes& ui = im[start + j];
          Lanes& vr = re[start + j + half];
          Lanes& vi = im[start + j + half];
          const Lanes tr = vr * c + vi * s;  // v · (c - i·s)
          const Lanes ti = vi * c - vr * s;
          vr = ur - tr;
          vi = ui - ti;
          ur += tr;
          ui += ti;
        }
      }
    }
    // X[k] = E + e^(-2πik/n)·O with E = (Z[k] + conj Z[n/2-k]) / 2 (the even samples' transform)
    // and O = (Z[k] - conj Z[n/2-k]) / 2i (the odd samples'); then |X[k]| for the lanes used.
    for (std::size_t k = 0; k <= half_n; ++k) {
      const std::size_t a = k % half_n, b = (half_n - k) % half_n;
      const Lanes er = 0.5f * (re[a] + re[b]), ei = 0.5f * (im[a] - im[b]);
      const Lanes orr = 0.5f * (im[a] + im[b]), oi = 0.5f * (re[b] - re[a]);
      const float c = k < half_n ? p.cos[k] : -1.0f, s = k < half_n ? p.sin[k] : 0.0f;
      const Lanes xr = er + c * orr + s * oi;
      const Lanes xi = ei + c * oi - s * orr;
      const Lanes power = xr * xr + xi * xi;
      for (std::size_t w = 0; w < used; ++w) magnitudes[g + w][k] = std::sqrt(power[w]);
    }
  }
}

}  // namespace
}  // namespace utils::vad::detail
