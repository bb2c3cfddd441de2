// quern::Stream: the recognition of one client audio stream, the loop every host used to write by
// hand. It owns the stream's two-pass controller (Dualis), its voice activity detector, the frame
// carry between chunks, the endpoint rules and the utterance numbering; the host only moves audio
// in and results out:
//
//   quern::Stream stream({.vad = {.use_model = true}, .hotwords = "quern dualis"});
//   for (const auto& chunk : chunks) {
//     quern::Update update = stream.feed(chunk);        // 16 kHz float samples, any length
//     for (const quern::Final& f : update.finals) send(f);
//     if (update.partial) send(*update.partial);
//   }
//   for (const quern::Final& f : stream.finish().finals) send(f);
//
// Utterances end where the detector hears the end of speech (at that very frame, whatever the
// chunking), where the controller's sample limit is reached (exactly at it), when the host's
// poll() finds the silence timeout passed, and at finish(). Every utterance ends with exactly one
// final, in order; finals tile the stream (each starts where the one before ended), except that
// audio after the last utterance in which the detector heard no speech gets no final at
// finish(). Feeding the same audio in chunks of any sizes gives the same finals.
//
// Per-stream settings hold for the whole stream: the hotwords reach the engines in every
// utterance (the controller's reset() empties its list; the stream gives it back), and the
// language reaches the streaming pass, the offline pass and the punctuation.
//
// Two ways to finalise. By default a call that ends an utterance runs its offline pass at once
// and returns the final. With `defer_finals`, feed(), feed_judged(), poll() and finish() stop at
// an utterance's end instead (Update::final_due; audio that arrives meanwhile waits in the
// stream) and the host runs finalize_due() where it likes, e.g. on a pool of its own.
//
// Thread safety: calls on one stream are serialised by its own mutex and may come from any
// thread; the offline pass runs outside it, so a feed(), poll() or finish() during another
// thread's offline pass returns at once (its audio, and its end, wait; the finalising call goes
// on with them and returns what follows). Feed from one thread at a
// time, in order: feed(), prepare()/feed_judged() and finish() carry the stream's order.
// detector() is for the host's batched detection between prepare() and feed_judged() only.
// Different streams are independent.
#pragma once

#include <cstdint>
#include <exception>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "models/dualis/dualis.h"
#include "models/results.h"
#include "stream/end_reason.h"
#include "utils/audio_samples.h"
#include "utils/export.h"
#include "utils/thread_annotations.h"
#include "utils/vad/frame_carry.h"
#include "utils/vad/vad_config.h"
#include "utils/vad/vad_detector.h"

namespace quern {

// One recognised word of a final, as the offline engine timed it.
struct Word {
  std::string word;
  double start = 0;                  // seconds of the stream, within its final's [start, end]
  double end = 0;                    // seconds of the stream, >= start
  std::optional<double> confidence;  // in [0, 1], when the engine gives one
};

// The final result of one utterance.
struct Final {
  std::int64_t segment = 0;  // the utterance's number, from 0
  std::string text;          // the offline pass's punctuated text ("" when it failed)
  double start = 0;          // seconds of the stream where the utterance began
  double end = 0;            // seconds of the stream where it ended
  EndReason reason = EndReason::speech_ended;
  std::string reason_text;      // name_of(reason), or the controller's own text for its two reasons
  std::vector<Word> words;      // ordered by start; empty when the engine gives no word times
  double finalize_seconds = 0;  // how long the offline pass took (the engine layer's clock)
  std::string error;            // the offline pass failed: what it said ("" otherwise)
};

// The streaming pass's results for the audio a call fed last.
struct Partial {
  std::int64_t segment = 0;    // the utterance they belong to
  double time = 0;             // seconds of the stream fed so far
  models::ResultList results;  // the streaming engine's records, unchanged
};

// What one call produced, in order: the finals of the utterances it ended, then the partial of
// the open utterance (absent when the call fed no audio to it).
struct Update {
  std::vector<Final> finals;
  std::optional<Partial> partial;
  bool final_due = false;  // with defer_finals: an utterance ended; call finalize_due()
};

// When an utterance ends besides the detector's end of speech.
struct EndpointOptions {
  double silence_timeout = 3.0;  // seconds without new audio (checked by poll())
  double max_utterance = 30.0;   // seconds of audio at which an utterance ends
};

// A stream's settings. Callers name what they change:
//   quern::Stream stream({.language = "en", .endpoint = {.silence_timeout = 2.0}});
struct StreamOptions {
  // The controller's settings (engine family, models, ...). Its sample_rate, language, hotwords,
  // max_silence_duration and max_audio_samples are taken from the fields below.
  models::dualis::DualisOptions engines = {};
  // The detector's settings; its sample_rate is the stream's.
  utils::vad::VADConfigFields vad = {};
  EndpointOptions endpoint = {};
  int sample_rate = 16000;        // Hz of the samples fed; REQUIRES: > 0
  std::string language = "auto";  // handed to both passes and the punctuation
  std::string hotwords = "";      // words separated by whitespace, for every utterance
  bool defer_finals = false;      // leave each offline pass to finalize_due()
};

class QUERN_STREAM_API Stream {
 public:
  // Makes the controller and the detector (which loads the VAD model, or falls back to energy
  // detection with its warning). Loads no recognition engine. Throws std::invalid_argument for a
  // sample rate below 1, a silence timeout that is negative or not finite, a longest utterance
  // under one sample or not finite, or VAD settings that give no valid frame counts.
  explicit Stream(StreamOptions options = {});
  ~Stream();
  Stream(const Stream&) = delete;
  Stream& operator=(const Stream&) = delete;

  // Loads the engines now (otherwise the first audio does). Engine failures propagate.
  void load();

  // Judges the samples' whole frames (the rest waits for the next chunk), feeds them to the
  // controller up to the next utterance end, and finalises. REQUIRES: not finished
  // (std::logic_error otherwise), no prepare() waiting for its feed_judged().
  Update feed(std::span<const float> samples) QUERN_EXCLUDES(mutex_);

  // The silence timeout, for a host with a timer: feeds audio that waited behind a final, then
  // ends the utterance when no audio has come for the timeout — unless the detector heard no
  // speech in it (a pause after a sentence waits for the next one). Nothing after finish().
  Update poll() QUERN_EXCLUDES(mutex_);

  // The end of the stream: the audio still waiting (a part frame included) is fed and the open
  // utterance finalised with `why` (end_of_stream or shutdown), unless the detector heard no
  // speech in it. Later calls return nothing. REQUIRES: why is end_of_stream or shutdown.
  Update finish(EndReason why = EndReason::end_of_stream) QUERN_EXCLUDES(mutex_);

  // With defer_finals: whether an utterance has ended and waits for finalize_due().
  bool final_due() QUERN_EXCLUDES(mutex_);
  // Runs the due utterance's offline pass (outside the stream's mutex), starts the next
  // utterance and goes on with the audio that waited, up to the next end. Returns nothing when
  // no final is due or another thread is finalising.
  Update finalize_due() QUERN_EXCLUDES(mutex_);

  // Batched detection, for a host that runs many streams' detectors in one
  // utils::vad::process_audio_batch, with each stream's frame verdicts:
  //   frames = stream.prepare(samples);         // the whole frames to judge (may be none)
  //   process_audio_batch({&stream.detector(), ...}, {frames, ...}, {&stream.verdicts(), ...});
  //   update = stream.feed_judged();            // as feed(samples) would have done
  // Between prepare() and feed_judged(), detector() and verdicts() are the host's (and they
  // may pass from thread to thread with the stream); otherwise they are the stream's.
  // REQUIRES (prepare): not finished, no earlier prepare() waiting (std::logic_error).
  utils::AudioSamples prepare(std::span<const float> samples) QUERN_EXCLUDES(mutex_);
  // The same, adopting the vector's storage when no audio waits (no copy).
  utils::AudioSamples prepare(std::vector<float>&& samples) QUERN_EXCLUDES(mutex_);
  utils::vad::VADDetector& detector() noexcept { return detector_; }
  std::vector<std::pair<bool, bool>>& verdicts() noexcept { return verdicts_; }
  // REQUIRES: verdicts() holds one verdict per frame prepare() returned (std::invalid_argument
  // otherwise).
  Update feed_judged() QUERN_EXCLUDES(mutex_);

  // The failure that ended the stream (an engine's error from a streaming pass or a reset), or
  // null. Once set, every call but this one rethrows it; the call it happened in still returns
  // the finals it made before it (and rethrows when there were none).
  std::exception_ptr failure() QUERN_EXCLUDES(mutex_);

  // The open utterance's number, from 0.
  std::int64_t segment() QUERN_EXCLUDES(mutex_);
  // Whether finish() has ended the stream (and no final is due).
  bool finished() QUERN_EXCLUDES(mutex_);
  // The controller, for what the stream does not cover (its engines, its buffer), under its own
  // thread-safety contract: never reset() it or feed it (the stream does), and hotwords set on it
  // last until the utterance ends (the stream then gives back its own).
  models::dualis::Dualis& controller() noexcept { return dualis_; }
  const StreamOptions& options() const noexcept { return options_; }

 private:
  // A change the detector heard, at a sample position of the stream.
  struct Mark {
    enum Kind : std::uint8_t { speech_on, speech_off, ended } kind;
    std::int64_t at;
  };
  utils::AudioSamples prepare_locked(std::span<const float> samples) QUERN_REQUIRES(mutex_);
  utils::AudioSamples prepare_locked(std::vector<float>&& samples) QUERN_REQUIRES(mutex_);
  Update deliver(Update update) QUERN_REQUIRES(mutex_);
  void judge() QUERN_REQUIRES(mutex_);
  void run(Update& update) QUERN_REQUIRES(mutex_);
  // Feeds up to `end`; false when the streaming pass failed (the stream is broken then).
  bool feed_piece(std::int64_t end, bool is_final, Update& update) QUERN_REQUIRES(mutex_);
  void finalize(Update& update) QUERN_REQUIRES(mutex_);
  void check_usable() QUERN_REQUIRES(mutex_);
  double seconds(std::int64_t samples) const noexcept;

  const StreamOptions options_;
  const std::int64_t max_samples_;  // max_utterance in samples
  models::dualis::Dualis dualis_;
  utils::vad::VADDetector detector_;
  std::vector<std::string> hotwords_;  // given back to the controller after every reset

  utils::Mutex mutex_;
  utils::vad::FrameCarry carry_ QUERN_GUARDED_BY(mutex_);
  // Samples given but not yet fed to the controller: pending_[head_...] starts at fed_.
  std::vector<float> pending_ QUERN_GUARDED_BY(mutex_);
  std::size_t head_ QUERN_GUARDED_BY(mutex_) = 0;
  std::int64_t received_ QUERN_GUARDED_BY(mutex_) = 0;  // samples given since the start
  std::int64_t ready_ QUERN_GUARDED_BY(mutex_) = 0;     // samples whose frames are judged
  std::int64_t fed_ QUERN_GUARDED_BY(mutex_) = 0;       // samples fed to the controller
  std::int64_t frames_judged_ QUERN_GUARDED_BY(mutex_) = 0;
  std::size_t awaiting_ QUERN_GUARDED_BY(mutex_) = 0;  // frames prepare() handed out
  bool preparing_ QUERN_GUARDED_BY(mutex_) = false;
  std::vector<Mark> marks_ QUERN_GUARDED_BY(mutex_);  // speech changes not yet fed, in order
  std::size_t marks_head_ QUERN_GUARDED_BY(mutex_) = 0;
  bool frame_speech_ QUERN_GUARDED_BY(mutex_) = false;  // the last judged frame's verdict
  bool frame_ended_ QUERN_GUARDED_BY(mutex_) = false;
  bool speaking_ QUERN_GUARDED_BY(mutex_) = false;  // at fed_
  // The frames' verdicts of the audio prepared last (reused): the detector's in feed(), the
  // host's batch between prepare() and feed_judged().
  std::vector<std::pair<bool, bool>> verdicts_;

  std::int64_t segment_ QUERN_GUARDED_BY(mutex_) = 0;
  std::int64_t utterance_start_ QUERN_GUARDED_BY(mutex_) = 0;
  bool heard_speech_ QUERN_GUARDED_BY(mutex_) = false;  // in the open utterance
  std::optional<std::pair<EndReason, std::string>> due_ QUERN_GUARDED_BY(mutex_);
  bool finalizing_ QUERN_GUARDED_BY(mutex_) = false;
  std::optional<EndReason> ending_ QUERN_GUARDED_BY(mutex_);  // finish() was called
  bool finished_ QUERN_GUARDED_BY(mutex_) = false;
  std::exception_ptr broken_ QUERN_GUARDED_BY(mutex_);  // a failed reset ends the stream
};

}  // namespace quern
