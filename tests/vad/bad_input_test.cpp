// What the VAD does with bad input from untrusted streams: NaN and infinite samples, integer
// samples, empty chunks, and models that cannot be loaded. (Zero or negative frame sizes and
// absurd durations: VADConfig.CountsThatAreNoNumbersThrowNamingTheValue and
// VADDetector.BadConfigurationsThrowBeforeAnyFrame.)
#include <gtest/gtest.h>

#include <fstream>
#include <limits>

#include "tests/support/log_capture.h"
#include "tests/support/paths.h"
#include "tests/support/wav.h"
#include "utils/vad/vad_detector.h"

using quern_test::fixture;
using quern_test::Level;
using quern_test::LogCapture;
using utils::AudioSamples;
using utils::vad::VADConfig;
using utils::vad::VADConfigFields;
using utils::vad::VADDetector;

namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

std::vector<AudioSamples> speech_frames(std::size_t count) {
  const auto wav = quern_test::read_wav(fixture("speech_16k.wav"));
  const AudioSamples all(std::vector<float>(wav.samples));
  std::vector<AudioSamples> frames;
  for (std::size_t i = 0; i < count; ++i) frames.push_back(all.slice(i * 512, (i + 1) * 512));
  return frames;
}

}  // namespace

TEST(VadBadInput, NonFiniteSamplesInEnergyModeAreNonSpeechAndPassOn) {
  VADDetector d;
  std::vector<float> nan_frame(512, 0.5f);
  nan_frame[7] = kNaN;
  EXPECT_EQ(d.process_audio(AudioSamples(std::move(nan_frame))), (std::pair{false, false}));
  // The NaN leaves the 10-frame history after ten frames; detection then works again.
  for (int i = 0; i < 9; ++i) d.process_audio(AudioSamples(std::vector<float>(512, 0.5f)));
  EXPECT_TRUE(d.process_audio(AudioSamples(std::vector<float>(512, 0.5f))).first);

  VADDetector inf;
  EXPECT_TRUE(inf.process_audio(AudioSamples(std::vector<float>(512, kInf))).first);
  EXPECT_TRUE(inf.process_audio(AudioSamples(std::vector<double>(512, -1e300))).first);
  // Integer samples are measured in double: no overflow, no wrap-around.
  VADDetector ints;
  EXPECT_TRUE(ints.process_audio(AudioSamples(std::vector<std::int16_t>(512, -32768))).first);
  EXPECT_EQ(ints.process_audio(AudioSamples()), (std::pair{false, false}));
}

TEST(VadBadInput, NonFiniteSamplesDoNotPoisonTheModelStream) {
  const auto frames = speech_frames(200);
  VADDetector clean(std::make_shared<VADConfig>(VADConfigFields{.use_model = true}));
  VADDetector dirty(std::make_shared<VADConfig>(VADConfigFields{.use_model = true}));
  LogCapture log;
  for (std::size_t i = 0; i < frames.size(); ++i) {
    if (i == 50 || i == 120) {
      std::vector<float> bad(frames[i].as<float>().begin(), frames[i].as<float>().end());
      bad[100] = i == 50 ? kNaN : kInf;
      EXPECT_EQ(dirty._predict_speech(AudioSamples(std::move(bad))), 0.0);
      EXPECT_EQ(log.lines().back().level, Level::error);
      EXPECT_EQ(log.lines().back().text.rfind("Error in VAD prediction: model returned ", 0), 0u);
      continue;  // the stream goes on as if the bad frame had not come
    }
    // The same state on the same path: equal to the last bit.
    ASSERT_EQ(dirty._predict_speech(frames[i]), clean._predict_speech(frames[i])) << "frame " << i;
  }
}

TEST(VadBadInput, MissingOrCorruptModelsFallBackToEnergy) {
  // A path with nothing there loads the packaged model instead.
  VADDetector missing(std::make_shared<VADConfig>(
      VADConfigFields{.use_model = true, .model_path = "/no/such/model.jit"}));
  EXPECT_TRUE(missing.config->use_model);
  EXPECT_TRUE(missing.vad_model);

  const std::string corrupt = testing::TempDir() + "/corrupt_model.jit";
  std::ofstream(corrupt) << "garbage";
  LogCapture log;
  auto config =
      std::make_shared<VADConfig>(VADConfigFields{.use_model = true, .model_path = corrupt});
  VADDetector d(config);
  EXPECT_FALSE(config->use_model);
  EXPECT_FALSE(d.vad_model);
  EXPECT_EQ(log.count("VAD initialized with energy-based detection: threshold=0.01, "
                      "silence_duration=1.0s, padding=0.3s"),
            1);
  EXPECT_TRUE(d.process_audio(AudioSamples(std::vector<float>(512, 0.5f))).first);
}
