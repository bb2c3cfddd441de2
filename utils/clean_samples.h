// clean_samples: what every host does to samples from outside before the engines see them — NaN
// becomes 0 and everything else is clipped to [-1, 1] (infinities to the nearest bound).
#pragma once

#include <algorithm>
#include <cmath>
#include <span>

namespace utils {

// Cleans `samples` in place; returns whether any sample changed.
inline bool clean_samples(std::span<float> samples) noexcept {
  bool changed = false;
  for (float& v : samples) {
    const float c = std::isnan(v) ? 0.0f : std::clamp(v, -1.0f, 1.0f);
    changed |= !(c == v);
    v = c;
  }
  return changed;
}

}  // namespace utils
