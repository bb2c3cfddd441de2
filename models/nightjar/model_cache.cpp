// The shared transcribers and the loading procedure of both Moonshine engine classes.
#include "models/nightjar/model_cache.h"

#include <stdexcept>

#include "models/nightjar/availability.h"
#include "platform/quern_clock.h"
#include "platform/quern_log.h"

namespace models::nightjar {

SharedTranscriber::SharedTranscriber(std::unique_ptr<runtime::Transcriber> transcriber)
    : transcriber_(std::move(transcriber)) {}

SharedTranscriber::~SharedTranscriber() = default;

runtime::Transcript SharedTranscriber::transcribe_without_streaming(std::span<const float> audio,
                                                                    int sample_rate, int flags) {
  utils::MutexLock lock(mutex_);
  return transcriber_->transcribe_without_streaming(audio, sample_rate, flags);
}

void SharedTranscriber::start() {
  utils::MutexLock lock(mutex_);
  transcriber_->start();
}

void SharedTranscriber::add_audio(std::span<const float> audio, int sample_rate) {
  utils::MutexLock lock(mutex_);
  transcriber_->add_audio(audio, sample_rate);
}

void SharedTranscriber::stop() {
  utils::MutexLock lock(mutex_);
  transcriber_->stop();
}

std::shared_ptr<SharedTranscriber> load_transcriber(ModelCache& cache, const std::string& cache_key,
                                                    const std::string& language,
                                                    const std::string& loading_message,
                                                    const std::string& loaded_message) {
  const runtime::Api* api = moonshine_runtime();
  utils::MutexLock lock(cache._cache_lock);
  auto it = cache._model_cache.find(cache_key);
  if (it == cache._model_cache.end()) {
    quern_log::logger.info(loading_message);
    const std::vector<std::string> values = api->get_model_for_language(language);
    if (values.size() != 2) {
      throw std::runtime_error("get_model_for_language returned " + std::to_string(values.size()) +
                               " values, expected 2 (model path, model architecture)");
    }
    auto transcriber = api->Transcriber(values[0], values[1]);
    if (!transcriber) throw std::runtime_error("Transcriber returned no transcriber");
    it = cache._model_cache
             .emplace(cache_key, std::make_shared<SharedTranscriber>(std::move(transcriber)))
             .first;
    quern_log::logger.info(loaded_message);
  }
  return it->second;
}

TimedText transcribe_timed(SharedTranscriber& transcriber, std::span<const float> samples,
                           int sample_rate) {
  const double start = quern_clock::now();
  const auto transcript = transcriber.transcribe_without_streaming(samples, sample_rate, 0);
  std::string text;
  for (std::size_t i = 0; i < transcript.lines.size(); ++i) {
    if (i) text += ' ';
    text += transcript.lines[i].text;
  }
  return {std::move(text), (quern_clock::now() - start) * 1000};
}

std::vector<nlohmann::ordered_json> as_results(std::string text) {
  if (text.empty()) return {};
  return {{{"text", std::move(text)}}};
}

std::string current_failure_message() {
  try {
    throw;
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "unknown error";
  }
}

}  // namespace models::nightjar
