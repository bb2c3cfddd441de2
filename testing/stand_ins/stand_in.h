// The stand-ins' journal and scripting. The stand-in engines, punctuation model, normalize_audio
// and packaged-model locator (provided through the host seam by stand_in::install(), see
// stand_in_engine.h) are test doubles for what a real host provides: every
// call they receive is written to one process-wide journal, and each (class, operation) pair can be
// scripted to return given results, fail, take time on the manual clock, or run a callback.
//
// Journal entries name the class ("ParaformerStreamASR", "PunctuationModel", "normalize_audio",
// "load_silero_vad", ...), the operation ("construct", "load", "reset", "stream_generate",
// "transcribe", "generate", "hotwords", "call") and the arguments by name, in order, as text:
// strings as they are, booleans as true/false, numbers in their shortest form, lists as [a, b],
// hotword lists as ['a', 'b'], model types by value, and audio as
// "AudioSamples(len=N, dtype=float32, fnv=xxxxxxxx)" (FNV-1a of the sample bytes).
//
// Thread safety: every function may be called concurrently; the journal keeps the order in which
// calls arrived.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "models/results.h"
#include "utils/audio_samples.h"
#include "utils/export.h"

namespace stand_in {

struct QUERN_STAND_IN_API Call {
  std::string engine;
  std::string op;
  std::vector<std::pair<std::string, std::string>> args;

  // The value of argument `name`; throws std::out_of_range when absent.
  const std::string& arg(std::string_view name) const;
  // "Engine.op(name=value, ...)"
  std::string str() const;
};

// What a scripted call does, in this order: run `callback`, let `elapsed` seconds pass (on the
// manual clock when it is in use, else by sleeping), fail with std::runtime_error(`error`), or
// return the scripted value (`results` for stream_generate/transcribe, `text` for generate,
// `audio` for normalize_audio). Unscripted parts fall back to the default behaviour.
struct Behaviour {
  std::function<void()> callback = {};
  double elapsed = 0.0;                   // seconds
  std::optional<std::string> error = {};  // message of the std::runtime_error thrown
  std::optional<models::ResultList> results = {};
  std::optional<std::string> text = {};
  std::optional<utils::AudioSamples> audio = {};
  bool yields_none = false;  // "create": the factory yields no engine; "load_silero_vad": no model
};

// Every later call of `op` on `engine` behaves as `b`, until replaced or clear()ed.
QUERN_STAND_IN_API void on(std::string_view engine, std::string_view op, Behaviour b);
// The next call only (queued ahead of any `on` behaviour; several `once` calls queue up).
QUERN_STAND_IN_API void once(std::string_view engine, std::string_view op, Behaviour b);

// Whether instances of `engine` created from now on have a hotwords attribute. By default the
// Paraformer engines have one and the SenseVoice engines do not.
QUERN_STAND_IN_API void set_has_hotwords(std::string_view engine, bool has);
QUERN_STAND_IN_API bool has_hotwords_switch(std::string_view engine);

// Silent mode, for benchmarks and load tests: the stand-in engines, the punctuation model and
// normalize_audio neither journal nor consult scripts; the engines answer at once with empty
// results (generate returns its input) and normalize_audio does its work. Off by default;
// clear() turns it off.
QUERN_STAND_IN_API void set_silent(bool silent);
QUERN_STAND_IN_API bool silent() noexcept;

// The journal records calls only while it is on: off by default, so that a host or a tool that
// runs on the stand-ins keeps constant memory (scripts apply either way). The test executables
// turn it on; clear() leaves the switch as it is.
QUERN_STAND_IN_API void set_journal(bool on);
QUERN_STAND_IN_API bool journaling() noexcept;

QUERN_STAND_IN_API std::vector<Call> journal();
QUERN_STAND_IN_API std::vector<Call> journal_of(std::string_view engine);
QUERN_STAND_IN_API void clear_journal();

// Empties the journal, drops all scripts, restores the hotword defaults and sets
// SENSEVOICE_AVAILABLE back to true.
QUERN_STAND_IN_API void clear();

// Used by the stand-ins themselves: journal the call (when the journal is on), then apply its
// script. Returns the
// behaviour that applied (after its callback, elapsed time and error have been carried out).
QUERN_STAND_IN_API Behaviour record(std::string_view engine, std::string_view op,
                                    std::vector<std::pair<std::string, std::string>> args);

// Text forms used in journal entries. describe(audio) hashes every sample: call it only while
// journaling().
QUERN_STAND_IN_API std::string describe(const utils::AudioSamples& audio);
QUERN_STAND_IN_API std::string describe(const std::vector<std::string>& words);
QUERN_STAND_IN_API std::string describe(const std::vector<int>& values);

}  // namespace stand_in
