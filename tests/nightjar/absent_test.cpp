// The Moonshine engines and a Moonshine-family session without the runtime. This program does
// not link the runtime adapter, so libnightjar finds none.
#include <gtest/gtest.h>

#include "models/dualis/dualis.h"
#include "models/nightjar/availability.h"
#include "models/nightjar/moonshine_offline_asr.h"
#include "models/nightjar/moonshine_stream_asr.h"
#include "testing/stand_ins/stand_in.h"
#include "tests/support/log_capture.h"
#include "tests/support/own_process.h"

using models::dualis::Dualis;
using namespace models::nightjar;
using quern_test::Level;
using quern_test::LogCapture;
using quern_test::LogLine;

namespace {

utils::AudioSamples chunk(std::size_t n) {
  return utils::AudioSamples(std::vector<float>(n, 0.1f));
}

const LogLine kWarning{Level::warning,
                       "moonshine-voice not installed. Install with: pip install moonshine-voice"};

}  // namespace

// Tests that watch the flag being decided run in their own process: each sees its first use.
QUERN_OWN_PROCESS_TEST(MoonshineAbsent, FlagIsDecidedOnceWithOneWarning) {
  LogCapture log;
  EXPECT_FALSE(MOONSHINE_AVAILABLE);
  EXPECT_FALSE(MOONSHINE_AVAILABLE);
  MoonshineOfflineASR a;
  EXPECT_EQ(log.lines(), std::vector<LogLine>{kWarning});
}

TEST(MoonshineAbsent, EnginesConstructButNeitherLoadNorRecognise) {
  stand_in::clear();
  MoonshineOfflineASR offline;
  MoonshineStreamASR stream;
  LogCapture log;
  EXPECT_EQ(offline._transcriber, nullptr);
  EXPECT_FALSE(offline._is_loaded);
  for (models::BaseASR* e : std::initializer_list<models::BaseASR*>{&offline, &stream}) {
    try {
      e->load();
      FAIL() << "loaded";
    } catch (const MoonshineUnavailableError& err) {
      EXPECT_STREQ(err.what(), "moonshine-voice not installed");
    }
    EXPECT_TRUE(e->transcribe(chunk(100)).empty());
  }
  EXPECT_THROW(offline._load_model(), MoonshineUnavailableError);
  EXPECT_TRUE(stream.stream_generate(chunk(100), true).empty());
  EXPECT_FALSE(stream._streaming_started);
  stream.reset();
  EXPECT_TRUE(log.lines().empty());
  EXPECT_TRUE(offline.stream_generate(chunk(100)).empty());
  EXPECT_EQ(log.lines(), (std::vector<LogLine>{{Level::error,
                                                "Moonshine stream_generate is not implemented for "
                                                "offline model"}}));
  EXPECT_TRUE(stand_in::journal_of("normalize_audio").empty());
}

QUERN_OWN_PROCESS_TEST(MoonshineAbsent, SessionLoadsFailTwiceThenYieldNoText) {
  stand_in::clear();
  LogCapture log(Level::info);
  Dualis d({.model_type = "moonshine"});
  EXPECT_THROW(d.load(), MoonshineUnavailableError);
  EXPECT_TRUE(d.stream_asr);
  EXPECT_FALSE(d.offline_asr);
  EXPECT_THROW(d.load(), MoonshineUnavailableError);
  EXPECT_TRUE(d.offline_asr);
  // The runtime is looked for on first use: here, the first engine's construction.
  EXPECT_EQ(log.texts(),
            (std::vector<std::string>{"Loading streaming ASR model for 2-pass", kWarning.text,
                                      "Loading offline ASR model for 2-pass"}));
  d.load();  // the punctuation engine comes last
  EXPECT_TRUE(d.punc_model);

  auto [partials, needs] = d.stream_generate(chunk(1600));
  EXPECT_TRUE(partials.empty());
  EXPECT_FALSE(needs);
  EXPECT_EQ(d.finalize(), "");
}
