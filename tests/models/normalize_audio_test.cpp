// normalize_audio through the host seam: integer scaling, clipping, NaN to zero, the journal.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "testing/stand_ins/stand_in.h"
#include "utils/audio.h"

using utils::AudioSamples;
using utils::DType;

TEST(NormalizeAudio, ScalesIntegersClipsFloatsAndMapsNanToZero) {
  stand_in::clear();
  auto i16 = utils::normalize_audio(AudioSamples::copy_of<std::int16_t>({-32768, 0, 16384, 32767}));
  ASSERT_EQ(i16.dtype(), DType::float32);
  EXPECT_EQ(i16.as<float>()[0], -1.f);
  EXPECT_EQ(i16.as<float>()[2], 0.5f);
  EXPECT_LE(i16.as<float>()[3], 1.f);

  auto i32 = utils::normalize_audio(
      AudioSamples::copy_of<std::int32_t>({std::numeric_limits<std::int32_t>::min(), 1 << 30}),
      DType::float64);
  ASSERT_EQ(i32.dtype(), DType::float64);
  EXPECT_EQ(i32.as<double>()[0], -1.0);
  EXPECT_EQ(i32.as<double>()[1], 0.5);

  const double inf = std::numeric_limits<double>::infinity();
  auto f = utils::normalize_audio(AudioSamples::copy_of({2.0, -inf, std::nan(""), 0.25, inf}),
                                  DType::float32);
  ASSERT_EQ(f.dtype(), DType::float32);
  EXPECT_EQ(std::vector<float>(f.as<float>().begin(), f.as<float>().end()),
            (std::vector<float>{1.f, -1.f, 0.f, 0.25f, 1.f}));

  EXPECT_EQ(utils::normalize_audio(AudioSamples()).size(), 0u);
  EXPECT_THROW(utils::normalize_audio(AudioSamples::copy_of({1.f}), DType::int16),
               std::invalid_argument);

  auto calls = stand_in::journal_of("normalize_audio");
  ASSERT_EQ(calls.size(), 5u);
  EXPECT_EQ(calls[0].arg("target_dtype"), "None");
  EXPECT_EQ(calls[1].arg("target_dtype"), "float64");
}
