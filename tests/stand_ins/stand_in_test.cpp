// The stand-in engines: journal with named arguments in order, scripting, switches.
#include "testing/stand_ins/stand_in.h"

#include <gtest/gtest.h>

#include "models/paraformer_asr.h"
#include "models/punctuation.h"
#include "models/sensevoice_asr.h"
#include "platform/quern_clock.h"
#include "testing/stand_ins/stand_in_engine.h"
#include "tests/support/log_capture.h"

using utils::AudioSamples;

TEST(StandIn, JournalRecordsNamedArgumentsInOrder) {
  stand_in::clear();
  auto engine =
      models::ParaformerStreamASR::create({.model = "m", .revision = "", .chunk_size = {0, 8, 4}});
  auto& asr = *engine;
  asr.load();
  asr.stream_generate(AudioSamples(std::vector<float>(1600)), true, "en");
  auto calls = stand_in::journal();
  ASSERT_EQ(calls.size(), 4u);
  EXPECT_EQ(calls[0].str(), "ParaformerStreamASR.create()");
  calls.erase(calls.begin());
  EXPECT_EQ(calls[0].str(),
            "ParaformerStreamASR.construct(model=m, model_path=, revision=, device=cpu, "
            "chunk_size=[0, 8, 4], encoder_chunk_look_back=4, decoder_chunk_look_back=1)");
  EXPECT_EQ(calls[1].str(), "ParaformerStreamASR.load()");
  EXPECT_EQ(calls[2].op, "stream_generate");
  // FNV-1a of 6400 zero bytes.
  EXPECT_EQ(calls[2].arg("audio"), "AudioSamples(len=1600, dtype=float32, fnv=f4deb1c5)");
  EXPECT_NE(stand_in::describe(AudioSamples::copy_of({1.f})),
            stand_in::describe(AudioSamples::copy_of({2.f})));
  EXPECT_EQ(calls[2].arg("is_final"), "true");
  EXPECT_EQ(calls[2].arg("language"), "en");
  EXPECT_TRUE(asr._is_loaded);
  EXPECT_EQ(asr.model, "m");

  models::SenseVoiceStreamASR::create({.vad_threshold = 0.5, .vad_max_speech_duration = 15});
  EXPECT_EQ(stand_in::journal_of("SenseVoiceStreamASR")[1].arg("vad_max_speech_duration"), "15.0");

  // Off, as in a host or a tool, the journal keeps nothing and scripts still apply.
  stand_in::set_journal(false);
  stand_in::clear_journal();
  stand_in::once("ParaformerStreamASR", "stream_generate", {.error = "scripted"});
  EXPECT_THROW(asr.stream_generate(AudioSamples(std::vector<float>(16))), std::runtime_error);
  EXPECT_TRUE(stand_in::journal().empty());
  stand_in::set_journal(true);
}

TEST(StandIn, ScriptsResultsErrorsTimeAndCallbacks) {
  stand_in::clear();
  quern_test::ManualClock clock(100.0);
  auto engine = models::ParaformerOfflineASR::create();
  auto& asr = *engine;
  bool called = false;
  stand_in::on("ParaformerOfflineASR", "transcribe",
               {.callback = [&] { called = true; },
                .elapsed = 0.5,
                .results = models::ResultList{{{"text", "hello"}}}});
  stand_in::once("ParaformerOfflineASR", "transcribe", {.error = "boom"});
  EXPECT_THROW(asr.transcribe(AudioSamples()), std::runtime_error);
  EXPECT_EQ(asr.transcribe(AudioSamples())[0]["text"], "hello");
  EXPECT_TRUE(called);
  EXPECT_DOUBLE_EQ(quern_clock::now(), 100.5);

  // Defaults say they are stand-in output.
  stand_in::clear();
  auto r = asr.transcribe(AudioSamples(std::vector<double>(3)), "zh");
  EXPECT_EQ(r[0]["text"], "[stand-in ParaformerOfflineASR: 3 samples, language=zh]");
  EXPECT_EQ(models::PunctuationModel::create()->generate("hi"), "hi.");
  EXPECT_THROW(asr.stream_generate(AudioSamples()), std::logic_error);
}

TEST(StandIn, SwitchesForHotwordsFactoriesAndAvailability) {
  stand_in::clear();
  EXPECT_TRUE(models::ParaformerStreamASR::create()->has_hotwords());
  EXPECT_FALSE(models::SenseVoiceOfflineASR::create()->has_hotwords());
  stand_in::set_has_hotwords("SenseVoiceOfflineASR", true);
  auto sv = models::SenseVoiceOfflineASR::create();
  ASSERT_TRUE(sv->has_hotwords());
  sv->set_hotwords({"a", "b"});
  EXPECT_EQ(dynamic_cast<stand_in::StandInASR&>(*sv).hotwords(),
            (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(stand_in::journal_of("SenseVoiceOfflineASR").back().arg("hotwords"), "['a', 'b']");
  EXPECT_THROW(models::SenseVoiceStreamASR::create()->set_hotwords({}), std::logic_error);

  stand_in::on("ParaformerStreamASR", "create", {.yields_none = true});
  EXPECT_EQ(models::ParaformerStreamASR::create(), nullptr);
  models::SENSEVOICE_AVAILABLE = false;
  stand_in::clear();
  EXPECT_NE(models::ParaformerStreamASR::create(), nullptr);
  EXPECT_TRUE(models::SENSEVOICE_AVAILABLE);
}
