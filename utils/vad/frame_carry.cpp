// FrameCarry: samples carried between a host's chunks so that every sample is judged once.
#include "utils/vad/frame_carry.h"

#include <algorithm>
#include <stdexcept>
#include <string>

namespace utils::vad {

FrameCarry::FrameCarry(std::int64_t frame_size)
    : frame_size_(frame_size >= 1 ? static_cast<std::size_t>(frame_size) : 0),
      frames_(std::make_shared<std::vector<float>>()) {
  if (frame_size < 1) {
    throw std::invalid_argument("FrameCarry: frame_size must be at least 1, not " +
                                std::to_string(frame_size));
  }
  carry_.reserve(frame_size_);
}

AudioSamples FrameCarry::take(std::span<const float> chunk) {
  // A caller still holding the previous result keeps its storage; otherwise it is reused.
  if (frames_.use_count() > 1) frames_ = std::make_shared<std::vector<float>>();
  std::vector<float>& out = *frames_;
  const std::size_t total = carry_.size() + chunk.size();
  const std::size_t whole = total / frame_size_ * frame_size_;
  out.resize(whole);
  if (whole == 0) {
    carry_.insert(carry_.end(), chunk.begin(), chunk.end());
    return AudioSamples();
  }
  // The carry (under a frame) opens the result; the chunk fills the rest, and its tail past the
  // last whole frame becomes the new carry.
  std::copy(carry_.begin(), carry_.end(), out.begin());
  const std::size_t from_chunk = whole - carry_.size();
  std::copy_n(chunk.begin(), from_chunk, out.begin() + static_cast<std::ptrdiff_t>(carry_.size()));
  carry_.assign(chunk.begin() + static_cast<std::ptrdiff_t>(from_chunk), chunk.end());
  return AudioSamples(std::shared_ptr<const void>(frames_), out.data(), whole);
}

}  // namespace utils::vad
