// The streaming pass and the finalisation decision.
#include <gtest/gtest.h>

#include "tests/dualis/dualis_fixture.h"

using models::dualis::Dualis;
using quern_test::Level;
using quern_test::LogLine;
using Decision = std::pair<bool, std::string>;

class DualisStream : public quern_test::DualisTest {};

TEST_F(DualisStream, DecisionTableInOrder) {
  Dualis d({.max_audio_samples = 3200});
  EXPECT_EQ(d.check_finalization_needed(), (Decision{false, "empty_buffer"}));

  auto [results, needs] = d.stream_generate(chunk(1600));
  EXPECT_FALSE(needs);
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0]["text"], "[stand-in ParaformerStreamASR: 1600 samples]");
  EXPECT_EQ(d.check_finalization_needed(), (Decision{false, ""}));

  clock.advance(2.9);
  EXPECT_EQ(d.check_finalization_needed(), (Decision{false, ""}));
  clock.advance(0.6);
  log.clear();
  EXPECT_EQ(d.check_finalization_needed(), (Decision{true, "silence_timeout(3.5s>=3.0s)"}));
  EXPECT_EQ(log.lines(),
            (std::vector<LogLine>{
                {Level::info, "check_finalization_needed: silence_timeout(3.5s>=3.0s)"}}));

  // The size limit wins over the timeout, and is reported with the current counts each time.
  d.append_audio(chunk(1600));
  clock.advance(10);
  EXPECT_EQ(d.check_finalization_needed(), (Decision{true, "max_samples_reached(3200>=3200)"}));
  d.append_audio(chunk(5));
  EXPECT_EQ(d.check_finalization_needed(), (Decision{true, "max_samples_reached(3205>=3200)"}));

  d.finalize();
  EXPECT_EQ(d.check_finalization_needed(), (Decision{false, "already_finalized"}));
  d.clear_audio_buffer();
  EXPECT_EQ(d.check_finalization_needed(), (Decision{false, "already_finalized"}));
  auto after = d.stream_generate(chunk(1600));
  EXPECT_FALSE(after.second) << "finalised utterances report false while still buffering";
  EXPECT_EQ(d.get_audio_buffer_length(), 1600);
}

TEST_F(DualisStream, LimitsAtTheirEdges) {
  // Exactly at the sample limit.
  Dualis d;
  d.append_audio(chunk(478400));
  log.clear();
  EXPECT_TRUE(d.stream_generate(chunk(1600)).second);
  EXPECT_EQ(log.count("check_finalization_needed: max_samples_reached(480000>=480000)"), 1);
  EXPECT_EQ(d.get_audio_buffer_length(), 480000);

  // An empty buffer answers first, even with a limit of 0 and a long silence.
  Dualis zero({.max_audio_samples = 0});
  zero.append_audio(chunk(0));
  clock.advance(100);
  EXPECT_EQ(zero.check_finalization_needed(), (Decision{false, "empty_buffer"}));
  zero.append_audio(chunk(7));
  EXPECT_EQ(zero.check_finalization_needed(), (Decision{true, "max_samples_reached(7>=0)"}));

  // A timeout of 0 finalises every chunk below the size limit.
  Dualis now({.max_silence_duration = 0.0});
  EXPECT_TRUE(now.stream_generate(chunk(1600)).second);
  EXPECT_EQ(now.check_finalization_needed(), (Decision{true, "silence_timeout(0.0s>=0.0s)"}));

  // Odd timeouts print in their shortest form.
  Dualis odd({.max_silence_duration = 0.75});
  odd.append_audio(chunk(1));
  clock.advance(0.75);
  EXPECT_EQ(odd.check_finalization_needed(), (Decision{true, "silence_timeout(0.8s>=0.75s)"}));

  // is_final alone does not ask for finalisation.
  Dualis fin;
  EXPECT_FALSE(fin.stream_generate(chunk(1600), true).second);
  EXPECT_EQ(stand_in::journal_of("ParaformerStreamASR").back().arg("is_final"), "true");
}

TEST_F(DualisStream, ClockAtZeroMeansNoChunkYet) {
  clock.set(0.0);
  Dualis d({.max_silence_duration = 0.0});
  d.append_audio(chunk(10));  // arrives at time 0.0, which reads as "never"
  EXPECT_EQ(d.check_finalization_needed(), (Decision{false, ""}));
}

TEST_F(DualisStream, ChunkIsBufferedEvenWhenTheEngineFails) {
  Dualis d;
  stand_in::once("ParaformerStreamASR", "stream_generate", {.error = "engine crashed"});
  EXPECT_THROW(d.stream_generate(chunk(1600)), std::runtime_error);
  EXPECT_EQ(d.get_audio_buffer_length(), 1600);

  // A failing load buffers nothing.
  Dualis e;
  stand_in::once("ParaformerStreamASR", "construct", {.error = "no model"});
  EXPECT_THROW(e.stream_generate(chunk(1600)), std::runtime_error);
  EXPECT_EQ(e.get_audio_buffer_length(), 0);
}

TEST_F(DualisStream, HotwordChangesReachTheEngineBeforeTheChunk) {
  Dualis d({.hotwords = "one"});
  d.stream_generate(chunk(10));
  d.set_hotwords({"two", "three"});
  stand_in::clear_journal();
  d.stream_generate(chunk(20), false, "en");
  std::vector<std::string> calls;
  for (const auto& c : stand_in::journal()) calls.push_back(c.engine + "." + c.op);
  EXPECT_EQ(calls, (std::vector<std::string>{"ParaformerStreamASR.hotwords",
                                             "ParaformerOfflineASR.hotwords",
                                             "ParaformerStreamASR.stream_generate"}));
  EXPECT_EQ(stand_in::journal()[0].arg("hotwords"), "['two', 'three']");
  EXPECT_EQ(stand_in::journal()[2].arg("language"), "en");
}

TEST_F(DualisStream, TimingLineOnlyForSlowEngineCalls) {
  Dualis d;
  d.load();
  stand_in::once("ParaformerStreamASR", "stream_generate", {.elapsed = 0.0008});
  log.clear();
  d.stream_generate(chunk(1600));
  EXPECT_EQ(log.count("Audio buffer size: 1, total samples: 1600"), 1);
  for (const auto& l : log.texts())
    EXPECT_EQ(l.find("Dualis stream_generate time="), std::string::npos);

  stand_in::once("ParaformerStreamASR", "stream_generate", {.elapsed = 0.01234});
  d.stream_generate(chunk(1600));
  EXPECT_EQ(log.lines().back(),
            (LogLine{Level::debug, "Dualis stream_generate time=12.3ms, len_audio=1600"}));
}

TEST_F(DualisStream, WithoutAStreamingEngineChunksAreOnlyBuffered) {
  stand_in::on("ParaformerStreamASR", "create", {.yields_none = true});
  Dualis d({.max_audio_samples = 10});
  for (int i = 0; i < 3; ++i) {
    auto [results, needs] = d.stream_generate(chunk(100));
    EXPECT_TRUE(results.empty());
    EXPECT_FALSE(needs);  // no decision on this path, though over the limit
  }
  EXPECT_EQ(d.get_audio_buffer_length(), 300);
  EXPECT_EQ(log.count("stream_generate: stream_asr is not loaded, buffering audio for offline "
                      "processing"),
            3);
  // The host can still poll and finalise.
  EXPECT_TRUE(d.check_finalization_needed().first);
  EXPECT_FALSE(d.finalize().empty());
}
