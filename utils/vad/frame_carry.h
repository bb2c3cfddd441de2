// FrameCarry: what a host puts between its audio chunks and a detector so that no audio falls
// between chunks. VADDetector::process_audio judges the whole frames of each chunk and ignores
// the rest; a host whose chunks are not whole frames (100 ms is 1600 samples, not a multiple of
// 512) would lose the samples after each chunk's last frame. FrameCarry keeps them and puts them
// in front of the next chunk, so every sample is judged exactly once, in order:
//
//   utils::vad::FrameCarry carry(detector.config->frame_size);
//   for (each chunk) detector.process_audio(carry.take(chunk));
//
// Allocation-free once warmed up: the frames come out of storage that the carry reuses for as
// long as no earlier result is still held (a result that is held stays valid; the next call then
// takes new storage).
//
// Thread safety: one carry per stream; calls on one carry must not overlap.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "utils/audio_samples.h"
#include "utils/export.h"

namespace utils::vad {

class VAD_API FrameCarry {
 public:
  // REQUIRES: frame_size >= 1 (in samples); std::invalid_argument otherwise.
  explicit FrameCarry(std::int64_t frame_size);

  // The samples carried from the previous call followed by `chunk`, cut to whole frames (possibly
  // none: an empty array); the samples after the last whole frame are kept for the next call.
  AudioSamples take(std::span<const float> chunk);

  // Samples waiting for the next call: fewer than one frame.
  std::size_t carried() const noexcept { return carry_.size(); }
  // Drops the carried samples, for a new stream.
  void reset() noexcept { carry_.clear(); }

  std::size_t frame_size() const noexcept { return frame_size_; }

 private:
  std::size_t frame_size_;
  std::vector<float> carry_;                    // capacity: one frame
  std::shared_ptr<std::vector<float>> frames_;  // the storage of the last result
};

}  // namespace utils::vad
