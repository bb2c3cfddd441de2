// MoonshineOfflineASR: whole-utterance recognition over a cached Moonshine transcriber.
#include "models/nightjar/moonshine_offline_asr.h"

#include <exception>

#include "models/nightjar/availability.h"
#include "platform/quern_clock.h"
#include "platform/quern_log.h"
#include "utils/audio.h"
#include "utils/number_format.h"

namespace models::nightjar {

MoonshineOfflineASR::MoonshineOfflineASR(MoonshineOfflineASROptions o)
    : BaseASR({.model = o.model, .revision = "", .device = o.device, .model_type = o.model_type}),
      language(std::move(o.language)),
      sample_rate(o.sample_rate) {
  if (MOONSHINE_AVAILABLE) _load_model();
}

MoonshineOfflineASR::~MoonshineOfflineASR() = default;

ModelCache& MoonshineOfflineASR::cache() {
  static ModelCache* const c = new ModelCache;  // never destroyed: transcribers live until exit
  return *c;
}

void MoonshineOfflineASR::_load_model() {
  if (!MOONSHINE_AVAILABLE) throw MoonshineUnavailableError();
  _transcriber = load_transcriber(cache(), model + "_" + device + "_" + language, language,
                                  "Loading Moonshine offline model: " + model,
                                  "Moonshine offline model loaded: " + model);
  _is_loaded = true;
}

void MoonshineOfflineASR::load() {
  if (!MOONSHINE_AVAILABLE) throw MoonshineUnavailableError();
  if (!_transcriber) _load_model();
}

std::string MoonshineOfflineASR::_transcribe_internal(const utils::AudioSamples& audio) {
  try {
    auto result = transcribe_timed(*_transcriber, audio.as<float>(), sample_rate);
    QUERN_LOG_DEBUG("MoonshineOfflineASR transcribe time=" + utils::fixed1(result.elapsed_ms) +
                    "ms, audio_len=" + std::to_string(audio.size()));
    return std::move(result.text);
  } catch (...) {
    const std::string message = current_failure_message();
    quern_log::logger.error("Error in Moonshine offline transcribe: " + message);
    std::throw_with_nested(MoonshineRecognitionError(kOfflineFailurePrefix + message));
  }
}

ResultList MoonshineOfflineASR::transcribe(const utils::AudioSamples& audio, const std::string&) {
  if (!MOONSHINE_AVAILABLE) return {};
  if (!_transcriber) load();
  return as_results(_transcribe_internal(utils::normalize_audio(audio, utils::DType::float32)));
}

ResultList MoonshineOfflineASR::stream_generate(const utils::AudioSamples& audio, bool,
                                                const std::string& language) {
  quern_log::logger.error("Moonshine stream_generate is not implemented for offline model");
  return transcribe(audio, language);
}

void MoonshineOfflineASR::reset() {}

}  // namespace models::nightjar
