// MoonshineOfflineASR over the fake runtime: loading once per key, transcripts, failures.
#include <gtest/gtest.h>

#include <barrier>
#include <thread>

#include "models/nightjar/availability.h"
#include "models/nightjar/moonshine_offline_asr.h"
#include "models/nightjar/moonshine_stream_asr.h"
#include "tests/nightjar/nightjar_fixture.h"
#include "tests/support/own_process.h"

using namespace models::nightjar;
using quern_test::Level;
using quern_test::LogLine;

class MoonshineOffline : public quern_test::NightjarTest {};

QUERN_OWN_PROCESS_TEST_F(MoonshineOffline, EqualKeysShareOneTranscriberLoadedOnce) {
  ASSERT_TRUE(MOONSHINE_AVAILABLE);
  MoonshineOfflineASR a({.model = "offline/share"});
  MoonshineOfflineASR b({.model = "offline/share"});
  EXPECT_EQ(a._transcriber, b._transcriber);
  EXPECT_TRUE(a._is_loaded);
  EXPECT_EQ(fake_moonshine::calls(), (std::vector<std::string>{"get_model_for_language(zh)",
                                                               "Transcriber(/fake/zh.bin, base)"}));
  EXPECT_EQ(log.lines(),
            (std::vector<LogLine>{{Level::info, "Loading Moonshine offline model: offline/share"},
                                  {Level::info, "Moonshine offline model loaded: offline/share"}}));
  EXPECT_EQ(a.model, "offline/share");
  EXPECT_EQ(a.revision, "");
  EXPECT_EQ(std::get<std::string>(a.model_type), "moonshine");
  EXPECT_EQ(MoonshineOfflineASR::cache()._model_cache.count("offline/share_cpu_zh"), 1u);

  // load after construction does nothing.
  log.clear();
  a.load();
  EXPECT_TRUE(log.lines().empty());
  EXPECT_EQ(fake_moonshine::calls().size(), 2u);

  // Model name and device separate entries; the language alone picks the runtime model.
  MoonshineOfflineASR c({.model = "offline/share", .device = "cuda"});
  MoonshineOfflineASR e({.model = "offline/other"});
  EXPECT_NE(c._transcriber, a._transcriber);
  EXPECT_NE(e._transcriber, a._transcriber);
  EXPECT_EQ(fake_moonshine::calls().back(), "Transcriber(/fake/zh.bin, base)");
  // Streaming engines never share with offline engines.
  MoonshineStreamASR s({.model = "offline/share"});
  EXPECT_NE(s._transcriber, a._transcriber);
}

QUERN_OWN_PROCESS_TEST_F(MoonshineOffline, ConcurrentConstructionLoadsEachKeyOnce) {
  fake_moonshine::set_hook([](const std::string& op) {
    if (op == "Transcriber") std::this_thread::sleep_for(std::chrono::milliseconds(20));
  });
  constexpr int kThreads = 16;
  std::barrier start(kThreads);
  std::vector<std::unique_ptr<MoonshineOfflineASR>> engines(kThreads);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] {
      start.arrive_and_wait();
      engines[i] = std::make_unique<MoonshineOfflineASR>(
          MoonshineOfflineASROptions{.model = i % 2 ? "concurrent/a" : "concurrent/b"});
    });
  }
  for (auto& t : threads) t.join();
  int creations = 0;
  for (const auto& c : fake_moonshine::calls()) creations += c.rfind("Transcriber(", 0) == 0;
  EXPECT_EQ(creations, 2);
  for (int i = 2; i < kThreads; ++i)
    EXPECT_EQ(engines[i]->_transcriber, engines[i % 2]->_transcriber);
}

QUERN_OWN_PROCESS_TEST_F(MoonshineOffline, FailedLoadStoresNothingAndIsRetried) {
  fake_moonshine::fail("get_model_for_language", "no model for zh");
  try {
    MoonshineOfflineASR a({.model = "offline/retry"});
    FAIL() << "constructed";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "no model for zh");
  }
  EXPECT_EQ(log.texts(),
            std::vector<std::string>{"Loading Moonshine offline model: offline/retry"});
  EXPECT_EQ(MoonshineOfflineASR::cache()._model_cache.count("offline/retry_cpu_zh"), 0u);

  fake_moonshine::set_model_values({"/a", "b", "c"});
  EXPECT_THROW(MoonshineOfflineASR({.model = "offline/retry"}), std::runtime_error);
  fake_moonshine::set_model_values({});
  fake_moonshine::fail("Transcriber", "out of memory");
  EXPECT_THROW(MoonshineOfflineASR({.model = "offline/retry"}), std::runtime_error);

  MoonshineOfflineASR ok({.model = "offline/retry"});
  EXPECT_NE(ok._transcriber, nullptr);
  EXPECT_TRUE(MoonshineOfflineASR::cache()._cache_lock.try_lock());
  MoonshineOfflineASR::cache()._cache_lock.unlock();
}

QUERN_OWN_PROCESS_TEST_F(MoonshineOffline, TranscriptLinesAreJoinedWithOneSpace) {
  MoonshineOfflineASR asr({.model = "offline/lines", .sample_rate = 8000});
  fake_moonshine::set_lines({"a", "", "b"});
  auto r = asr.transcribe(utils::AudioSamples(std::vector<std::int16_t>(16000, 100)), "en");
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].dump(), R"({"text":"a  b"})");
  EXPECT_TRUE(fake_moonshine::calls().back().ends_with(
      ".transcribe_without_streaming(16000, sample_rate=8000, flags=0)"));
  // The samples were normalised to float32 first.
  auto norm = stand_in::journal_of("normalize_audio").back();
  EXPECT_EQ(norm.arg("target_dtype"), "float32");
  EXPECT_EQ(log.lines().back(),
            (LogLine{Level::debug, "MoonshineOfflineASR transcribe time=0.0ms, audio_len=16000"}));

  fake_moonshine::set_lines({});
  EXPECT_TRUE(asr.transcribe(chunk(10)).empty());
  fake_moonshine::set_lines({"", ""});
  EXPECT_EQ(asr.transcribe(chunk(10))[0]["text"], " ");  // nothing trimmed

  fake_moonshine::set_hook([&](const std::string&) { clock.advance(0.1532); });
  fake_moonshine::set_lines({"x"});
  asr.transcribe(chunk(16000));
  EXPECT_EQ(log.lines().back().text,
            "MoonshineOfflineASR transcribe time=153.2ms, audio_len=16000");
}

QUERN_OWN_PROCESS_TEST_F(MoonshineOffline, FailuresLogOnceAndNestTheCause) {
  MoonshineOfflineASR asr({.model = "offline/fail"});
  log.clear();
  fake_moonshine::fail("transcribe_without_streaming", "decoder exploded");
  try {
    asr.transcribe(chunk(100));
    FAIL() << "no error";
  } catch (const MoonshineRecognitionError& e) {
    // "Moonshine离线识别失败: " in UTF-8.
    EXPECT_EQ(std::string(e.what()),
              "Moonshine\xe7\xa6\xbb\xe7\xba\xbf\xe8\xaf\x86\xe5\x88\xab\xe5\xa4\xb1\xe8\xb4\xa5: "
              "decoder exploded");
    EXPECT_EQ(quern_test::nested_message(e), "decoder exploded");
  }
  EXPECT_EQ(log.at_least(Level::info),
            (std::vector<LogLine>{
                {Level::error, "Error in Moonshine offline transcribe: decoder exploded"}}));

  fake_moonshine::fail_oddly("transcribe_without_streaming");
  EXPECT_THROW(asr.transcribe(chunk(100)), MoonshineRecognitionError);

  // normalize_audio failures pass through untouched and unlogged.
  log.clear();
  stand_in::once("normalize_audio", "call", {.error = "bad dtype"});
  try {
    asr.transcribe(chunk(100));
  } catch (const MoonshineRecognitionError&) {
    FAIL() << "wrapped";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "bad dtype");
  }
  EXPECT_TRUE(log.at_least(Level::info).empty());
}

QUERN_OWN_PROCESS_TEST_F(MoonshineOffline, StreamGenerateIsNotAStreamingEngine) {
  MoonshineOfflineASR asr({.model = "offline/stream"});
  log.clear();
  for (bool is_final : {false, true}) {
    auto r = asr.stream_generate(chunk(100), is_final, "en");
    EXPECT_EQ(r[0]["text"], "fake transcript");
  }
  EXPECT_EQ(log.count("Moonshine stream_generate is not implemented for offline model"), 2);
  asr.reset();
  EXPECT_NE(asr._transcriber, nullptr);
}
