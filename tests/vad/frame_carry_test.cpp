// FrameCarry: every sample reaches the detector once, in order, in whole frames, whatever the
// chunk lengths; results a caller holds stay valid.
#include "utils/vad/frame_carry.h"

#include <gtest/gtest.h>

#include <numeric>
#include <stdexcept>
#include <vector>

using utils::AudioSamples;
using utils::vad::FrameCarry;

TEST(FrameCarry, EverySampleComesOutOnceInOrderInWholeFrames) {
  std::vector<float> input(10000);
  std::iota(input.begin(), input.end(), 0.0f);
  FrameCarry carry(512);
  std::vector<float> out;
  std::size_t at = 0;
  // Chunk lengths below, at and above a frame, and empty ones.
  for (const std::size_t n : {0u, 100u, 411u, 1u, 1600u, 512u, 0u, 2000u, 3u, 1600u, 1600u}) {
    const AudioSamples frames = carry.take(std::span<const float>(input).subspan(at, n));
    at += n;
    EXPECT_EQ(frames.size() % 512, 0u);
    for (const float v : frames.as<float>()) out.push_back(v);
    EXPECT_EQ(out.size() + carry.carried(), at);
    EXPECT_LT(carry.carried(), 512u);
  }
  ASSERT_EQ(out.size(), at / 512 * 512);
  for (std::size_t i = 0; i < out.size(); ++i) ASSERT_EQ(out[i], static_cast<float>(i));

  carry.reset();
  EXPECT_EQ(carry.carried(), 0u);
  EXPECT_THROW(FrameCarry(0), std::invalid_argument);
}

TEST(FrameCarry, HeldResultsKeepTheirSamples) {
  FrameCarry carry(4);
  auto values = [](const AudioSamples& x) {
    return std::vector<float>(x.as<float>().begin(), x.as<float>().end());
  };
  const std::vector<float> a{1, 2, 3, 4, 5}, b{6, 7, 8, 9, 10, 11}, c{12};
  const AudioSamples first = carry.take(a);
  const AudioSamples second = carry.take(b);  // while `first` is held
  const AudioSamples third = carry.take(c);
  EXPECT_EQ(values(first), (std::vector<float>{1, 2, 3, 4}));
  EXPECT_EQ(values(second), (std::vector<float>{5, 6, 7, 8}));
  EXPECT_EQ(values(third), (std::vector<float>{9, 10, 11, 12}));
}
