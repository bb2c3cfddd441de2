// AudioSamples: views, typed access and joins.
#include "utils/audio_samples.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using utils::AudioSamples;
using utils::DType;

TEST(AudioSamples, MovesVectorStorageAndSlicesShareIt) {
  std::vector<float> v = {0.f, 1.f, 2.f, 3.f, 4.f};
  const float* raw = v.data();
  AudioSamples a(std::move(v));
  EXPECT_EQ(a.as<float>().data(), raw);  // moved, not copied
  EXPECT_EQ(a.size(), 5u);
  EXPECT_EQ(a.dtype_name(), "float32");

  auto s = a.slice(1, 4);
  EXPECT_EQ(s.size(), 3u);
  EXPECT_EQ(s.as<float>().data(), raw + 1);
  EXPECT_EQ(s.as<float>()[0], 1.f);
  EXPECT_EQ(a.slice(5, 5).size(), 0u);

  // The view keeps the storage alive after the original is gone.
  auto owner = s.owner();
  a = AudioSamples();
  EXPECT_EQ(s.as<float>()[2], 3.f);
  EXPECT_EQ(owner.get(), static_cast<const void*>(raw + 1));
}

TEST(AudioSamples, BadAccessThrowsClearErrors) {
  auto a = AudioSamples::copy_of({1.0, 2.0});
  EXPECT_THROW(a.as<float>(), std::invalid_argument);
  EXPECT_THROW(a.slice(1, 3), std::out_of_range);
  EXPECT_THROW(a.slice(2, 1), std::out_of_range);
  try {
    a.as<std::int16_t>();
    FAIL();
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(), "AudioSamples: element type is float64, not int16");
  }
  AudioSamples empty;
  EXPECT_TRUE(empty.empty());
  EXPECT_EQ(empty.as<float>().size(), 0u);
  EXPECT_EQ(empty.slice(0, 0).size(), 0u);
}

TEST(AudioSamples, JoinsConcatenateAndPromoteLikeNumpy) {
  std::vector<AudioSamples> same = {AudioSamples::copy_of({1.f, 2.f}), AudioSamples(),
                                    AudioSamples::copy_of({3.f})};
  auto j = AudioSamples::join(same);
  EXPECT_EQ(j.dtype(), DType::float32);
  EXPECT_EQ(std::vector<float>(j.as<float>().begin(), j.as<float>().end()),
            (std::vector<float>{1.f, 2.f, 3.f}));

  EXPECT_EQ(AudioSamples::join({}).dtype(), DType::float64);
  EXPECT_EQ(utils::promote(DType::int16, DType::int32), DType::int32);
  EXPECT_EQ(utils::promote(DType::int16, DType::float32), DType::float32);
  EXPECT_EQ(utils::promote(DType::int32, DType::float32), DType::float64);
  EXPECT_EQ(utils::promote(DType::float32, DType::float64), DType::float64);

  std::vector<AudioSamples> mixed = {AudioSamples::copy_of<std::int32_t>({2147483647}),
                                     AudioSamples::copy_of({0.5f})};
  auto m = AudioSamples::join(mixed);
  ASSERT_EQ(m.dtype(), DType::float64);
  EXPECT_EQ(m.as<double>()[0], 2147483647.0);  // exact: why int32 + float32 is float64
  EXPECT_EQ(m.as<double>()[1], 0.5);
}
