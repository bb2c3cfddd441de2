// MoonshineOfflineASR: recognises a whole utterance in one call with the Moonshine runtime. The
// controller uses it as the offline engine of the Moonshine family.
//
// With the runtime present the constructor loads (or takes from the class's process-wide cache)
// the transcriber for (model, device, language); without it the engine constructs, `load` fails
// with MoonshineUnavailableError and `transcribe` returns an empty list.
//
// Thread safety: construction and load may run from many threads at once (each cache key loads
// once per process). Calls on one engine must not overlap; engines sharing a transcriber may run
// concurrently (their runtime calls are serialised).
#pragma once

#include <memory>
#include <string>

#include "models/base_asr.h"
#include "models/nightjar/errors.h"
#include "models/nightjar/model_cache.h"
#include "utils/export.h"

namespace models::nightjar {

struct MoonshineOfflineASROptions {
  std::string model_type = std::string(quern_config::value(quern_config::ModelType::MOONSHINE));
  std::string model = "moonshine/base";
  std::string device = "cpu";
  std::string language = "zh";
  int sample_rate = 16000;  // Hz
};

class NIGHTJAR_API MoonshineOfflineASR : public BaseASR {
 public:
  explicit MoonshineOfflineASR(MoonshineOfflineASROptions options = {});
  ~MoonshineOfflineASR() override;

  void load() override;
  // `language` is accepted and not used: the language is fixed at construction.
  ResultList transcribe(const utils::AudioSamples& audio,
                        const std::string& language = "zh") override;
  // Not a streaming engine: logs an error and transcribes the chunk.
  ResultList stream_generate(const utils::AudioSamples& audio, bool is_final = false,
                             const std::string& language = "zh") override;
  void reset() override;

  void _load_model();
  // REQUIRES: float32 samples and a loaded engine.
  std::string _transcribe_internal(const utils::AudioSamples& audio);

  // The class's process-wide cache.
  static ModelCache& cache();

  const std::string language;
  const int sample_rate;
  std::shared_ptr<SharedTranscriber> _transcriber;
};

}  // namespace models::nightjar
