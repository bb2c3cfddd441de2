// Dualis: the two-pass recognition controller of one session (one client audio stream).
//
// Every chunk goes through stream_generate(): it is kept in the utterance buffer, the controller
// decides whether the utterance should now be finalised (sample limit, silence timeout), and the
// streaming engine gives partial results. When the host calls finalize(), the whole buffered
// utterance is recognised again by the offline engine and punctuated into the final text. reset()
// prepares the next utterance.
//
//   Dualis session({.model_type = "paraformer_funasr", .hotwords = "alpha beta"});
//   session.load();
//   auto [partials, needs_finalization] = session.stream_generate(chunk);
//   if (needs_finalization) text = session.finalize();
//   session.reset();
//
// Thread safety (docs/concurrency.md): one thread feeds the chunks of a session (stream_generate,
// in order, never overlapping); other threads may at the same time call
// check_finalization_needed(), finalize(), offline_refine(), get_audio_buffer(),
// get_audio_buffer_length(), clear_audio_buffer(), load() and set_hotwords(). reset() must not
// overlap stream_generate() (it is normally called by the feeding thread between utterances); it
// waits for a finalize() or offline_refine() that is running, and one that starts while reset()
// runs waits for it, so a refinement never sees a half-reset session. An engine becomes visible to
// other threads only once its load() has returned: a call that needs an engine while load() runs on
// another thread waits for it. `audio_lock` guards the buffer, `_finalize_lock` the finalised flag;
// neither is ever held while an engine runs, and no call holds both. Engines are created at most
// once each and are never replaced, so a pointer to one stays valid for the controller's life.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "models/base_asr.h"
#include "models/punctuation.h"
#include "models/results.h"
#include "platform/quern_config.h"
#include "utils/audio_samples.h"
#include "utils/export.h"
#include "utils/thread_annotations.h"

namespace models::dualis {

// The controller's settings, in constructor order. Callers name what they change:
//   Dualis d({.model_type = "moonshine", .max_silence_duration = 2.0});
struct DualisOptions {
  std::string model_type =
      std::string(quern_config::value(quern_config::ModelType::PARAFORMER_FUNASR));
  std::string stream_model =
      "iic/speech_paraformer-large_asr_nat-zh-cn-16k-common-vocab8404-online";
  std::string stream_model_path = "";
  std::optional<std::string> stream_revision = "v2.0.4";  // absent is handed on as ""
  std::string offline_model =
      "iic/speech_paraformer-large_asr_nat-zh-cn-16k-common-vocab8404-pytorch";
  std::string offline_model_path = "";
  std::optional<std::string> offline_revision = "v2.0.4";
  std::string punc_model = "iic/punc_ct-transformer_zh-cn-common-vad_realtime-vocab272727";
  std::string punc_model_path = "";  // stored only
  std::optional<std::string> punc_revision = "v2.0.4";
  std::string device = "cpu";
  std::vector<int> chunk_size = {0, 10, 5};
  int encoder_chunk_look_back = 4;
  int decoder_chunk_look_back = 1;
  double max_silence_duration = 3.0;        // seconds without a new chunk before finalising
  std::int64_t max_audio_samples = 480000;  // buffered samples at which to finalise
  int sample_rate = 16000;                  // Hz, handed to the engines that take it
  bool enable_2pass = true;
  std::string stream_tokens = "";
  std::string offline_tokens = "";
  int num_threads = 2;
  bool use_itn = true;
  std::string language = "auto";  // handed to the engines at creation
  std::string vad_model = "";
  std::string vad_model_path = "";  // stored only
  double vad_threshold = 0.5;
  double vad_min_silence_duration = 0.5;  // seconds
  double vad_min_speech_duration = 0.25;  // seconds
  double vad_max_speech_duration = 15.0;  // seconds
  std::string hotwords = "";              // words separated by whitespace
};

// Raised by load() when a SenseVoice engine is needed and its runtime is missing.
class DUALIS_API ImportError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
  ~ImportError() override;
};

// An engine field: absent until load() has created the engine and its load() has returned (or
// failed), then that engine for the controller's life. Reads need no lock: they see either absent
// or an engine whose load() is over.
template <class T>
class EngineSlot {
 public:
  T* get() const noexcept { return ptr_.load(std::memory_order_acquire); }
  T* operator->() const noexcept { return get(); }
  T& operator*() const noexcept { return *get(); }
  explicit operator bool() const noexcept { return get() != nullptr; }
  bool operator==(std::nullptr_t) const noexcept { return get() == nullptr; }

 private:
  friend class Dualis;
  // Whether an engine has been created, loaded or not. REQUIRES: the controller's load lock.
  bool stored() const noexcept { return owner_ != nullptr; }
  // Stores `engine`, runs its load() and only then makes it visible to readers, whether load()
  // returned or failed: no reader meets an engine that is still loading, and an engine whose
  // load() failed stays stored and is not loaded again. REQUIRES: the controller's load lock.
  void store_and_load(std::unique_ptr<T> engine) {
    owner_ = std::move(engine);
    if (!owner_) return;
    struct Publish {
      EngineSlot& slot;
      ~Publish() { slot.ptr_.store(slot.owner_.get(), std::memory_order_release); }
    } publish{*this};
    owner_->load();
  }
  std::unique_ptr<T> owner_;
  std::atomic<T*> ptr_{nullptr};
};

// Why the controller asks for finalisation, as a value; check_finalization_needed() gives the same
// decision as text.
enum class FinalizationReason {
  none,                 // not needed ("")
  already_finalized,    // finalize() ran for this utterance ("already_finalized")
  empty_buffer,         // nothing buffered ("empty_buffer")
  max_samples_reached,  // the buffer reached max_audio_samples ("max_samples_reached(T>=M)")
  silence_timeout,      // no chunk for max_silence_duration ("silence_timeout(Es>=Ds)")
};

struct FinalizationCheck {
  bool needed = false;
  FinalizationReason reason = FinalizationReason::none;
  std::string text;  // exactly check_finalization_needed()'s reason
};

// One chunk through stream_step(): the streaming engine's results and the decision taken for it.
struct StreamStep {
  ResultList results;
  FinalizationCheck check;  // what stream_generate() reports as needs_finalization, with its reason
};

// What finalize_with() did.
struct Refinement {
  bool finalized = false;  // false: the utterance was already finalised (text empty)
  std::string text;        // the final text, as finalize() returns it
  // The first record of the offline engine's result as the engine gave it (its "words" among
  // other keys, when it gives them); null when the engine did not run or returned no record.
  TranscriptionResult offline;
};

class DUALIS_API Dualis {
 public:
  // Stores the settings; creates no engine and logs nothing.
  explicit Dualis(DualisOptions options = {});
  ~Dualis();
  Dualis(const Dualis&) = delete;
  Dualis& operator=(const Dualis&) = delete;

  // Creates and loads the engines that are still absent (streaming; offline when enable_2pass;
  // punctuation when punc_model_name is set). Engine failures propagate. One load() at a time:
  // a second caller waits for the first.
  void load() QUERN_EXCLUDES(_load_lock);
  // Hands the current hotword list to the engines that have a hotwords attribute.
  void _sync_hotwords();
  // Prepares the next utterance: clears the flag, hotwords, buffer and last-audio time and resets
  // each engine. Waits for a running finalize() / offline_refine() to return first.
  // REQUIRES: no concurrent stream_generate(); not called from inside an engine.
  void reset() QUERN_EXCLUDES(_refine_lock, audio_lock, _finalize_lock);

  void append_audio(const utils::AudioSamples& audio) QUERN_EXCLUDES(audio_lock);
  // The whole buffered utterance as one array (a copy); empty float64 when nothing is buffered.
  utils::AudioSamples get_audio_buffer() QUERN_EXCLUDES(audio_lock);
  std::int64_t get_audio_buffer_length() QUERN_EXCLUDES(audio_lock);
  void clear_audio_buffer() QUERN_EXCLUDES(audio_lock);

  // (needs_finalization, reason): "already_finalized", "empty_buffer",
  // "max_samples_reached(T>=M)", "silence_timeout(Es>=Ds)" or "". Changes no state.
  std::pair<bool, std::string> check_finalization_needed()
      QUERN_EXCLUDES(audio_lock, _finalize_lock);
  // Buffers the chunk, decides on finalisation, runs the streaming engine.
  // Returns (the engine's results unchanged, needs_finalization).
  std::pair<ResultList, bool> stream_generate(const utils::AudioSamples& audio,
                                              bool is_final = false,
                                              const std::string& language = "zh");
  // check_finalization_needed() with its reason as a value. Logs as it does.
  FinalizationCheck check_finalization() QUERN_EXCLUDES(audio_lock, _finalize_lock);
  // stream_generate() with the reason of its decision: the same calls, messages and results.
  StreamStep stream_step(const utils::AudioSamples& audio, bool is_final = false,
                         const std::string& language = "zh");

  // The buffered utterance recognised by the offline engine and punctuated; "" when nothing is
  // refined. May run any number of times, also concurrently.
  std::string offline_refine(const std::string& language = "zh") QUERN_EXCLUDES(_refine_lock);
  // offline_refine("zh") once per utterance; further calls return "" until reset().
  std::string finalize() QUERN_EXCLUDES(_refine_lock, _finalize_lock);
  // finalize() with the language handed to the offline and punctuation engines, and the offline
  // engine's own record beside the text: the same once-per-utterance rule, calls and messages.
  Refinement finalize_with(const std::string& language)
      QUERN_EXCLUDES(_refine_lock, _finalize_lock);

  // Replaces the hotword list; safe while other threads use the controller. (Writing `hotwords`
  // directly is safe only while no other thread calls into the controller.)
  void set_hotwords(std::vector<std::string> words) QUERN_EXCLUDES(_hotwords_lock);
  // A copy of the hotword list; safe while other threads use the controller.
  std::vector<std::string> get_hotwords() QUERN_EXCLUDES(_hotwords_lock);

  // Settings.
  std::string model_type;
  std::string stream_model_name;
  std::string stream_model_path;
  std::optional<std::string> stream_revision;
  std::string offline_model_name;
  std::string offline_model_path;
  std::optional<std::string> offline_revision;
  std::string punc_model_name;
  std::string punc_model_path;
  std::optional<std::string> punc_revision;
  std::string device;
  std::vector<int> chunk_size;
  int encoder_chunk_look_back;
  int decoder_chunk_look_back;
  double max_silence_duration;
  std::int64_t max_audio_samples;
  int sample_rate;
  bool enable_2pass;
  std::string stream_tokens;
  std::string offline_tokens;
  int num_threads;
  bool use_itn;
  std::string language;
  std::string vad_model;
  std::string vad_model_path;
  double vad_threshold;
  double vad_min_silence_duration;
  double vad_min_speech_duration;
  double vad_max_speech_duration;
  std::vector<std::string> hotwords QUERN_GUARDED_BY(_hotwords_lock);

  // Session state.
  EngineSlot<BaseASR> stream_asr;
  EngineSlot<BaseASR> offline_asr;
  EngineSlot<PunctuationModel> punc_model;
  std::vector<utils::AudioSamples> audio_buffer QUERN_GUARDED_BY(audio_lock);
  utils::Mutex audio_lock;
  bool _is_finalized QUERN_GUARDED_BY(_finalize_lock) = false;
  utils::Mutex _finalize_lock;
  std::atomic<double> _last_audio_time{0.0};    // quern_clock seconds; 0.0: no chunk yet
  std::atomic<std::int64_t> _total_samples{0};  // changed only under audio_lock

 private:
  void load_locked() QUERN_REQUIRES(_load_lock);
  std::unique_ptr<BaseASR> create_stream_engine();
  std::unique_ptr<BaseASR> create_offline_engine();
  Refinement refine_locked(const std::string& language) QUERN_REQUIRES_SHARED(_refine_lock);

  utils::Mutex _load_lock;      // serialises load(); held across engine construction and loading
  utils::Mutex _hotwords_lock;  // guards `hotwords`; never held across an engine call
  // Held shared by each refinement (finalize, offline_refine) for its whole run and exclusively
  // by reset(), so that reset() never clears a session under a running refinement.
  utils::SharedMutex _refine_lock;
};

}  // namespace models::dualis
