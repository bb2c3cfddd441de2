// Choosing, creating and loading engines (also a host's own, through the seam); handing out
// hotwords.
#include <gtest/gtest.h>

#include "models/paraformer_asr.h"
#include "models/sensevoice_asr.h"
#include "testing/stand_ins/stand_in_engine.h"
#include "tests/dualis/dualis_fixture.h"

using models::dualis::Dualis;
using quern_test::Level;
using quern_test::LogLine;

class DualisLoad : public quern_test::DualisTest {};

TEST_F(DualisLoad, UnknownFamilyGetsParaformerWithTheSessionsSettings) {
  Dualis d({.model_type = "something-else",
            .stream_revision = std::nullopt,
            .offline_revision = "",
            .punc_revision = std::nullopt,
            .device = "cuda:1",
            .chunk_size = {0, 8, 4},
            .encoder_chunk_look_back = 2,
            .language = "en"});
  d.load();
  EXPECT_EQ(log.texts(), (std::vector<std::string>{"Loading streaming ASR model for 2-pass",
                                                   "Loading offline ASR model for 2-pass",
                                                   "Loading punctuation model for 2-pass"}));
  std::vector<std::string> calls;
  for (const auto& c : stand_in::journal()) calls.push_back(c.str());
  EXPECT_EQ(calls,
            (std::vector<std::string>{
                "ParaformerStreamASR.create()",
                "ParaformerStreamASR.construct(model=iic/"
                "speech_paraformer-large_asr_nat-zh-cn-16k-common-vocab8404-online, model_path=, "
                "revision=, device=cuda:1, chunk_size=[0, 8, 4], encoder_chunk_look_back=2, "
                "decoder_chunk_look_back=1)",
                "ParaformerStreamASR.load()", "ParaformerOfflineASR.create()",
                "ParaformerOfflineASR.construct(model=iic/"
                "speech_paraformer-large_asr_nat-zh-cn-16k-common-vocab8404-pytorch, "
                "model_path=, revision=, device=cuda:1)",
                "ParaformerOfflineASR.load()", "PunctuationModel.create()",
                "PunctuationModel.construct(model=iic/"
                "punc_ct-transformer_zh-cn-common-vad_realtime-vocab272727, revision=, "
                "device=cuda:1)",
                "PunctuationModel.load()"}));

  // A second load creates and logs nothing.
  log.clear();
  stand_in::clear_journal();
  d.load();
  EXPECT_TRUE(log.lines().empty());
  EXPECT_TRUE(stand_in::journal().empty());
}

TEST_F(DualisLoad, SenseVoiceFamiliesGetTheirOwnArguments) {
  Dualis sv({.model_type = "sensevoice",
             .stream_model = "s",
             .offline_model = "o",
             .punc_model = "",
             .sample_rate = 8000,
             .stream_tokens = "st",
             .offline_tokens = "ot",
             .num_threads = 3,
             .use_itn = false,
             .language = "yue",
             .vad_model = "v",
             .vad_threshold = 0.25,
             .vad_max_speech_duration = 20});
  sv.load();
  EXPECT_EQ(stand_in::journal_of("SenseVoiceStreamASR")[1].str(),
            "SenseVoiceStreamASR.construct(model=s, tokens=st, num_threads=3, use_itn=false, "
            "language=yue, device=cpu, vad_model=v, vad_threshold=0.25, "
            "vad_min_silence_duration=0.5, vad_min_speech_duration=0.25, "
            "vad_max_speech_duration=20.0, sample_rate=8000)");
  EXPECT_EQ(stand_in::journal_of("SenseVoiceOfflineASR")[1].str(),
            "SenseVoiceOfflineASR.construct(model=o, tokens=ot, num_threads=3, use_itn=false, "
            "language=yue, device=cpu)");
  EXPECT_TRUE(stand_in::journal_of("PunctuationModel").empty());  // empty punc_model name

  Dualis fun({.model_type = "sensevoice_funasr", .offline_revision = std::nullopt});
  fun.load();
  EXPECT_EQ(ops_of("SenseVoiceStreamingFunASR"),
            (std::vector<std::string>{"create", "construct", "load"}));
  EXPECT_EQ(stand_in::journal_of("SenseVoiceOfflineFunASR")[1].arg("revision"), "");
  EXPECT_EQ(stand_in::journal_of("SenseVoiceStreamingFunASR")[1].arg("revision"), "v2.0.4");
}

TEST_F(DualisLoad, MissingSenseVoiceRuntimeFailsWithTwoDifferentMessages) {
  models::SENSEVOICE_AVAILABLE = false;
  Dualis d({.model_type = "sensevoice"});
  try {
    d.load();
    FAIL() << "load succeeded";
  } catch (const models::dualis::ImportError& e) {
    EXPECT_STREQ(e.what(), "sherpa-onnx not installed. Install with: pip install sherpa-onnx");
  }
  EXPECT_FALSE(d.stream_asr);
  EXPECT_EQ(log.texts(), std::vector<std::string>{"Loading streaming ASR model for 2-pass"});

  // With the streaming engine in place, the offline engine fails with the short message.
  models::SENSEVOICE_AVAILABLE = true;
  Dualis k({.model_type = "sensevoice", .enable_2pass = false});
  k.load();
  k.enable_2pass = true;
  models::SENSEVOICE_AVAILABLE = false;
  log.clear();
  try {
    k.load();
    FAIL() << "load succeeded";
  } catch (const models::dualis::ImportError& err) {
    EXPECT_STREQ(err.what(), "sherpa-onnx not installed");
  }
  EXPECT_EQ(log.texts(), std::vector<std::string>{"Loading offline ASR model for 2-pass"});
  EXPECT_FALSE(k.offline_asr);
  EXPECT_TRUE(k.stream_asr);
}

TEST_F(DualisLoad, EngineWhoseLoadFailsStaysStoredAndIsNotLoadedAgain) {
  Dualis d;
  stand_in::once("ParaformerStreamASR", "load", {.error = "weights missing"});
  EXPECT_THROW(d.load(), std::runtime_error);
  EXPECT_TRUE(d.stream_asr);
  EXPECT_FALSE(d.offline_asr);  // the failure stopped load before the offline engine
  d.load();
  EXPECT_EQ(ops_of("ParaformerStreamASR"),
            (std::vector<std::string>{"create", "construct", "load"}));
  EXPECT_TRUE(d.offline_asr);

  // A failing constructor leaves the field absent.
  Dualis e;
  stand_in::once("ParaformerStreamASR", "construct", {.error = "bad model"});
  EXPECT_THROW(e.load(), std::runtime_error);
  EXPECT_FALSE(e.stream_asr);
}

TEST_F(DualisLoad, TwoPassOffCreatesNoOfflineEngine) {
  Dualis d({.enable_2pass = false});
  d.load();
  EXPECT_EQ(log.texts(), (std::vector<std::string>{"Loading streaming ASR model for 2-pass",
                                                   "Loading punctuation model for 2-pass"}));
  EXPECT_FALSE(d.offline_asr);
}

TEST_F(DualisLoad, HotwordsReachOnlyEnginesThatTakeThem) {
  stand_in::set_has_hotwords("ParaformerOfflineASR", false);
  Dualis d({.hotwords = "x y"});
  d.load();
  EXPECT_TRUE(stand_in::journal_of("ParaformerStreamASR").back().op == "load") << "load syncs none";
  d._sync_hotwords();
  auto* stream = dynamic_cast<stand_in::StandInASR*>(d.stream_asr.get());
  ASSERT_NE(stream, nullptr);
  EXPECT_EQ(stream->hotwords(), (std::vector<std::string>{"x", "y"}));
  EXPECT_EQ(ops_of("ParaformerOfflineASR"),
            (std::vector<std::string>{"create", "construct", "load"}));

  stand_in::once("ParaformerStreamASR", "hotwords", {.error = "too many hotwords"});
  EXPECT_THROW(d._sync_hotwords(), std::runtime_error);
}

TEST_F(DualisLoad, HostEnginesComeThroughTheSeamAndMissingOnesAreNamed) {
  struct RestoreStandIns {
    ~RestoreStandIns() { stand_in::install(); }
  } restore;
  // A host's own offline engine: what it was created with, and the calls it receives.
  struct HostEngine : models::BaseASR {
    explicit HostEngine(std::vector<std::string>& calls)
        : BaseASR({.model = "host"}), calls(calls) {}
    void load() override { calls.push_back("load"); }
    void reset() override { calls.push_back("reset"); }
    models::ResultList transcribe(const utils::AudioSamples& audio,
                                  const std::string& language) override {
      calls.push_back("transcribe " + std::to_string(audio.size()) + " " + language);
      return {{{"text", "host text"}}};
    }
    std::vector<std::string>& calls;
  };
  std::vector<std::string> calls;
  std::optional<models::ParaformerOfflineASROptions> created_with;
  models::provide<models::ParaformerOfflineASR>([&](const models::ParaformerOfflineASROptions& o) {
    created_with = o;
    return std::make_unique<HostEngine>(calls);
  });
  models::provide<models::PunctuationModel>(nullptr);  // the host has no punctuation model

  Dualis d({.offline_model = "om",
            .offline_model_path = "/m",
            .offline_revision = std::nullopt,
            .punc_model = "",
            .device = "cuda"});
  d.load();
  ASSERT_TRUE(created_with);
  EXPECT_EQ(created_with->model, "om");
  EXPECT_EQ(created_with->model_path, "/m");
  EXPECT_EQ(created_with->revision, "");
  EXPECT_EQ(created_with->device, "cuda");
  d.append_audio(chunk(1600));
  EXPECT_EQ(d.finalize(), "host text");
  d.reset();
  EXPECT_EQ(calls, (std::vector<std::string>{"load", "transcribe 1600 zh", "reset"}));

  // A class the host has not provided fails load() naming it; nothing is stored for it.
  Dualis needs_punctuation;
  try {
    needs_punctuation.load();
    FAIL() << "load() without a PunctuationModel";
  } catch (const models::MissingEngineError& e) {
    EXPECT_EQ(std::string(e.what()).rfind("PunctuationModel is not provided", 0), 0u) << e.what();
  }
  EXPECT_FALSE(needs_punctuation.punc_model);
}
