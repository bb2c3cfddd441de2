// Dualis: construction, the utterance buffer and reset.
#include "models/dualis/dualis.h"

#include "models/dualis/hotwords.h"
#include "platform/quern_clock.h"
#include "platform/quern_log.h"

namespace models::dualis {

ImportError::~ImportError() = default;

Dualis::Dualis(DualisOptions o)
    : model_type(std::move(o.model_type)),
      stream_model_name(std::move(o.stream_model)),
      stream_model_path(std::move(o.stream_model_path)),
      stream_revision(std::move(o.stream_revision)),
      offline_model_name(std::move(o.offline_model)),
      offline_model_path(std::move(o.offline_model_path)),
      offline_revision(std::move(o.offline_revision)),
      punc_model_name(std::move(o.punc_model)),
      punc_model_path(std::move(o.punc_model_path)),
      punc_revision(std::move(o.punc_revision)),
      device(std::move(o.device)),
      chunk_size(std::move(o.chunk_size)),
      encoder_chunk_look_back(o.encoder_chunk_look_back),
      decoder_chunk_look_back(o.decoder_chunk_look_back),
      max_silence_duration(o.max_silence_duration),
      max_audio_samples(o.max_audio_samples),
      sample_rate(o.sample_rate),
      enable_2pass(o.enable_2pass),
      stream_tokens(std::move(o.stream_tokens)),
      offline_tokens(std::move(o.offline_tokens)),
      num_threads(o.num_threads),
      use_itn(o.use_itn),
      language(std::move(o.language)),
      vad_model(std::move(o.vad_model)),
      vad_model_path(std::move(o.vad_model_path)),
      vad_threshold(o.vad_threshold),
      vad_min_silence_duration(o.vad_min_silence_duration),
      vad_min_speech_duration(o.vad_min_speech_duration),
      vad_max_speech_duration(o.vad_max_speech_duration),
      hotwords(split_hotwords(o.hotwords)) {}

Dualis::~Dualis() = default;

void Dualis::set_hotwords(std::vector<std::string> words) {
  utils::MutexLock lock(_hotwords_lock);
  hotwords = std::move(words);
}

std::vector<std::string> Dualis::get_hotwords() {
  utils::MutexLock lock(_hotwords_lock);
  return hotwords;
}

void Dualis::reset() {
  // A refinement running on another thread finishes on the utterance it started with.
  utils::WriterLock no_refinement(_refine_lock);
  {
    utils::MutexLock lock(_finalize_lock);
    _is_finalized = false;
  }
  set_hotwords({});
  _sync_hotwords();
  if (auto* e = stream_asr.get()) e->reset();
  if (auto* e = offline_asr.get()) e->reset();
  if (auto* e = punc_model.get()) e->reset();
  {
    utils::MutexLock lock(audio_lock);
    audio_buffer.clear();
    _total_samples.store(0);
  }
  _last_audio_time.store(0.0);
}

void Dualis::append_audio(const utils::AudioSamples& audio) {
  {
    utils::MutexLock lock(audio_lock);
    audio_buffer.push_back(audio);
    const auto total =
        _total_samples.load(std::memory_order_relaxed) + static_cast<std::int64_t>(audio.size());
    _total_samples.store(total);
    QUERN_LOG_DEBUG("Audio buffer size: " + std::to_string(audio_buffer.size()) +
                    ", total samples: " + std::to_string(total));
  }
  _last_audio_time.store(quern_clock::now());
}

utils::AudioSamples Dualis::get_audio_buffer() {
  // Take the chunk handles under the lock and join outside it, so that the feeding thread never
  // waits for a whole-utterance copy.
  std::vector<utils::AudioSamples> chunks;
  {
    utils::MutexLock lock(audio_lock);
    chunks = audio_buffer;
  }
  return utils::AudioSamples::join(chunks);
}

std::int64_t Dualis::get_audio_buffer_length() {
  utils::MutexLock lock(audio_lock);
  return _total_samples.load();
}

void Dualis::clear_audio_buffer() {
  utils::MutexLock lock(audio_lock);
  audio_buffer.clear();
  _total_samples.store(0);
}

}  // namespace models::dualis
