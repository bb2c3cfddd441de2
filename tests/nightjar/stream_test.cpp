// MoonshineStreamASR over the fake runtime: the stream state table and its failures.
#include <gtest/gtest.h>

#include "models/nightjar/moonshine_stream_asr.h"
#include "tests/nightjar/nightjar_fixture.h"
#include "tests/support/own_process.h"

using namespace models::nightjar;
using quern_test::Level;
using quern_test::LogLine;

class MoonshineStream : public quern_test::NightjarTest {
 protected:
  // The calls made on the transcriber since the last clear, without its "Tn." name.
  std::vector<std::string> stream_calls() {
    std::vector<std::string> out;
    for (const auto& c : fake_moonshine::calls()) {
      if (c[0] == 'T' && c.find('.') != std::string::npos && c.rfind("Transcriber", 0) != 0) {
        out.push_back(c.substr(c.find('.') + 1));
      }
    }
    fake_moonshine::reset();
    return out;
  }
};

QUERN_OWN_PROCESS_TEST_F(MoonshineStream, StateTable) {
  MoonshineStreamASR asr(
      {.model = "stream/table", .language = "en", .update_interval = 9.0, .sample_rate = 16000});
  EXPECT_EQ(std::get<quern_config::ModelType>(asr.model_type), quern_config::ModelType::MOONSHINE);
  EXPECT_EQ(log.texts(), (std::vector<std::string>{"Loading Moonshine model: stream/table",
                                                   "Moonshine model loaded: stream/table"}));
  fake_moonshine::reset();

  // idle, not final: start then add_audio.
  EXPECT_TRUE(asr.stream_generate(chunk(1600)).empty());
  EXPECT_EQ(stream_calls(), (std::vector<std::string>{"start()", "add_audio(1600, 16000)"}));
  EXPECT_TRUE(asr._streaming_started);
  // streaming, not final: add_audio only; an empty chunk adds nothing.
  asr.stream_generate(chunk(800));
  asr.stream_generate(chunk(0));
  EXPECT_EQ(stream_calls(), std::vector<std::string>{"add_audio(800, 16000)"});
  // streaming, final, empty: stop.
  asr.stream_generate(chunk(0), true);
  EXPECT_EQ(stream_calls(), std::vector<std::string>{"stop()"});
  EXPECT_FALSE(asr._streaming_started);
  // idle, final: start, add_audio, stop.
  asr.stream_generate(chunk(10), true);
  EXPECT_EQ(stream_calls(),
            (std::vector<std::string>{"start()", "add_audio(10, 16000)", "stop()"}));
  // idle, empty, not final: start only.
  asr.stream_generate(chunk(0));
  EXPECT_EQ(stream_calls(), std::vector<std::string>{"start()"});
  // reset while streaming stops; reset while idle calls nothing.
  asr.reset();
  EXPECT_EQ(stream_calls(), std::vector<std::string>{"stop()"});
  EXPECT_FALSE(asr._streaming_started);
  asr.reset();
  EXPECT_TRUE(stream_calls().empty());
}

QUERN_OWN_PROCESS_TEST_F(MoonshineStream, TimingLineAboveOneMillisecondOnly) {
  MoonshineStreamASR asr({.model = "stream/timing"});
  double step = 0.0005;  // start + add_audio: 1.0 ms in all
  fake_moonshine::set_hook([&](const std::string&) { clock.advance(step); });
  log.clear();
  asr.stream_generate(chunk(1600));
  EXPECT_TRUE(log.lines().empty());
  step = 0.0011;
  asr.stream_generate(chunk(1600));
  EXPECT_EQ(log.lines(), (std::vector<LogLine>{{Level::debug,
                                                "MoonshineStreamASR stream_generate time=1.1ms, "
                                                "audio_len=1600"}}));
}

QUERN_OWN_PROCESS_TEST_F(MoonshineStream, FailuresKeepTheFlagWhereTheyHappened) {
  MoonshineStreamASR asr({.model = "stream/fail"});
  log.clear();
  fake_moonshine::fail("start", "device busy");
  try {
    asr.stream_generate(chunk(100));
    FAIL();
  } catch (const MoonshineRecognitionError& e) {
    // "Moonshine流式识别失败: "
    EXPECT_EQ(std::string(e.what()),
              "Moonshine\xe6\xb5\x81\xe5\xbc\x8f\xe8\xaf\x86\xe5\x88\xab\xe5\xa4\xb1\xe8\xb4\xa5: "
              "device busy");
    EXPECT_EQ(quern_test::nested_message(e), "device busy");
  }
  EXPECT_FALSE(asr._streaming_started);
  EXPECT_EQ(
      log.lines(),
      (std::vector<LogLine>{{Level::error, "Error in Moonshine stream_generate: device busy"}}));

  fake_moonshine::fail("add_audio", "overflow");
  EXPECT_THROW(asr.stream_generate(chunk(100)), MoonshineRecognitionError);
  EXPECT_TRUE(asr._streaming_started);

  fake_moonshine::fail("stop", "cannot close");
  EXPECT_THROW(asr.stream_generate(chunk(0), true), MoonshineRecognitionError);
  EXPECT_TRUE(asr._streaming_started);

  // reset swallows a failing stop of any kind and clears the flag.
  log.clear();
  fake_moonshine::fail_oddly("stop");
  EXPECT_NO_THROW(asr.reset());
  EXPECT_FALSE(asr._streaming_started);
  EXPECT_TRUE(log.lines().empty());
}

QUERN_OWN_PROCESS_TEST_F(MoonshineStream, TranscribeUsesTheWholeUtteranceCallAndReportsZh) {
  MoonshineStreamASR asr({.model = "stream/transcribe", .language = "ja"});
  asr.stream_generate(chunk(100));
  fake_moonshine::reset();
  EXPECT_EQ(asr.transcribe(chunk(400), "en")[0]["text"], "fake transcript");
  EXPECT_TRUE(asr._streaming_started);  // the stream is left alone
  EXPECT_EQ(log.lines().back().text, "Moonshine transcribe time=0.0ms, audio_len=400");

  log.clear();
  fake_moonshine::fail("transcribe_without_streaming", "timeout");
  try {
    asr.transcribe(chunk(400), "en");
    FAIL();
  } catch (const MoonshineRecognitionError& e) {
    // "Moonshine识别失败: "
    EXPECT_EQ(std::string(e.what()),
              "Moonshine\xe8\xaf\x86\xe5\x88\xab\xe5\xa4\xb1\xe8\xb4\xa5: timeout, language: zh");
  }
  EXPECT_EQ(log.lines(),
            (std::vector<LogLine>{
                {Level::error, "Error in Moonshine transcribe: timeout, language: zh"}}));
  fake_moonshine::set_lines({});
  EXPECT_TRUE(asr.transcribe(chunk(400)).empty());
}

QUERN_OWN_PROCESS_TEST_F(MoonshineStream, EqualKeysShareOneStreamWithSerialisedCalls) {
  MoonshineStreamASR a({.model = "stream/shared"});
  MoonshineStreamASR b({.model = "stream/shared"});
  ASSERT_EQ(a._transcriber, b._transcriber);
  // The fake aborts if two calls reach one transcriber at once.
  std::thread t1([&] {
    for (int i = 0; i < 2000; ++i) a.stream_generate(chunk(16), i % 50 == 49);
  });
  std::thread t2([&] {
    for (int i = 0; i < 2000; ++i) b.stream_generate(chunk(16), i % 50 == 49);
  });
  t1.join();
  t2.join();
  EXPECT_FALSE(a._streaming_started);
  EXPECT_FALSE(b._streaming_started);
}
