// A two-pass session on the Moonshine family, with the fake runtime present.
#include <gtest/gtest.h>

#include "models/dualis/dualis.h"
#include "models/nightjar/moonshine_offline_asr.h"
#include "models/nightjar/moonshine_stream_asr.h"
#include "tests/nightjar/nightjar_fixture.h"
#include "tests/support/own_process.h"

using models::dualis::Dualis;
using namespace models::nightjar;

class DualisMoonshine : public quern_test::NightjarTest {};

QUERN_OWN_PROCESS_TEST_F(DualisMoonshine, SessionEndToEndTakesTheTextFromTheOfflinePass) {
  Dualis d({.model_type = "moonshine",
            .stream_model = "ms/stream",
            .offline_model = "ms/offline",
            .sample_rate = 8000,
            .language = "en"});
  d.load();
  EXPECT_EQ(
      log.texts(),
      (std::vector<std::string>{
          "Loading streaming ASR model for 2-pass", "Loading Moonshine model: ms/stream",
          "Moonshine model loaded: ms/stream", "Loading offline ASR model for 2-pass",
          "Loading Moonshine offline model: ms/offline",
          "Moonshine offline model loaded: ms/offline", "Loading punctuation model for 2-pass"}));
  auto* stream = dynamic_cast<MoonshineStreamASR*>(d.stream_asr.get());
  auto* offline = dynamic_cast<MoonshineOfflineASR*>(d.offline_asr.get());
  ASSERT_TRUE(stream && offline);
  EXPECT_EQ(stream->language, "zh");
  EXPECT_EQ(stream->sample_rate, 16000);
  EXPECT_EQ(stream->update_interval, 0.3);
  EXPECT_EQ(offline->language, "zh");
  EXPECT_EQ(offline->sample_rate, 16000);

  fake_moonshine::set_lines({"hello", "world"});
  for (int i = 0; i < 5; ++i) {
    auto [partials, needs] = d.stream_generate(chunk(1600), i == 4);
    EXPECT_TRUE(partials.empty());
    EXPECT_FALSE(needs);
  }
  EXPECT_EQ(d.finalize(), "hello world.");
  EXPECT_FALSE(stream->_streaming_started);
}

QUERN_OWN_PROCESS_TEST_F(DualisMoonshine, NoTextMeansAnEmptyFinalText) {
  Dualis d({.model_type = "moonshine", .offline_model = "ms/silent"});
  d.stream_generate(chunk(1600));
  fake_moonshine::set_lines({});
  log.clear();
  EXPECT_EQ(d.finalize(), "");
  EXPECT_EQ(log.count("offline_refine total time=0.0ms (transcribe=0.0ms, punc=0.0ms)"), 1);
  EXPECT_EQ(stand_in::journal_of("PunctuationModel").back().op, "load");  // never asked

  // Without the offline pass the family yields no text at all.
  Dualis one({.model_type = "moonshine", .enable_2pass = false});
  one.stream_generate(chunk(10));
  EXPECT_FALSE(one.offline_asr);
  EXPECT_EQ(one.finalize(), "");
}
