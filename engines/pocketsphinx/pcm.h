// Samples of any element type as the 16-bit PCM the decoders take. Internal.
#pragma once

#include <cmath>
#include <cstdint>
#include <type_traits>
#include <vector>

#include "utils/audio_samples.h"

namespace engines::pocketsphinx {

// Floats are [-1, 1] (clipped; NaN as 0), int16 is taken as it is, int32 keeps its top 16 bits.
// `out` is resized, not reallocated once large enough.
inline void to_pcm(const utils::AudioSamples& audio, std::vector<std::int16_t>& out) {
  out.resize(audio.size());
  audio.visit([&](auto samples) {
    using T = typename decltype(samples)::value_type;
    for (std::size_t i = 0; i < samples.size(); ++i) {
      if constexpr (std::is_same_v<T, std::int16_t>) {
        out[i] = samples[i];
      } else if constexpr (std::is_same_v<T, std::int32_t>) {
        out[i] = static_cast<std::int16_t>(samples[i] >> 16);
      } else {
        const double v = static_cast<double>(samples[i]);
        const double clipped = std::isnan(v) ? 0.0 : v < -1.0 ? -1.0 : v > 1.0 ? 1.0 : v;
        out[i] = static_cast<std::int16_t>(std::lrint(clipped * 32767.0));
      }
    }
  });
}

}  // namespace engines::pocketsphinx
