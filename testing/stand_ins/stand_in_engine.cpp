// The stand-in recognition engines: every call journalled, every result scriptable.
#include "testing/stand_ins/stand_in_engine.h"

#include "models/paraformer_asr.h"
#include "models/sensevoice_asr.h"
#include "models/sensevoice_funasr.h"
#include "platform/silero_package.h"
#include "testing/stand_ins/stand_in.h"
#include "utils/audio.h"
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

using models::BaseASROptions;
using quern_config::ModelType;

std::string str(bool b) { return b ? "true" : "false"; }
std::string str(int i) { return std::to_string(i); }
std::string str(double d) { return utils::shortest(d); }

// Each options struct's arguments, by name, in the order the controller passes them.
Args args_of(const models::FunASRStreamOptions& o) {
  return {{"model", o.model},
          {"model_path", o.model_path},
          {"revision", o.revision},
          {"device", o.device},
          {"chunk_size", describe(o.chunk_size)},
          {"encoder_chunk_look_back", str(o.encoder_chunk_look_back)},
          {"decoder_chunk_look_back", str(o.decoder_chunk_look_back)}};
}
Args args_of(const models::FunASROfflineOptions& o) {
  return {{"model", o.model},
          {"model_path", o.model_path},
          {"revision", o.revision},
          {"device", o.device}};
}
Args args_of(const models::SenseVoiceStreamASROptions& o) {
  return {{"model", o.model},
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
          {"sample_rate", str(o.sample_rate)}};
}
Args args_of(const models::SenseVoiceOfflineASROptions& o) {
  return {
      {"model", o.model},          {"tokens", o.tokens},     {"num_threads", str(o.num_threads)},
      {"use_itn", str(o.use_itn)}, {"language", o.language}, {"device", o.device}};
}

// What each engine hands its base class: the FunASR runtime's engines their revision too.
template <class Options>
BaseASROptions base_of(const Options& o, ModelType type) {
  if constexpr (requires { o.revision; }) {
    return {.model = o.model, .revision = o.revision, .device = o.device, .model_type = type};
  } else {
    return {.model = o.model, .device = o.device, .model_type = type};
  }
}

// Provides `Class` as a stand-in: its factory journals "create" (which a test may script to
// yield no engine), then makes the engine, which journals "construct" with its arguments.
template <class Class>
void provide_stand_in(StandInASR::Kind kind, ModelType type) {
  models::provide<Class>(
      [kind, type](const typename Class::Options& o) -> std::unique_ptr<models::BaseASR> {
        const std::string name(Class::name);
        if (record(name, "create", {}).yields_none) return nullptr;
        return std::make_unique<StandInASR>(name, kind, base_of(o, type), args_of(o));
      });
}

}  // namespace

void install_punctuation();  // punctuation.cpp

void install() {
  using Kind = StandInASR::Kind;
  provide_stand_in<models::ParaformerStreamASR>(Kind::streaming, ModelType::PARAFORMER_FUNASR);
  provide_stand_in<models::ParaformerOfflineASR>(Kind::offline, ModelType::PARAFORMER_FUNASR);
  provide_stand_in<models::SenseVoiceStreamASR>(Kind::streaming, ModelType::SENSEVOICE);
  provide_stand_in<models::SenseVoiceOfflineASR>(Kind::offline, ModelType::SENSEVOICE);
  provide_stand_in<models::SenseVoiceStreamingFunASR>(Kind::streaming,
                                                      ModelType::SENSEVOICE_FUNASR);
  provide_stand_in<models::SenseVoiceOfflineFunASR>(Kind::offline, ModelType::SENSEVOICE_FUNASR);
  install_punctuation();
  utils::provide_normalize_audio([](const utils::AudioSamples& audio,
                                    std::optional<utils::DType> target_dtype) {
    if (!silent()) {
      auto b = record("normalize_audio", "call",
                      {{"audio", journaling() ? describe(audio) : ""},
                       {"target_dtype",
                        target_dtype ? std::string(utils::dtype_name(*target_dtype)) : "None"}});
      if (b.audio) return *b.audio;
    }
    return utils::builtin_normalize_audio(audio, target_dtype);
  });
  silero_vad::set_package_locator([]() -> std::optional<std::string> {
    if (record("load_silero_vad", "call", {}).yields_none) return std::nullopt;
    return silero_vad::builtin_package_path();
  });
}

}  // namespace stand_in
