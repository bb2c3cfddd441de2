// quern::Stream: audio in, judged frame by frame, fed to the controller up to each utterance's
// end, finalised, and the controller made ready for the next utterance.
#include "stream/stream.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "platform/quern_clock.h"

namespace quern {
namespace {

using models::dualis::FinalizationReason;

StreamOptions checked(StreamOptions o) {
  if (o.sample_rate < 1) {
    throw std::invalid_argument("quern::Stream: the sample rate must be at least 1 Hz, not " +
                                std::to_string(o.sample_rate));
  }
  const double timeout = o.endpoint.silence_timeout;
  if (!std::isfinite(timeout) || timeout < 0) {
    throw std::invalid_argument(
        "quern::Stream: the silence timeout must be a finite number of "
        "seconds, at least 0");
  }
  o.vad.sample_rate = o.sample_rate;
  return o;
}

std::int64_t samples_of(double seconds, int rate) {
  const double n = std::round(seconds * rate);
  // (Also false for NaN.)
  if (!(n >= 1 && n <= 1e15)) {
    throw std::invalid_argument(
        "quern::Stream: the longest utterance must be a finite number of seconds of at least one "
        "sample");
  }
  return static_cast<std::int64_t>(n);
}

models::dualis::DualisOptions controller_options(const StreamOptions& o, std::int64_t max) {
  models::dualis::DualisOptions c = o.engines;
  c.sample_rate = o.sample_rate;
  c.language = o.language;
  c.hotwords = o.hotwords;
  c.max_silence_duration = o.endpoint.silence_timeout;
  c.max_audio_samples = max;
  return c;
}

std::shared_ptr<utils::vad::VADConfig> vad_config(const utils::vad::VADConfigFields& fields) {
  auto config = std::make_shared<utils::vad::VADConfig>(fields);
  // Settings without valid frame counts fail here, not on the first frame.
  (void)config->silence_frames();
  (void)config->padding_frames();
  return config;
}

EndReason reason_of(FinalizationReason r) {
  return r == FinalizationReason::max_samples_reached ? EndReason::max_samples_reached
                                                      : EndReason::silence_timeout;
}

// The offline engine's word times ({"word", "start", "end"[, "confidence"]}, seconds of the
// utterance) as times of the stream within [start, end]. Entries that are not such words are
// left out: an engine's odd record never costs the final.
std::vector<Word> words_of(const models::TranscriptionResult& record, double start, double end) {
  std::vector<Word> words;
  if (!record.is_object()) return words;
  const auto list = record.find("words");
  if (list == record.end() || !list->is_array()) return words;
  const auto number = [](const nlohmann::ordered_json& w, const char* key) {
    const auto it = w.find(key);
    return it != w.end() && it->is_number() ? it->get<double>() : std::nan("");
  };
  for (const auto& w : *list) {
    if (!w.is_object()) continue;
    const auto word = w.find("word");
    const double s = number(w, "start"), e = number(w, "end"), c = number(w, "confidence");
    if (word == w.end() || !word->is_string() || !std::isfinite(s) || !std::isfinite(e)) continue;
    Word out;
    out.word = word->get<std::string>();
    out.start = std::clamp(start + s, start, end);
    out.end = std::clamp(start + e, out.start, end);
    if (std::isfinite(c)) out.confidence = std::clamp(c, 0.0, 1.0);
    words.push_back(std::move(out));
  }
  std::stable_sort(words.begin(), words.end(),
                   [](const Word& a, const Word& b) { return a.start < b.start; });
  return words;
}

}  // namespace

std::string_view name_of(EndReason reason) noexcept {
  switch (reason) {
    case EndReason::speech_ended:
      return "speech_ended";
    case EndReason::max_samples_reached:
      return "max_samples_reached";
    case EndReason::silence_timeout:
      return "silence_timeout";
    case EndReason::end_of_stream:
      return "end_of_stream";
    case EndReason::shutdown:
      return "shutdown";
  }
  return "unknown";
}

Stream::Stream(StreamOptions options)
    : options_(checked(std::move(options))),
      max_samples_(samples_of(options_.endpoint.max_utterance, options_.sample_rate)),
      dualis_(controller_options(options_, max_samples_)),
      detector_(vad_config(options_.vad)),
      hotwords_(dualis_.get_hotwords()),
      carry_(detector_.config->frame_size) {}

Stream::~Stream() = default;

void Stream::load() { dualis_.load(); }

double Stream::seconds(std::int64_t samples) const noexcept {
  return static_cast<double>(samples) / options_.sample_rate;
}

void Stream::check_usable() {
  if (broken_) std::rethrow_exception(broken_);
  if (ending_) throw std::logic_error("quern::Stream: audio after finish()");
  if (preparing_) throw std::logic_error("quern::Stream: prepare() waits for its feed_judged()");
}

Update Stream::feed(std::span<const float> samples) {
  utils::MutexLock lock(mutex_);
  check_usable();
  const utils::AudioSamples frames = prepare_locked(samples);
  const std::size_t f = carry_.frame_size();
  verdicts_.clear();
  for (std::size_t i = 0; i + f <= frames.size(); i += f) {
    verdicts_.push_back(detector_.process_frame(frames.slice(i, i + f)));
  }
  judge();
  Update update;
  run(update);
  return deliver(std::move(update));
}

utils::AudioSamples Stream::prepare(std::span<const float> samples) {
  return prepare(std::vector<float>(samples.begin(), samples.end()));
}

utils::AudioSamples Stream::prepare(std::vector<float>&& samples) {
  utils::MutexLock lock(mutex_);
  check_usable();
  utils::AudioSamples frames = prepare_locked(std::move(samples));
  awaiting_ = frames.size() / carry_.frame_size();
  preparing_ = true;
  verdicts_.clear();
  return frames;
}

utils::AudioSamples Stream::prepare_locked(std::span<const float> samples) {
  if (head_ > 0) {  // audio that waited behind a final moves to the front once
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(head_));
    head_ = 0;
  }
  pending_.insert(pending_.end(), samples.begin(), samples.end());
  received_ += static_cast<std::int64_t>(samples.size());
  return carry_.take(samples);
}

utils::AudioSamples Stream::prepare_locked(std::vector<float>&& samples) {
  if (!pending_.empty()) return prepare_locked(std::span<const float>(samples));
  // Nothing waits: the chunk's own storage becomes the stream's (and later the controller's).
  pending_.swap(samples);
  head_ = 0;
  received_ += static_cast<std::int64_t>(pending_.size());
  return carry_.take(pending_);
}

Update Stream::feed_judged() {
  utils::MutexLock lock(mutex_);
  if (broken_) std::rethrow_exception(broken_);
  if (!preparing_) throw std::logic_error("quern::Stream: feed_judged() without prepare()");
  if (verdicts_.size() != awaiting_) {
    throw std::invalid_argument("quern::Stream: " + std::to_string(verdicts_.size()) +
                                " verdicts for " + std::to_string(awaiting_) + " frames");
  }
  preparing_ = false;
  judge();
  Update update;
  run(update);
  return deliver(std::move(update));
}

Update Stream::deliver(Update update) {
  // A failure in this call ends the stream; the finals it made first still reach the host, and
  // the next call reports the failure.
  if (broken_ && update.finals.empty()) std::rethrow_exception(broken_);
  return update;
}

void Stream::judge() {
  const auto f = static_cast<std::int64_t>(carry_.frame_size());
  for (const auto& [speech, ended] : verdicts_) {
    const std::int64_t end = ++frames_judged_ * f;
    if (speech != frame_speech_) {
      marks_.push_back({speech ? Mark::speech_on : Mark::speech_off, speech ? end - f : end});
    }
    if (ended && !frame_ended_) marks_.push_back({Mark::ended, end});
    frame_speech_ = speech;
    frame_ended_ = ended;
  }
  // Every sample given so far may be fed: a speech end judged later lies beyond them all.
  ready_ = received_;
}

void Stream::run(Update& update) {
  for (;;) {
    if (broken_ || finalizing_) return;
    if (due_) {
      if (options_.defer_finals) {
        update.final_due = true;
        return;
      }
      finalize(update);
      continue;
    }
    if (fed_ < ready_) {
      // Up to the next end of speech, or the utterance's limit, whichever comes first.
      std::int64_t end = ready_;
      for (std::size_t i = marks_head_; i < marks_.size(); ++i) {
        if (marks_[i].kind == Mark::ended && marks_[i].at > fed_) {
          end = std::min(end, marks_[i].at);
          break;
        }
      }
      if (fed_ - utterance_start_ < max_samples_) {
        end = std::min(end, utterance_start_ + max_samples_);
      }
      if (!feed_piece(end, ending_.has_value() && end == ready_, update)) return;
      continue;
    }
    if (ending_ && !finished_) {
      if (fed_ > utterance_start_ && heard_speech_) {
        due_.emplace(*ending_, std::string(name_of(*ending_)));
        continue;
      }
      finished_ = true;  // what is left held no speech: no final for it
    }
    return;
  }
}

bool Stream::feed_piece(std::int64_t end, bool is_final, Update& update) {
  const auto n = static_cast<std::size_t>(end - fed_);
  std::vector<float> piece;
  if (head_ == 0 && n == pending_.size()) {
    piece.swap(pending_);  // the usual case, a whole chunk: its storage goes to the controller
  } else {
    const auto first = pending_.begin() + static_cast<std::ptrdiff_t>(head_);
    piece.assign(first, first + static_cast<std::ptrdiff_t>(n));
    head_ += n;
    if (head_ == pending_.size()) {
      pending_.clear();
      head_ = 0;
    }
  }
  const utils::AudioSamples audio(std::move(piece));
  fed_ = end;
  bool speech_ended = false;
  for (; marks_head_ < marks_.size(); ++marks_head_) {
    const Mark& m = marks_[marks_head_];
    // Speech that starts at the cut belongs to the next utterance.
    if (m.at > fed_ || (m.at == fed_ && m.kind == Mark::speech_on)) break;
    if (m.kind == Mark::speech_on) speaking_ = heard_speech_ = true;
    if (m.kind == Mark::speech_off) speaking_ = false;
    if (m.kind == Mark::ended) speech_ended = m.at == fed_;
  }
  if (marks_head_ == marks_.size()) {
    marks_.clear();
    marks_head_ = 0;
  }

  models::dualis::StreamStep step;
  try {
    step = dualis_.stream_step(audio, is_final, options_.language);
  } catch (...) {
    broken_ = std::current_exception();  // the streaming engine's state is unknown now
    return false;
  }
  if (n > 0) {  // (the end's empty piece only tells the engine: its final comes next)
    update.partial = Partial{.segment = segment_, .time = seconds(fed_), .results = {}};
    update.partial->results = std::move(step.results);
  }
  // Without a streaming engine the controller decides nothing while feeding: ask it.
  if (!step.check.needed && fed_ - utterance_start_ >= max_samples_) {
    step.check = dualis_.check_finalization();
  }
  if (step.check.needed) {
    due_.emplace(reason_of(step.check.reason), std::move(step.check.text));
  } else if (speech_ended) {
    due_.emplace(EndReason::speech_ended, "speech_ended");
  }
  return true;
}

void Stream::finalize(Update& update) {
  Final final;
  final.segment = segment_;
  final.start = seconds(utterance_start_);
  final.end = seconds(fed_);
  final.reason = due_->first;
  final.reason_text = std::move(due_->second);
  // The offline pass runs without the stream's mutex: audio that arrives meanwhile waits (no
  // feeding while finalizing_), and a second finaliser finds nothing to do.
  finalizing_ = true;
  mutex_.unlock();
  models::dualis::Refinement refined;
  try {
    const double started = quern_clock::now();
    try {
      refined = dualis_.finalize_with(options_.language);
    } catch (const std::exception& e) {
      final.error = *e.what() ? e.what() : "the offline pass failed";
    } catch (...) {
      final.error = "the offline pass failed";
    }
    final.finalize_seconds = quern_clock::now() - started;
  } catch (...) {
    // Only keeping the error's text can fail here (memory): the mutex is taken back regardless.
  }
  mutex_.lock();
  finalizing_ = false;
  due_.reset();
  final.text = std::move(refined.text);
  final.words = words_of(refined.offline, final.start, final.end);

  // The next utterance, with the stream's hotwords back in the controller.
  try {
    dualis_.reset();
    dualis_.set_hotwords(hotwords_);
  } catch (...) {
    broken_ = std::current_exception();  // this call still returns its final
  }
  ++segment_;
  utterance_start_ = fed_;
  heard_speech_ = speaking_;
  if (update.partial && update.partial->segment <= final.segment) update.partial.reset();
  update.finals.push_back(std::move(final));
}

Update Stream::poll() {
  utils::MutexLock lock(mutex_);
  if (broken_) std::rethrow_exception(broken_);
  Update update;
  if (ending_) return update;
  run(update);
  // Audio in which the detector heard no speech (the pause after a sentence) is no utterance of
  // its own: it waits for the speech that follows, as at finish().
  if (!broken_ && !due_ && !finalizing_ && fed_ > utterance_start_ && heard_speech_) {
    models::dualis::FinalizationCheck check = dualis_.check_finalization();
    if (check.needed) {
      due_.emplace(reason_of(check.reason), std::move(check.text));
      run(update);
    }
  }
  return deliver(std::move(update));
}

Update Stream::finish(EndReason why) {
  if (why != EndReason::end_of_stream && why != EndReason::shutdown) {
    throw std::invalid_argument("quern::Stream: finish() takes end_of_stream or shutdown");
  }
  utils::MutexLock lock(mutex_);
  if (broken_) std::rethrow_exception(broken_);
  Update update;
  if (ending_) return update;
  ending_ = why;
  // Frames handed out but never judged, and the part frame in the carry, are fed as they are.
  preparing_ = false;
  awaiting_ = 0;
  carry_.reset();
  ready_ = received_;
  // The streaming engine hears of the end with the last audio; when none waits, with no audio.
  if (fed_ == ready_ && fed_ > utterance_start_ && !due_ && !finalizing_) {
    feed_piece(fed_, true, update);
  }
  run(update);
  return deliver(std::move(update));
}

bool Stream::final_due() {
  utils::MutexLock lock(mutex_);
  return due_.has_value() && !finalizing_;
}

Update Stream::finalize_due() {
  utils::MutexLock lock(mutex_);
  if (broken_) std::rethrow_exception(broken_);
  Update update;
  if (!due_ || finalizing_) return update;
  finalize(update);
  run(update);
  return deliver(std::move(update));
}

std::exception_ptr Stream::failure() {
  utils::MutexLock lock(mutex_);
  return broken_;
}

std::int64_t Stream::segment() {
  utils::MutexLock lock(mutex_);
  return segment_;
}

bool Stream::finished() {
  utils::MutexLock lock(mutex_);
  return finished_;
}

}  // namespace quern
