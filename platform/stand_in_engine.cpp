// The stand-in recognition engines: every call journalled, every result scriptable.
#include "platform/stand_in_engine.h"

#include "models/paraformer_asr.h"
#include "models/sensevoice_asr.h"
#include "models/sensevoice_funasr.h"
#include "platform/stand_in.h"
#include "utils/number_format.h"

namespace stand_in {

using Args = std::vector<std::pair<std::string, std::string>>;

StandInASR::StandInASR(std::string class_name, Kind kind, models::BaseASROptions base,
                       Args construct_args)
    : BaseASR(std::move(base)),
      class_name_(std::move(class_name)),
      kind_(kind),
      has_hotwords_(has_hotwords_switch(class_name_)) {
  record(class_name_, "construct", std::move(construct_args));
}

StandInASR::~StandInASR() = default;

void StandInASR::load() {
  if (!silent()) record(class_name_, "load", {});
  _is_loaded = true;
}

void StandInASR::reset() {
  if (!silent()) record(class_name_, "reset", {});
}

models::ResultList StandInASR::stream_generate(const utils::AudioSamples& audio, bool is_final,
                                               const std::string& language) {
  if (kind_ != Kind::streaming) return BaseASR::stream_generate(audio, is_final, language);
  if (silent()) return {};
  auto b = record(class_name_, "stream_generate",
                  {{"audio", journaling() ? describe(audio) : ""},
                   {"is_final", is_final ? "true" : "false"},
                   {"language", language}});
  if (b.results) return *b.results;
  return {
      {{"text", "[stand-in " + class_name_ + ": " + std::to_string(audio.size()) + " samples]"}}};
}

models::ResultList StandInASR::transcribe(const utils::AudioSamples& audio,
                                          const std::string& language) {
  if (kind_ != Kind::offline) return BaseASR::transcribe(audio, language);
  if (silent()) return {};
  auto b = record(class_name_, "transcribe",
                  {{"audio", journaling() ? describe(audio) : ""}, {"language", language}});
  if (b.results) return *b.results;
  return {{{"text", "[stand-in " + class_name_ + ": " + std::to_string(audio.size()) +
                        " samples, language=" + language + "]"}}};
}

bool StandInASR::has_hotwords() const { return has_hotwords_; }

void StandInASR::set_hotwords(std::vector<std::string> hotwords) {
  if (!has_hotwords_) BaseASR::set_hotwords(std::move(hotwords));
  if (!silent()) record(class_name_, "hotwords", {{"hotwords", describe(hotwords)}});
  utils::MutexLock lock(hotwords_mutex_);
  hotwords_ = std::move(hotwords);
}

std::vector<std::string> StandInASR::hotwords() const {
  utils::MutexLock lock(hotwords_mutex_);
  return hotwords_;
}

namespace {

std::string str(bool b) { return b ? "true" : "false"; }
std::string str(int i) { return std::to_string(i); }
std::string str(double d) { return utils::shortest(d); }

// A factory that a test switched to yield nothing journals its "create" and returns nullptr.
template <class Engine, class Options>
std::unique_ptr<models::BaseASR> create_engine(const char* name, Options options) {
  if (record(name, "create", {}).yields_none) return nullptr;
  return std::make_unique<Engine>(std::move(options));
}

}  // namespace
}  // namespace stand_in

namespace models {

using stand_in::str;
using Kind = stand_in::StandInASR::Kind;

std::atomic<bool> SENSEVOICE_AVAILABLE{true};

ParaformerStreamASR::ParaformerStreamASR(ParaformerStreamASROptions o)
    : StandInASR("ParaformerStreamASR", Kind::streaming,
                 {.model = o.model, .revision = o.revision, .device = o.device},
                 {{"model", o.model},
                  {"model_path", o.model_path},
                  {"revision", o.revision},
                  {"device", o.device},
                  {"chunk_size", stand_in::describe(o.chunk_size)},
                  {"encoder_chunk_look_back", str(o.encoder_chunk_look_back)},
                  {"decoder_chunk_look_back", str(o.decoder_chunk_look_back)}}) {}

std::unique_ptr<BaseASR> ParaformerStreamASR::create(ParaformerStreamASROptions o) {
  return stand_in::create_engine<ParaformerStreamASR>("ParaformerStreamASR", std::move(o));
}

ParaformerOfflineASR::ParaformerOfflineASR(ParaformerOfflineASROptions o)
    : StandInASR("ParaformerOfflineASR", Kind::offline,
                 {.model = o.model, .revision = o.revision, .device = o.device},
                 {{"model", o.model},
                  {"model_path", o.model_path},
                  {"revision", o.revision},
                  {"device", o.device}}) {}

std::unique_ptr<BaseASR> ParaformerOfflineASR::create(ParaformerOfflineASROptions o) {
  return stand_in::create_engine<ParaformerOfflineASR>("ParaformerOfflineASR", std::move(o));
}

SenseVoiceStreamASR::SenseVoiceStreamASR(SenseVoiceStreamASROptions o)
    : StandInASR(
          "SenseVoiceStreamASR", Kind::streaming,
          {.model = o.model, .device = o.device, .model_type = quern_config::ModelType::SENSEVOICE},
          {{"model", o.model},
           {"tokens", o.tokens},
           {"num_threads", str(o.num_threads)},
           {"use_itn", str(o.use_itn)},
           {"language", o.language},
           {"device", o.device},
           {"vad_model", o.vad_model},
           {"vad_threshold", str(o.vad_threshold)},
           {"vad_min_silence_duration", str(o.vad_min_silence_duration)},
           {"vad_min_speech_duration", str(o.vad_min_speech_duration)},
           {"vad_max_speech_duration", str(o.vad_max_speech_duration)},
           {"sample_rate", str(o.sample_rate)}}) {}

std::unique_ptr<BaseASR> SenseVoiceStreamASR::create(SenseVoiceStreamASROptions o) {
  return stand_in::create_engine<SenseVoiceStreamASR>("SenseVoiceStreamASR", std::move(o));
}

SenseVoiceOfflineASR::SenseVoiceOfflineASR(SenseVoiceOfflineASROptions o)
    : StandInASR(
          "SenseVoiceOfflineASR", Kind::offline,
          {.model = o.model, .device = o.device, .model_type = quern_config::ModelType::SENSEVOICE},
          {{"model", o.model},
           {"tokens", o.tokens},
           {"num_threads", str(o.num_threads)},
           {"use_itn", str(o.use_itn)},
           {"language", o.language},
           {"device", o.device}}) {}

std::unique_ptr<BaseASR> SenseVoiceOfflineASR::create(SenseVoiceOfflineASROptions o) {
  return stand_in::create_engine<SenseVoiceOfflineASR>("SenseVoiceOfflineASR", std::move(o));
}

SenseVoiceStreamingFunASR::SenseVoiceStreamingFunASR(SenseVoiceStreamingFunASROptions o)
    : StandInASR("SenseVoiceStreamingFunASR", Kind::streaming,
                 {.model = o.model,
                  .revision = o.revision,
                  .device = o.device,
                  .model_type = quern_config::ModelType::SENSEVOICE_FUNASR},
                 {{"model", o.model},
                  {"model_path", o.model_path},
                  {"revision", o.revision},
                  {"device", o.device},
                  {"chunk_size", stand_in::describe(o.chunk_size)},
                  {"encoder_chunk_look_back", str(o.encoder_chunk_look_back)},
                  {"decoder_chunk_look_back", str(o.decoder_chunk_look_back)}}) {}

std::unique_ptr<BaseASR> SenseVoiceStreamingFunASR::create(SenseVoiceStreamingFunASROptions o) {
  return stand_in::create_engine<SenseVoiceStreamingFunASR>("SenseVoiceStreamingFunASR",
                                                            std::move(o));
}

SenseVoiceOfflineFunASR::SenseVoiceOfflineFunASR(SenseVoiceOfflineFunASROptions o)
    : StandInASR("SenseVoiceOfflineFunASR", Kind::offline,
                 {.model = o.model,
                  .revision = o.revision,
                  .device = o.device,
                  .model_type = quern_config::ModelType::SENSEVOICE_FUNASR},
                 {{"model", o.model},
                  {"model_path", o.model_path},
                  {"revision", o.revision},
                  {"device", o.device}}) {}

std::unique_ptr<BaseASR> SenseVoiceOfflineFunASR::create(SenseVoiceOfflineFunASROptions o) {
  return stand_in::create_engine<SenseVoiceOfflineFunASR>("SenseVoiceOfflineFunASR", std::move(o));
}

}  // namespace models
