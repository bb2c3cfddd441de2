// normalize_audio: brings samples into the range the recognition engines expect. The engine layer
// has a built-in implementation; a host may replace it with its own (provide_normalize_audio).
//
// Built in: integer samples are scaled into [-1, 1] (int16 by 1/32768, int32 by 1/2^31); float
// samples are clipped into [-1, 1] with NaN mapped to 0. The result has `target_dtype` when given,
// float32 otherwise, and never shares storage with the input.
//
// Thread safety: any function, any thread, any time.
#pragma once

#include <functional>
#include <optional>

#include "utils/audio_samples.h"
#include "utils/export.h"

namespace utils {

// The host's normalisation when it provided one, else the built-in one.
QUERN_ENGINES_API AudioSamples normalize_audio(const AudioSamples& audio,
                                               std::optional<DType> target_dtype = std::nullopt);

// The built-in normalisation. REQUIRES: `target_dtype` is a float type when given (else throws
// std::invalid_argument).
QUERN_ENGINES_API AudioSamples builtin_normalize_audio(const AudioSamples& audio,
                                                       std::optional<DType> target_dtype);

using NormalizeAudio = std::function<AudioSamples(const AudioSamples&, std::optional<DType>)>;
// Makes `fn` the implementation of normalize_audio (an empty function restores the built-in one).
QUERN_ENGINES_API void provide_normalize_audio(NormalizeAudio fn);

}  // namespace utils
