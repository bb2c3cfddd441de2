// The Moonshine runtime as the engines see it: the entry points they call, as a small C++
// interface. An adapter library (SONAME libquern_moonshine.so.1) implements it over the real
// runtime and exports one factory, `quern_moonshine_runtime_v1`, returning the entry-point table;
// libnightjar binds it on first use (see availability.h).
//
// Thread safety: the engines serialise every call on one Transcriber (see model_cache.h), so an
// adapter need not make a Transcriber safe for concurrent calls. The three entry points may be
// called from any thread, one at a time (under the engines' cache lock).
#pragma once

#include <memory>
#include <span>
#include <string>
#include <vector>

#include "utils/export.h"

namespace models::nightjar::runtime {

struct TranscriptLine {
  std::string text;
};

struct Transcript {
  std::vector<TranscriptLine> lines;
};

class QUERN_VISIBLE Transcriber {
 public:
  virtual ~Transcriber() = default;
  // Recognises a whole utterance of float32 samples in [-1, 1].
  virtual Transcript transcribe_without_streaming(std::span<const float> audio, int sample_rate,
                                                  int flags) = 0;
  // The transcriber's stream: open, append samples, close.
  virtual void start() = 0;
  virtual void add_audio(std::span<const float> audio, int sample_rate) = 0;
  virtual void stop() = 0;
};

class QUERN_VISIBLE TranscriptEventListener {
 public:
  virtual ~TranscriptEventListener() = default;
};

// The entry points. get_model_for_language returns the runtime's values for a language: a model
// path and a model architecture, in that order (anything else is an error).
struct Api {
  std::unique_ptr<runtime::Transcriber> (*Transcriber)(const std::string& model_path,
                                                       const std::string& model_arch) = nullptr;
  std::unique_ptr<runtime::TranscriptEventListener> (*TranscriptEventListener)() = nullptr;
  std::vector<std::string> (*get_model_for_language)(const std::string& language) = nullptr;
};

inline constexpr const char* kAdapterSoname = "libquern_moonshine.so.1";
inline constexpr const char* kAdapterEntry = "quern_moonshine_runtime_v1";
using AdapterEntry = const Api* (*)();

}  // namespace models::nightjar::runtime
