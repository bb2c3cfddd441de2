// Dualis: choosing the engine family, creating and loading the engines, handing out hotwords.
#include "models/dualis/dualis.h"
#include "models/nightjar/moonshine_offline_asr.h"
#include "models/nightjar/moonshine_stream_asr.h"
#include "models/paraformer_asr.h"
#include "models/sensevoice_asr.h"
#include "models/sensevoice_funasr.h"
#include "platform/quern_log.h"

namespace models::dualis {
namespace {

using quern_config::ModelType;

bool is(const std::string& model_type, ModelType t) { return model_type == quern_config::value(t); }

std::string revision_or_empty(const std::optional<std::string>& r) { return r.value_or(""); }

// The Paraformer and SenseVoice FunASR engines take the same keywords.
FunASRStreamOptions funasr_stream_options(const Dualis& d) {
  return {.model = d.stream_model_name,
          .model_path = d.stream_model_path,
          .revision = revision_or_empty(d.stream_revision),
          .device = d.device,
          .chunk_size = d.chunk_size,
          .encoder_chunk_look_back = d.encoder_chunk_look_back,
          .decoder_chunk_look_back = d.decoder_chunk_look_back};
}

FunASROfflineOptions funasr_offline_options(const Dualis& d) {
  return {.model = d.offline_model_name,
          .model_path = d.offline_model_path,
          .revision = revision_or_empty(d.offline_revision),
          .device = d.device};
}

}  // namespace

std::unique_ptr<BaseASR> Dualis::create_stream_engine() {
  if (is(model_type, ModelType::MOONSHINE)) {
    // The Moonshine engines always run Chinese at 16 kHz, whatever the session's settings.
    return std::make_unique<nightjar::MoonshineStreamASR>(
        nightjar::MoonshineStreamASROptions{.model = stream_model_name,
                                            .device = device,
                                            .language = "zh",
                                            .update_interval = 0.3,
                                            .sample_rate = 16000});
  }
  if (is(model_type, ModelType::SENSEVOICE)) {
    if (!SENSEVOICE_AVAILABLE) {
      throw ImportError("sherpa-onnx not installed. Install with: pip install sherpa-onnx");
    }
    return SenseVoiceStreamASR::create({.model = stream_model_name,
                                        .tokens = stream_tokens,
                                        .num_threads = num_threads,
                                        .use_itn = use_itn,
                                        .language = language,
                                        .device = device,
                                        .vad_model = vad_model,
                                        .vad_threshold = vad_threshold,
                                        .vad_min_silence_duration = vad_min_silence_duration,
                                        .vad_min_speech_duration = vad_min_speech_duration,
                                        .vad_max_speech_duration = vad_max_speech_duration,
                                        .sample_rate = sample_rate});
  }
  if (is(model_type, ModelType::SENSEVOICE_FUNASR)) {
    return SenseVoiceStreamingFunASR::create(funasr_stream_options(*this));
  }
  return ParaformerStreamASR::create(funasr_stream_options(*this));
}

std::unique_ptr<BaseASR> Dualis::create_offline_engine() {
  if (is(model_type, ModelType::MOONSHINE)) {
    return std::make_unique<nightjar::MoonshineOfflineASR>(nightjar::MoonshineOfflineASROptions{
        .model = offline_model_name, .device = device, .language = "zh", .sample_rate = 16000});
  }
  if (is(model_type, ModelType::SENSEVOICE)) {
    if (!SENSEVOICE_AVAILABLE) throw ImportError("sherpa-onnx not installed");
    return SenseVoiceOfflineASR::create({.model = offline_model_name,
                                         .tokens = offline_tokens,
                                         .num_threads = num_threads,
                                         .use_itn = use_itn,
                                         .language = language,
                                         .device = device});
  }
  if (is(model_type, ModelType::SENSEVOICE_FUNASR)) {
    return SenseVoiceOfflineFunASR::create(funasr_offline_options(*this));
  }
  return ParaformerOfflineASR::create(funasr_offline_options(*this));
}

void Dualis::load() {
  // The feeding thread (stream_generate) and a finalising thread (offline_refine) may both find
  // an engine absent; one load at a time keeps each engine created once, and a caller that finds
  // a load in progress waits here for it.
  utils::MutexLock lock(_load_lock);
  load_locked();
}

void Dualis::load_locked() {
  if (!stream_asr.stored()) {
    quern_log::logger.info("Loading streaming ASR model for 2-pass");
    stream_asr.store_and_load(create_stream_engine());
  }
  if (enable_2pass && !offline_asr.stored()) {
    quern_log::logger.info("Loading offline ASR model for 2-pass");
    offline_asr.store_and_load(create_offline_engine());
  }
  if (!punc_model.stored() && !punc_model_name.empty()) {
    quern_log::logger.info("Loading punctuation model for 2-pass");
    punc_model.store_and_load(
        PunctuationModel::create({.model = punc_model_name,
                                  .revision = revision_or_empty(punc_revision),
                                  .device = device}));
  }
}

void Dualis::_sync_hotwords() {
  std::vector<std::string> words;
  {
    utils::MutexLock lock(_hotwords_lock);
    words = hotwords;
  }
  if (auto* e = stream_asr.get(); e && e->has_hotwords()) e->set_hotwords(words);
  if (auto* e = offline_asr.get(); e && e->has_hotwords()) e->set_hotwords(std::move(words));
}

}  // namespace models::dualis
