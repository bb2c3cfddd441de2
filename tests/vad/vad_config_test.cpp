// VADConfig: defaults, derived counts, the model-mode frame size rule, and bad values.
#include "utils/vad/vad_config.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "tests/support/log_capture.h"

using quern_test::Level;
using quern_test::LogCapture;
using quern_test::LogLine;
using utils::vad::VADConfig;

TEST(VADConfig, DefaultsAndDerivedCounts) {
  LogCapture log;
  VADConfig c;
  EXPECT_EQ(c.sample_rate, 16000);
  EXPECT_EQ(c.frame_size, 512);
  EXPECT_EQ(c.energy_threshold, 0.01);
  EXPECT_EQ(c.model_name, "silero-vad");
  EXPECT_FALSE(c.model_path.has_value());
  EXPECT_EQ(c.device, "cpu");
  EXPECT_EQ(c.silence_frames(), 31);
  EXPECT_EQ(c.padding_frames(), 9);
  EXPECT_TRUE(log.lines().empty());

  // Computed on every read, in double, in the written order.
  c.silence_duration = 0.5;
  EXPECT_EQ(c.silence_frames(), 15);
  c.silence_duration = 4.0;
  EXPECT_EQ(c.silence_frames(), 125);  // not 4 × (16000 / 512 = 31) = 124
  c.silence_duration = 0.01;
  EXPECT_EQ(c.silence_frames(), 0);
  c.speech_padding = -0.3;
  EXPECT_EQ(c.padding_frames(), -9);  // truncated toward zero
}

TEST(VADConfig, ModelModeRaisesTooSmallFramesOnce) {
  LogCapture log;
  VADConfig small({.frame_size = 256, .use_model = true});
  EXPECT_EQ(small.frame_size, 512);
  EXPECT_EQ(log.lines(),
            (std::vector<LogLine>{{Level::warning,
                                   "frame_size 256 is too small for model-based VAD, increasing to "
                                   "minimum 512"}}));
  EXPECT_EQ(small.silence_frames(), 31);
  EXPECT_EQ(small.padding_frames(), 9);

  log.clear();
  VADConfig eight({.sample_rate = 8000, .use_model = true});
  EXPECT_EQ(eight.frame_size, 512);
  EXPECT_EQ(eight.silence_frames(), 15);
  EXPECT_EQ(eight.padding_frames(), 4);
  VADConfig big({.frame_size = 1024, .use_model = true});
  EXPECT_EQ(big.frame_size, 1024);
  VADConfig energy({.frame_size = 256});
  EXPECT_EQ(energy.frame_size, 256);
  // Copies do not normalise again, and later changes are not checked.
  VADConfig copy = small;
  copy.frame_size = 100;
  EXPECT_EQ(copy.frame_size, 100);
  EXPECT_TRUE(log.lines().empty());
}

TEST(VADConfig, CountsThatAreNoNumbersThrowNamingTheValue) {
  VADConfig c;
  c.frame_size = 0;
  try {
    (void)c.silence_frames();
    FAIL();
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(), "VADConfig: frame_size must be at least 1, got 0");
  }
  c.frame_size = -512;
  EXPECT_THROW((void)c.padding_frames(), std::invalid_argument);

  c.frame_size = 512;
  c.silence_duration = std::numeric_limits<double>::quiet_NaN();
  try {
    (void)c.silence_frames();
    FAIL();
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(),
                 "VADConfig: silence_duration=nan at sample_rate=16000 and frame_size=512 gives "
                 "no frame count (nan)");
  }
  c.silence_duration = 1e300;
  EXPECT_THROW((void)c.silence_frames(), std::invalid_argument);
  c.speech_padding = -std::numeric_limits<double>::infinity();
  EXPECT_THROW((void)c.padding_frames(), std::invalid_argument);
}
