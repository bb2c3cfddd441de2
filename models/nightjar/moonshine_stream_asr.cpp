// MoonshineStreamASR: drives the stream of a cached Moonshine transcriber chunk by chunk.
#include "models/nightjar/moonshine_stream_asr.h"

#include <exception>

#include "models/nightjar/availability.h"
#include "platform/quern_clock.h"
#include "platform/quern_log.h"
#include "utils/audio.h"
#include "utils/number_format.h"

namespace models::nightjar {

MoonshineStreamASR::MoonshineStreamASR(MoonshineStreamASROptions o)
    : BaseASR({.model = o.model,
               .revision = "",
               .device = o.device,
               .model_type = quern_config::ModelType::MOONSHINE}),
      language(std::move(o.language)),
      update_interval(o.update_interval),
      sample_rate(o.sample_rate) {
  if (MOONSHINE_AVAILABLE) _load_model();
}

MoonshineStreamASR::~MoonshineStreamASR() = default;

ModelCache& MoonshineStreamASR::cache() {
  static ModelCache* const c = new ModelCache;  // never destroyed: transcribers live until exit
  return *c;
}

void MoonshineStreamASR::_load_model() {
  if (!MOONSHINE_AVAILABLE) throw MoonshineUnavailableError();
  _transcriber =
      load_transcriber(cache(), model + "_" + device + "_" + language, language,
                       "Loading Moonshine model: " + model, "Moonshine model loaded: " + model);
  _is_loaded = true;
}

void MoonshineStreamASR::load() {
  if (!MOONSHINE_AVAILABLE) throw MoonshineUnavailableError();
  if (!_transcriber) _load_model();
}

ResultList MoonshineStreamASR::stream_generate(const utils::AudioSamples& audio, bool is_final,
                                               const std::string&) {
  if (!MOONSHINE_AVAILABLE) return {};
  if (!_transcriber) load();
  const auto chunk = utils::normalize_audio(audio, utils::DType::float32);
  try {
    const double start = quern_clock::now();
    if (!_streaming_started && _transcriber) {
      _transcriber->start();
      _streaming_started = true;
    }
    if (!chunk.empty() && _transcriber) _transcriber->add_audio(chunk.as<float>(), sample_rate);
    if (is_final && _transcriber) {
      _transcriber->stop();
      _streaming_started = false;
    }
    const double elapsed_ms = (quern_clock::now() - start) * 1000;
    if (elapsed_ms > 1.0) {
      QUERN_LOG_DEBUG("MoonshineStreamASR stream_generate time=" + utils::fixed1(elapsed_ms) +
                      "ms, audio_len=" + std::to_string(chunk.size()));
    }
    return {};
  } catch (...) {
    const std::string message = current_failure_message();
    quern_log::logger.error("Error in Moonshine stream_generate: " + message);
    std::throw_with_nested(MoonshineRecognitionError(kStreamFailurePrefix + message));
  }
}

std::string MoonshineStreamASR::_transcribe_internal(const utils::AudioSamples& audio,
                                                     const std::string& language) {
  try {
    auto result = transcribe_timed(*_transcriber, audio.as<float>(), sample_rate);
    QUERN_LOG_DEBUG("Moonshine transcribe time=" + utils::fixed1(result.elapsed_ms) +
                    "ms, audio_len=" + std::to_string(audio.size()));
    return std::move(result.text);
  } catch (...) {
    const std::string message = current_failure_message();
    quern_log::logger.error("Error in Moonshine transcribe: " + message +
                            ", language: " + language);
    std::throw_with_nested(
        MoonshineRecognitionError(kTranscribeFailurePrefix + message + ", language: " + language));
  }
}

ResultList MoonshineStreamASR::transcribe(const utils::AudioSamples& audio, const std::string&) {
  if (!MOONSHINE_AVAILABLE) return {};
  if (!_transcriber) load();
  return as_results(_transcribe_internal(utils::normalize_audio(audio, utils::DType::float32)));
}

void MoonshineStreamASR::reset() {
  if (_streaming_started && _transcriber) {
    try {
      _transcriber->stop();
    } catch (...) {
      // A stream that fails to close is abandoned; the next chunk opens a new one.
    }
  }
  _streaming_started = false;
}

}  // namespace models::nightjar
