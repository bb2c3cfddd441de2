// The controller's settings, utterance buffer and reset.
#include <gtest/gtest.h>

#include "tests/dualis/dualis_fixture.h"

using models::dualis::Dualis;
using quern_test::Level;
using quern_test::LogLine;

class DualisBuffer : public quern_test::DualisTest {};

TEST_F(DualisBuffer, ConstructionStoresSettingsAndDoesNothingElse) {
  Dualis d({.max_silence_duration = 3, .hotwords = "  alpha  beta\tgamma "});
  EXPECT_EQ(d.model_type, "paraformer_funasr");
  EXPECT_EQ(d.stream_model_name,
            "iic/speech_paraformer-large_asr_nat-zh-cn-16k-common-vocab8404-online");
  EXPECT_EQ(d.punc_model_name, "iic/punc_ct-transformer_zh-cn-common-vad_realtime-vocab272727");
  EXPECT_EQ(d.stream_revision, "v2.0.4");
  EXPECT_EQ(d.chunk_size, (std::vector<int>{0, 10, 5}));
  EXPECT_EQ(d.max_audio_samples, 480000);
  EXPECT_EQ(d.max_silence_duration, 3.0);
  EXPECT_EQ(d.language, "auto");
  EXPECT_EQ(d.hotwords, (std::vector<std::string>{"alpha", "beta", "gamma"}));
  EXPECT_FALSE(d.stream_asr);
  EXPECT_FALSE(d.offline_asr);
  EXPECT_FALSE(d.punc_model);
  EXPECT_FALSE(d._is_finalized);
  EXPECT_EQ(d._last_audio_time.load(), 0.0);
  EXPECT_EQ(d.get_audio_buffer_length(), 0);
  auto empty = d.get_audio_buffer();
  EXPECT_EQ(empty.size(), 0u);
  EXPECT_EQ(empty.dtype(), utils::DType::float64);
  EXPECT_TRUE(log.lines().empty());
  EXPECT_TRUE(stand_in::journal().empty());
}

TEST_F(DualisBuffer, HotwordsSplitAtUnicodeWhitespaceWithoutCuttingCharacters) {
  // U+3000 ideographic space, U+00A0 no-break space, and a word whose bytes include 0x85/0xA0
  // continuation bytes that must not be taken for U+0085/U+00A0.
  Dualis d({.hotwords = "\xe4\xbd\xa0\xe5\xa5\xbd\xe3\x80\x80world\xc2\xa0x \xe5\x85\xa0"});
  EXPECT_EQ(d.hotwords,
            (std::vector<std::string>{"\xe4\xbd\xa0\xe5\xa5\xbd", "world", "x", "\xe5\x85\xa0"}));
  EXPECT_TRUE(Dualis({.hotwords = ""}).hotwords.empty());
  EXPECT_TRUE(Dualis({.hotwords = " \t\n "}).hotwords.empty());
  EXPECT_EQ(Dualis({.hotwords = "a a"}).hotwords, (std::vector<std::string>{"a", "a"}));

  // Ill-formed UTF-8 is never whitespace: overlong spaces (C0 A0, E0 80 A0, F0 80 80 A0), an
  // encoded surrogate, a lead byte past F4 and a truncated sequence all stay inside their word.
  for (const std::string bad :
       {"\xc0\xa0", "\xe0\x80\xa0", "\xf0\x80\x80\xa0", "\xed\xa0\x80", "\xf5\xa0", "\xe3\x80"}) {
    EXPECT_EQ(Dualis({.hotwords = "a" + bad + "b c"}).hotwords,
              (std::vector<std::string>{"a" + bad + "b", "c"}));
  }
}

TEST_F(DualisBuffer, AppendKeepsEveryChunkInOrderAndLogsSizes) {
  Dualis d({.max_audio_samples = 100});
  d.append_audio(chunk(1600, 1.f));
  d.append_audio(chunk(1600, 2.f));
  d.append_audio(chunk(800, 3.f));
  clock.advance(1);
  d.append_audio(chunk(0));
  EXPECT_EQ(d._last_audio_time.load(), 101.0);  // an empty chunk still counts as arriving
  EXPECT_EQ(log.lines(),
            (std::vector<LogLine>{{Level::debug, "Audio buffer size: 1, total samples: 1600"},
                                  {Level::debug, "Audio buffer size: 2, total samples: 3200"},
                                  {Level::debug, "Audio buffer size: 3, total samples: 4000"},
                                  {Level::debug, "Audio buffer size: 4, total samples: 4000"}}));
  EXPECT_EQ(d.get_audio_buffer_length(), 4000);  // over max_audio_samples: nothing dropped
  auto all = d.get_audio_buffer();
  ASSERT_EQ(all.size(), 4000u);
  EXPECT_EQ(all.dtype(), utils::DType::float32);
  EXPECT_EQ(all.as<float>()[0], 1.f);
  EXPECT_EQ(all.as<float>()[1600], 2.f);
  EXPECT_EQ(all.as<float>()[3999], 3.f);
  EXPECT_EQ(d.get_audio_buffer_length(), 4000);  // reading does not consume

  // Chunks are kept as handed in: the buffer shares their storage.
  auto mine = chunk(10);
  d.append_audio(mine);
  EXPECT_TRUE(d.audio_buffer.back().shares_storage_with(mine));

  // Mixed element types join to their common type.
  Dualis mixed;
  mixed.append_audio(utils::AudioSamples::copy_of<std::int16_t>({1, 2}));
  mixed.append_audio(utils::AudioSamples::copy_of({0.5f}));
  EXPECT_EQ(mixed.get_audio_buffer().dtype(), utils::DType::float32);
}

TEST_F(DualisBuffer, ClearEmptiesOnlyTheBuffer) {
  Dualis d({.punc_model = ""});
  d.stream_generate(chunk(1600));
  EXPECT_EQ(d.finalize().empty(), false);
  const double last = d._last_audio_time.load();
  d.clear_audio_buffer();
  EXPECT_EQ(d.get_audio_buffer_length(), 0);
  EXPECT_TRUE(d.audio_buffer.empty());
  EXPECT_TRUE(d._is_finalized);
  EXPECT_EQ(d._last_audio_time.load(), last);
}

TEST_F(DualisBuffer, ResetClearsStateAndResetsEnginesInOrder) {
  Dualis d({.hotwords = "a b"});
  d.stream_generate(chunk(1600));
  d.finalize();
  stand_in::clear_journal();

  d.reset();
  EXPECT_FALSE(d._is_finalized);
  EXPECT_TRUE(d.hotwords.empty());
  EXPECT_EQ(d.get_audio_buffer_length(), 0);
  EXPECT_EQ(d._last_audio_time.load(), 0.0);
  std::vector<std::string> calls;
  for (const auto& c : stand_in::journal()) calls.push_back(c.str());
  EXPECT_EQ(calls, (std::vector<std::string>{
                       "ParaformerStreamASR.hotwords(hotwords=[])",
                       "ParaformerOfflineASR.hotwords(hotwords=[])", "ParaformerStreamASR.reset()",
                       "ParaformerOfflineASR.reset()", "PunctuationModel.reset()"}));
  EXPECT_EQ(d.finalize(), "") << "empty buffer after reset";

  // Without engines, reset only clears state.
  Dualis bare;
  bare.append_audio(chunk(5));
  stand_in::clear_journal();
  bare.reset();
  EXPECT_TRUE(stand_in::journal().empty());
  EXPECT_EQ(bare.get_audio_buffer_length(), 0);
}

TEST_F(DualisBuffer, FailingEngineResetStopsResetWithBufferFull) {
  Dualis d;
  d.stream_generate(chunk(1600));
  d.finalize();
  stand_in::once("ParaformerStreamASR", "reset", {.error = "reset failed"});
  EXPECT_THROW(d.reset(), std::runtime_error);
  EXPECT_FALSE(d._is_finalized);  // step 1 ran
  EXPECT_TRUE(d.hotwords.empty());
  EXPECT_EQ(d.get_audio_buffer_length(), 1600);  // steps after the failure did not
  EXPECT_NE(d._last_audio_time.load(), 0.0);
  EXPECT_EQ(ops_of("ParaformerOfflineASR").back(), "hotwords");  // its reset never came
  // The mutexes were released on the way out.
  EXPECT_TRUE(d.audio_lock.try_lock());
  d.audio_lock.unlock();
  d.reset();
  EXPECT_EQ(d.get_audio_buffer_length(), 0);
}
