// normalize_audio: brings samples into the range the recognition engines expect. The host
// provides it (here: the platform library).
//
// Integer samples are scaled into [-1, 1] (int16 by 1/32768, int32 by 1/2^31); float samples are
// clipped into [-1, 1] with NaN mapped to 0. The result has `target_dtype` when given, float32
// otherwise, and never shares storage with the input.
#pragma once

#include <optional>

#include "utils/audio_samples.h"
#include "utils/export.h"

namespace utils {

QUERN_PLATFORM_API AudioSamples normalize_audio(const AudioSamples& audio,
                                                std::optional<DType> target_dtype = std::nullopt);

}  // namespace utils
