// VADDetector: the frame state machine on exactly scripted judgements (the echo model's
// probability is a frame's first sample), energy smoothing, framing, configuration changes, the
// fallback to energy mode, and bad configurations.
#include "utils/vad/vad_detector.h"

#include <gtest/gtest.h>

#include <limits>

#include "tests/support/log_capture.h"
#include "tests/support/paths.h"

using quern_test::fixture;
using quern_test::Level;
using quern_test::LogCapture;
using quern_test::LogLine;
using utils::AudioSamples;
using utils::vad::VADConfig;
using utils::vad::VADConfigFields;
using utils::vad::VADDetector;
using Result = std::pair<bool, bool>;

namespace {

// A detector whose frames are judged by the echo model: speech when the first sample > 0.5.
std::shared_ptr<VADConfig> echo_config(VADConfigFields f = {}) {
  f.use_model = true;
  f.model_path = fixture("echo.jit");
  return std::make_shared<VADConfig>(f);
}

AudioSamples frame(float first, std::size_t n = 512) {
  std::vector<float> v(n, 0.0f);
  v[0] = first;
  return AudioSamples(std::move(v));
}
const AudioSamples kSpeech = frame(0.9f);
const AudioSamples kQuiet = frame(0.1f);

AudioSamples constant(float value, std::size_t n) {
  return AudioSamples(std::vector<float>(n, value));
}

}  // namespace

TEST(VADDetector, EndOfSpeechOnTheFortiethQuietFrameAndAfter) {
  VADDetector d(echo_config());
  ASSERT_TRUE(d.vad_model);
  EXPECT_EQ(d.get_state().dump(),
            R"({"speech_detected":false,"silence_counter":0,"padding_counter":0,)"
            R"("silence_threshold":31,"padding_threshold":9})");
  // Quiet frames before any speech never end anything.
  for (int i = 0; i < 100; ++i) ASSERT_EQ(d.process_frame(kQuiet), (Result{false, false}));

  EXPECT_EQ(d.process_frame(kSpeech), (Result{true, false}));
  for (int i = 1; i <= 39; ++i) ASSERT_EQ(d.process_frame(kQuiet), (Result{false, false})) << i;
  EXPECT_EQ(d.process_frame(kQuiet), (Result{false, true}));
  EXPECT_EQ(d.process_frame(kQuiet), (Result{false, true}));
  EXPECT_EQ(d.get_state()["silence_counter"], 32);
  EXPECT_EQ(d.get_state()["padding_counter"], 9);

  // Speech after the end: back in speech, counters cleared, speech_detected kept.
  EXPECT_EQ(d.process_frame(kSpeech), (Result{true, false}));
  EXPECT_EQ(d.get_state()["silence_counter"], 0);
  EXPECT_EQ(d.get_state()["padding_counter"], 0);
  EXPECT_TRUE(d.speech_detected);

  // A probability equal to the threshold is not speech.
  EXPECT_EQ(d.process_frame(frame(0.5f)).first, false);
}

TEST(VADDetector, PaddingZeroAndSilenceZero) {
  VADDetector d(echo_config({.silence_duration = 0.01, .speech_padding = 0.0}));
  EXPECT_EQ(d.config->silence_frames(), 0);
  d.process_frame(kSpeech);
  EXPECT_EQ(d.process_frame(kQuiet), (Result{false, true}));  // (P + 1)-th frame with S = 0

  VADDetector p(echo_config({.speech_padding = 0.0}));
  p.process_frame(kSpeech);
  p.process_frame(kQuiet);
  EXPECT_EQ(p.get_state()["silence_counter"], 1);  // straight to silence counting
  for (int i = 2; i < 31; ++i) p.process_frame(kQuiet);
  EXPECT_EQ(p.process_frame(kQuiet), (Result{false, true}));
}

TEST(VADDetector, ChunksAreCutIntoWholeFramesAndRemaindersIgnored) {
  VADDetector d(echo_config());
  EXPECT_EQ(d.process_audio(AudioSamples()), (Result{false, false}));
  EXPECT_EQ(d.process_audio(frame(0.9f, 511)), (Result{false, false}));
  EXPECT_FALSE(d.speech_detected);

  // 1100 samples: two frames judged (speech, then quiet), the last 76 ignored.
  std::vector<float> chunk(1100, 0.0f);
  chunk[0] = 0.9f;
  chunk[512] = 0.1f;
  chunk[1024] = 0.9f;  // in the ignored remainder
  EXPECT_EQ(d.process_audio(AudioSamples(std::move(chunk))), (Result{true, false}));
  EXPECT_EQ(d.get_state()["padding_counter"], 1);

  // A chunk with the end of speech and new speech after it: (true, true), in speech at the end.
  VADDetector e(echo_config({.silence_duration = 0.0, .speech_padding = 0.0}));
  std::vector<float> three(3 * 512, 0.0f);
  three[0] = 0.9f;
  three[512] = 0.1f;
  three[1024] = 0.9f;
  EXPECT_EQ(e.process_audio(AudioSamples(std::move(three))), (Result{true, true}));
  EXPECT_EQ(e.get_state()["silence_counter"], 0);
  EXPECT_EQ(e.get_state()["padding_counter"], 0);
}

TEST(VADDetector, ConfigurationChangesApplyFromTheNextFrame) {
  auto config = echo_config();
  VADDetector d(config);
  d.process_frame(kSpeech);
  for (int i = 0; i < 9; ++i) d.process_frame(kQuiet);
  config->silence_duration = 0.064;  // S = 2
  EXPECT_EQ(d.process_frame(kQuiet), (Result{false, false}));
  EXPECT_EQ(d.process_frame(kQuiet), (Result{false, true}));
  config->model_threshold = 0.95;
  EXPECT_EQ(d.process_frame(kSpeech).first, false);
  config->use_model = false;  // energy mode from now on
  EXPECT_EQ(d.process_frame(constant(0.5f, 512)).first, true);
  EXPECT_EQ(d.energy_history.size(), 1u);
}

TEST(VADDetector, EnergySmoothingOverTenFrames) {
  LogCapture log;
  VADDetector d;
  EXPECT_EQ(log.lines(),
            (std::vector<LogLine>{{Level::info,
                                   "VAD initialized with energy-based detection: threshold=0.01, "
                                   "silence_duration=1.0s, padding=0.3s"}}));
  EXPECT_EQ(d._calculate_energy(constant(0.5f, 512)), 0.5);
  EXPECT_EQ(d.process_frame(constant(0.5f, 512)), (Result{true, false}));
  for (int i = 1; i <= 9; ++i) {
    ASSERT_TRUE(d.process_frame(constant(0.0f, 512)).first) << i;
  }
  EXPECT_NEAR(d.energy_history.mean(), 0.05, 1e-15);
  EXPECT_FALSE(d.process_frame(constant(0.0f, 512)).first);  // the loud frame has left
  EXPECT_EQ(d.energy_history.size(), 10u);

  // A smoothed energy equal to the threshold is not speech.
  VADDetector eq(std::make_shared<VADConfig>(VADConfigFields{.energy_threshold = 0.5}));
  EXPECT_FALSE(eq.process_frame(constant(0.5f, 512)).first);

  // Integer and double frames are measured without overflow.
  EXPECT_EQ(d._calculate_energy(AudioSamples(std::vector<std::int16_t>(512, 32767))), 32767.0);
  EXPECT_EQ(d._calculate_energy(AudioSamples(std::vector<std::int32_t>(64, 1 << 30))),
            1073741824.0);
  EXPECT_EQ(d._calculate_energy(AudioSamples(std::vector<double>(3, -0.25))), 0.25);

  // reset: back to waiting with an empty history, and a debug line.
  LogCapture debug(Level::debug);
  d.reset();
  EXPECT_EQ(debug.lines(), (std::vector<LogLine>{{Level::debug, "VAD state reset"}}));
  EXPECT_EQ(d.get_state()["speech_detected"], false);
  EXPECT_TRUE(d.energy_history.empty());
  EXPECT_FALSE(d.process_frame(constant(0.001f, 512)).first);
  EXPECT_NEAR(d.energy_history.mean(), 0.001, 1e-9);
}

TEST(VADDetector, FallsBackToEnergyWhenTheModelCannotLoad) {
  LogCapture log;
  auto config = std::make_shared<VADConfig>(VADConfigFields{.use_model = true, .device = "cuda"});
  VADDetector d(config);
  EXPECT_FALSE(config->use_model);  // the caller's record changed too
  EXPECT_FALSE(d.vad_model);
  const auto lines = log.lines();
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0], (LogLine{Level::info,
                               "Loading Silero VAD model from torch hub (using local cache)..."}));
  const std::string prefix = "Failed to load Silero VAD model: ";
  ASSERT_EQ(lines[1].text.rfind(prefix, 0), 0u);
  const std::string cause = lines[1].text.substr(prefix.size());
  EXPECT_EQ(lines[1].level, Level::error);
  EXPECT_EQ(lines[2],
            (LogLine{Level::warning,
                     "Failed to load VAD model, falling back to energy-based VAD: " + cause}));
  EXPECT_EQ(lines[3], (LogLine{Level::info,
                               "VAD initialized with energy-based detection: threshold=0.01, "
                               "silence_duration=1.0s, padding=0.3s"}));
  // Energy mode for good, even if the caller asks for the model again.
  config->use_model = true;
  EXPECT_TRUE(d.process_frame(constant(0.5f, 512)).first);
  EXPECT_EQ(d.energy_history.size(), 1u);
}

TEST(VADDetector, ModelStartUpMessage) {
  LogCapture log;
  VADDetector d(std::make_shared<VADConfig>(
      VADConfigFields{.silence_duration = 0.75, .use_model = true, .model_threshold = 0.35}));
  EXPECT_EQ(log.texts().back(),
            "VAD initialized with model: silero-vad, threshold=0.35, silence_duration=0.75s, "
            "padding=0.3s");
}

TEST(VADDetector, BadConfigurationsThrowBeforeAnyFrame) {
  auto config = echo_config();
  VADDetector d(config);
  d.process_frame(kSpeech);
  config->frame_size = 0;
  try {
    d.process_audio(constant(0.1f, 1024));
    FAIL();
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(), "VADConfig: frame_size must be at least 1, got 0");
  }
  config->frame_size = 512;
  config->silence_duration = std::numeric_limits<double>::infinity();
  EXPECT_THROW(d.process_audio(frame(0.1f, 1024)), std::invalid_argument);
  EXPECT_EQ(d.padding_counter, 0);  // no frame of the failed chunks was judged
  EXPECT_EQ(d.silence_counter, 0);
}
