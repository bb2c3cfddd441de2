// FrameCarry: what a host does so that no audio falls between chunks. The detector judges only
// the whole frames of each chunk; the host keeps the samples after the last whole frame and puts
// them in front of the next chunk.
#pragma once

#include <cstddef>
#include <vector>

#include "utils/audio_samples.h"

namespace quern_cli {

class FrameCarry {
 public:
  explicit FrameCarry(std::size_t frame_size) : frame_size_(frame_size) {}

  // The carried samples and `chunk`, cut to whole frames; the rest is kept for the next call.
  utils::AudioSamples take(std::span<const float> chunk) {
    std::vector<float> joined(carry_);
    joined.insert(joined.end(), chunk.begin(), chunk.end());
    const std::size_t whole = joined.size() / frame_size_ * frame_size_;
    carry_.assign(joined.begin() + static_cast<std::ptrdiff_t>(whole), joined.end());
    joined.resize(whole);
    return utils::AudioSamples(std::move(joined));
  }

 private:
  std::size_t frame_size_;
  std::vector<float> carry_;
};

}  // namespace quern_cli
