// The offline second pass and finalize.
#include <gtest/gtest.h>

#include <limits>

#include "tests/dualis/dualis_fixture.h"

using models::ResultList;
using models::dualis::Dualis;
using quern_test::Level;
using quern_test::LogLine;

class DualisRefine : public quern_test::DualisTest {};

TEST_F(DualisRefine, FullSessionLogsExactlyTheseLines) {
  Dualis d({.hotwords = "hot"});
  d.load();
  stand_in::on("ParaformerStreamASR", "stream_generate", {.elapsed = 0.002});
  d.stream_generate(chunk(1600, 0.5f));
  stand_in::on("normalize_audio", "call", {.elapsed = 0.0001});
  stand_in::on("ParaformerOfflineASR", "transcribe",
               {.elapsed = 0.1532, .results = ResultList{{{"text", "ni hao"}}}});
  stand_in::on("PunctuationModel", "generate", {.elapsed = 0.0201, .text = "ni hao."});
  log.clear();
  EXPECT_EQ(d.finalize(), "ni hao.");
  EXPECT_EQ(
      log.lines(),
      (std::vector<LogLine>{
          {Level::debug, "offline_refine: audio shape=(1600,), dtype=float32"},
          {Level::debug,
           "offline_refine: audio stats - min=0.500000, max=0.500000, mean=0.500000, "
           "rms=0.500000"},
          {Level::warning, "offline_refine: Audio dtype is float32, normalizing..."},
          {Level::debug, "offline_refine: normalize_audio time=0.1ms"},
          {Level::debug, "offline_refine: Calling offline_asr.transcribe..."},
          {Level::debug, "offline_refine: offline_asr.transcribe time=153.2ms, text='ni hao'"},
          {Level::debug, "offline_refine: punctuation time=20.1ms, text='ni hao.'"},
          {Level::info, "offline_refine total time=173.4ms (transcribe=153.2ms, punc=20.1ms)"},
          {Level::info, "Dualis finalize total time=173.4ms"}}));
  // finalize always refines in Chinese, and the engine saw normalize_audio's output.
  auto transcribe = stand_in::journal_of("ParaformerOfflineASR").back();
  EXPECT_EQ(transcribe.op, "transcribe");
  EXPECT_EQ(transcribe.arg("language"), "zh");
  EXPECT_EQ(stand_in::journal_of("PunctuationModel").back().arg("language"), "zh");
  EXPECT_EQ(stand_in::journal_of("ParaformerOfflineASR").end()[-2].str(),
            "ParaformerOfflineASR.hotwords(hotwords=['hot'])");

  // Once per utterance.
  log.clear();
  EXPECT_EQ(d.finalize(), "");
  EXPECT_EQ(log.lines(),
            (std::vector<LogLine>{
                {Level::warning, "finalize: Already finalized, returning empty string"}}));
  d.reset();
  d.stream_generate(chunk(1600));
  EXPECT_EQ(d.finalize(), "ni hao.");
}

TEST_F(DualisRefine, SilenceWarningAndFloat64Path) {
  Dualis d({.punc_model = ""});
  d.append_audio(utils::AudioSamples(std::vector<double>(1600, 0.0)));
  d.offline_refine("en");
  EXPECT_EQ(log.count("offline_refine: Audio appears to be silent (RMS=0.000000)"), 1);
  EXPECT_EQ(log.count("offline_refine: Audio already float64, skipping normalization"), 1);
  EXPECT_TRUE(stand_in::journal_of("normalize_audio").empty());
  auto call = stand_in::journal_of("ParaformerOfflineASR").back();
  EXPECT_EQ(call.arg("language"), "en");
  EXPECT_EQ(call.arg("audio"), stand_in::describe(d.get_audio_buffer()));  // unchanged

  // An RMS of exactly 0.001 is not silent, whatever the buffer length.
  for (std::size_t n : {1u, 1600u, 480000u}) {
    Dualis q({.punc_model = ""});
    q.append_audio(utils::AudioSamples(std::vector<double>(n, 0.001)));
    log.clear();
    q.offline_refine();
    EXPECT_EQ(log.count("offline_refine: Audio appears to be silent (RMS=0.001000)"), 0) << n;
  }
  Dualis quiet({.punc_model = ""});
  quiet.append_audio(utils::AudioSamples(std::vector<double>(100, 0.000999)));
  log.clear();
  quiet.offline_refine();
  EXPECT_EQ(log.count("offline_refine: Audio appears to be silent (RMS=0.000999)"), 1);
}

TEST_F(DualisRefine, StatisticsOfIntegerAndSignedSamples) {
  Dualis d({.punc_model = ""});
  d.append_audio(utils::AudioSamples::copy_of<std::int32_t>({2147483647, -2147483647, 1, -1}));
  d.offline_refine();
  EXPECT_EQ(log.count("offline_refine: audio stats - min=1.000000, max=2147483647.000000, "
                      "mean=0.000000, rms=1518500249.280918"),
            1);
  EXPECT_EQ(log.count("offline_refine: Audio dtype is int32, normalizing..."), 1);
}

TEST_F(DualisRefine, EmptyTextsSkipPunctuation) {
  Dualis d;
  d.append_audio(chunk(100));
  for (const ResultList& results :
       {ResultList{}, ResultList{{{"confidence", 0.5}}}, ResultList{{{"text", ""}}}}) {
    stand_in::once("ParaformerOfflineASR", "transcribe", {.results = results});
    log.clear();
    EXPECT_EQ(d.offline_refine(), "");
    EXPECT_TRUE(stand_in::journal_of("PunctuationModel").back().op != "generate");
    EXPECT_EQ(log.lines().back().text.find("ms, punc=0.0ms)") != std::string::npos, true);
  }
  // Punctuation that returns nothing reports 0.0 too.
  stand_in::once("PunctuationModel", "generate", {.elapsed = 0.5, .text = ""});
  stand_in::once("ParaformerOfflineASR", "transcribe", {.results = ResultList{{{"text", "x"}}}});
  EXPECT_EQ(d.offline_refine(), "");
  EXPECT_NE(log.lines().back().text.find("ms, punc=0.0ms)"), std::string::npos);
}

TEST_F(DualisRefine, NothingToRefine) {
  // Two-pass off: no engine loaded, no buffer read; finalize still marks and times.
  Dualis off({.enable_2pass = false});
  off.append_audio(chunk(100));
  EXPECT_EQ(off.finalize(), "");
  EXPECT_TRUE(off._is_finalized);
  EXPECT_EQ(log.texts(), (std::vector<std::string>{
                             "Audio buffer size: 1, total samples: 100",
                             "offline_refine: enable_2pass is False, skipping offline processing",
                             "Dualis finalize total time=0.0ms"}));
  EXPECT_TRUE(stand_in::journal().empty());

  // Empty buffer: load has run, transcribe has not.
  Dualis empty;
  log.clear();
  EXPECT_EQ(empty.offline_refine(), "");
  EXPECT_TRUE(empty.stream_asr && empty.offline_asr && empty.punc_model);
  EXPECT_EQ(log.texts().back(), "offline_refine: Empty audio buffer");
  EXPECT_EQ(ops_of("ParaformerOfflineASR"),
            (std::vector<std::string>{"create", "construct", "load"}));

  // Offline factory yields nothing: the error line, no text.
  stand_in::on("ParaformerOfflineASR", "create", {.yields_none = true});
  Dualis absent({.punc_model = ""});
  absent.append_audio(chunk(100));
  EXPECT_EQ(absent.offline_refine(), "");
  EXPECT_EQ(log.lines().back(),
            (LogLine{Level::error, "offline_refine: offline_asr is not loaded"}));
}

TEST_F(DualisRefine, FailuresLeaveTheUtteranceFinalisedAndTheBufferIntact) {
  Dualis d;
  d.stream_generate(chunk(1600));
  stand_in::once("ParaformerOfflineASR", "transcribe", {.error = "decoder failed"});
  EXPECT_THROW(d.finalize(), std::runtime_error);
  EXPECT_TRUE(d._is_finalized);
  EXPECT_EQ(d.finalize(), "");
  EXPECT_EQ(d.get_audio_buffer_length(), 1600);
  EXPECT_FALSE(d.offline_refine().empty()) << "a direct refine can try again";

  stand_in::once("normalize_audio", "call", {.error = "bad samples"});
  EXPECT_THROW(d.offline_refine(), std::runtime_error);
  stand_in::once("PunctuationModel", "generate", {.error = "punc failed"});
  EXPECT_THROW(d.offline_refine(), std::runtime_error);
  EXPECT_TRUE(d._finalize_lock.try_lock());
  d._finalize_lock.unlock();
}

TEST_F(DualisRefine, NonFiniteSamplesAreReportedAndNormalised) {
  Dualis d({.punc_model = ""});
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  d.stream_generate(utils::AudioSamples::copy_of({0.5f, nan, -inf}));
  EXPECT_FALSE(d.finalize().empty());
  EXPECT_EQ(log.count("offline_refine: audio stats - min=nan, max=nan, mean=nan, rms=nan"), 1);
  // The offline engine gets normalize_audio's output: NaN -> 0, infinities clipped.
  EXPECT_EQ(stand_in::journal_of("ParaformerOfflineASR").back().arg("audio"),
            stand_in::describe(utils::AudioSamples::copy_of({0.5f, 0.0f, -1.0f})));

  // Infinite samples without NaN: the statistics say so instead of failing.
  Dualis e({.punc_model = ""});
  e.append_audio(utils::AudioSamples::copy_of({inf, 1.0f}));
  log.clear();
  e.offline_refine();
  EXPECT_EQ(log.count("offline_refine: audio stats - min=1.000000, max=inf, mean=inf, rms=inf"), 1);
}
