// process_audio_batch: the chunks of many streams' detectors in one call, for a host that serves
// many live streams (a server's tick over every session with audio waiting); docs/many-streams.md.
#pragma once

#include <span>
#include <utility>
#include <vector>

#include "utils/audio_samples.h"
#include "utils/export.h"
#include "utils/vad/vad_detector.h"

namespace utils::vad {

// Many streams at once: the same as calling detectors[i]->process_audio(chunks[i]) for each i in
// turn — the same results and every detector's state afterwards — for any mix of modes,
// configurations, models and chunk lengths. Frame step by frame step, the model-mode frames of
// detectors that share a model run through it together (SileroVADModel::predict_batch), which
// for many live streams costs far less than one frame at a time.
// Throws std::invalid_argument for spans of different lengths or a detector named twice, before
// any frame. A detector whose configuration gives no valid frame counts throws as process_audio
// does, after the detectors before it have run their chunks and before any after it.
// Thread safety: as process_audio on each detector (none of them used by another call meanwhile).
VAD_API std::vector<std::pair<bool, bool>> process_audio_batch(
    std::span<VADDetector* const> detectors, std::span<const AudioSamples> chunks);

// The same, and each frame's own verdict for hosts that act on the frame where speech ended:
// when verdicts[i] is not null, the (is_speech, speech_ended) of every frame of chunks[i] is
// appended to it in order, as process_frame gives them. REQUIRES: verdicts is empty or has one
// entry per detector (std::invalid_argument otherwise, before any frame).
VAD_API std::vector<std::pair<bool, bool>> process_audio_batch(
    std::span<VADDetector* const> detectors, std::span<const AudioSamples> chunks,
    std::span<std::vector<std::pair<bool, bool>>* const> verdicts);

}  // namespace utils::vad
