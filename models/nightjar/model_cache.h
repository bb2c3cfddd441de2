// The process-wide transcriber caches of the Moonshine engines and the loading procedure they
// share. Each engine class has its own cache; entries are never removed and live until the
// process ends.
#pragma once

#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <span>
#include <string>

#include "models/nightjar/moonshine_runtime.h"
#include "utils/export.h"
#include "utils/thread_annotations.h"

namespace models::nightjar {

// One cached transcriber. Engines with equal cache keys share it; its mutex serialises their
// calls, since the runtime does not promise that a transcriber may be called concurrently.
class NIGHTJAR_API SharedTranscriber {
 public:
  explicit SharedTranscriber(std::unique_ptr<runtime::Transcriber> transcriber);
  ~SharedTranscriber();
  SharedTranscriber(const SharedTranscriber&) = delete;
  SharedTranscriber& operator=(const SharedTranscriber&) = delete;

  runtime::Transcript transcribe_without_streaming(std::span<const float> audio, int sample_rate,
                                                   int flags);
  void start();
  void add_audio(std::span<const float> audio, int sample_rate);
  void stop();

  // The runtime's object (for tests and diagnostics).
  const runtime::Transcriber* raw() const { return transcriber_.get(); }

 private:
  utils::Mutex mutex_;
  std::unique_ptr<runtime::Transcriber> transcriber_ QUERN_PT_GUARDED_BY(mutex_);
};

struct ModelCache {
  utils::Mutex _cache_lock;  // held while a model loads: each key is loaded once per process
  std::map<std::string, std::shared_ptr<SharedTranscriber>> _model_cache
      QUERN_GUARDED_BY(_cache_lock);
};

// The loading procedure: the cached transcriber for `cache_key`, created for `language` (with
// the two info messages around the creation) when absent. A failure stores nothing.
// REQUIRES: the runtime is available.
std::shared_ptr<SharedTranscriber> load_transcriber(ModelCache& cache, const std::string& cache_key,
                                                    const std::string& language,
                                                    const std::string& loading_message,
                                                    const std::string& loaded_message);

// Whole-utterance recognition of float32 samples: the line texts joined with one space (nothing
// trimmed, empty lines kept) and the call's wall-clock time.
struct TimedText {
  std::string text;
  double elapsed_ms;
};
TimedText transcribe_timed(SharedTranscriber& transcriber, std::span<const float> samples,
                           int sample_rate);

// One record {"text": text}, or no record for an empty text.
std::vector<nlohmann::ordered_json> as_results(std::string text);

// The message of the exception being handled. REQUIRES: called inside a catch block.
std::string current_failure_message();

}  // namespace models::nightjar
