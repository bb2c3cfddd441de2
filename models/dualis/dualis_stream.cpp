// Dualis: the streaming pass and the finalisation decision.
#include "models/dualis/dualis.h"
#include "platform/quern_clock.h"
#include "platform/quern_log.h"
#include "utils/number_format.h"

namespace models::dualis {

std::pair<bool, std::string> Dualis::check_finalization_needed() {
  FinalizationCheck check = check_finalization();
  return {check.needed, std::move(check.text)};
}

FinalizationCheck Dualis::check_finalization() {
  using enum FinalizationReason;
  {
    utils::MutexLock lock(_finalize_lock);
    if (_is_finalized) return {false, already_finalized, "already_finalized"};
  }
  // Each value is read once, so the limit is tested and the reason printed with exactly the
  // count that was found non-zero (another thread may clear the buffer in between).
  std::int64_t total = 0;
  {
    utils::MutexLock lock(audio_lock);
    total = _total_samples.load();
  }
  if (total == 0) return {false, empty_buffer, "empty_buffer"};
  if (total >= max_audio_samples) {
    std::string reason = "max_samples_reached(" + std::to_string(total) +
                         ">=" + std::to_string(max_audio_samples) + ")";
    quern_log::logger.info("check_finalization_needed: " + reason);
    return {true, max_samples_reached, std::move(reason)};
  }
  const double last = _last_audio_time.load();
  const double since_last = quern_clock::now() - last;
  if (last > 0 && since_last >= max_silence_duration) {
    std::string reason = "silence_timeout(" + utils::fixed1(since_last) +
                         "s>=" + utils::shortest(max_silence_duration) + "s)";
    quern_log::logger.info("check_finalization_needed: " + reason);
    return {true, silence_timeout, std::move(reason)};
  }
  return {};
}

std::pair<ResultList, bool> Dualis::stream_generate(const utils::AudioSamples& audio, bool is_final,
                                                    const std::string& language) {
  StreamStep step = stream_step(audio, is_final, language);
  return {std::move(step.results), step.check.needed};
}

StreamStep Dualis::stream_step(const utils::AudioSamples& audio, bool is_final,
                               const std::string& language) {
  if (!stream_asr) load();
  BaseASR* engine = stream_asr.get();
  if (!engine) {
    quern_log::logger.warning(
        "stream_generate: stream_asr is not loaded, buffering audio for offline processing");
    append_audio(audio);
    return {};
  }
  append_audio(audio);
  FinalizationCheck check = check_finalization();
  _sync_hotwords();
  const double start = quern_clock::now();
  ResultList results = engine->stream_generate(audio, is_final, language);
  const double elapsed_ms = (quern_clock::now() - start) * 1000;
  if (elapsed_ms > 1.0) {
    QUERN_LOG_DEBUG("Dualis stream_generate time=" + utils::fixed1(elapsed_ms) +
                    "ms, len_audio=" + std::to_string(audio.size()));
  }
  return {std::move(results), std::move(check)};
}

}  // namespace models::dualis
