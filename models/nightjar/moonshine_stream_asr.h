// MoonshineStreamASR: feeds chunks into a Moonshine transcriber's stream. It opens the stream on
// the first chunk, appends every chunk and closes it on the final one; it reads no partial text
// back, so stream_generate returns an empty list on every successful call.
//
// Engines with equal (model, device, language) share one cached transcriber, and so one stream:
// each engine keeps its own `_streaming_started`, but start/add_audio/stop of all of them reach
// the same transcriber (serialised, never concurrent).
//
// Thread safety: as MoonshineOfflineASR.
#pragma once

#include <memory>
#include <string>

#include "models/base_asr.h"
#include "models/nightjar/errors.h"
#include "models/nightjar/model_cache.h"
#include "utils/export.h"

namespace models::nightjar {

struct MoonshineStreamASROptions {
  std::string model = "moonshine/base";
  std::string device = "cpu";
  std::string language = "zh";
  double update_interval = 0.3;  // seconds; stored only
  int sample_rate = 16000;       // Hz
};

class NIGHTJAR_API MoonshineStreamASR : public BaseASR {
 public:
  explicit MoonshineStreamASR(MoonshineStreamASROptions options = {});
  ~MoonshineStreamASR() override;

  void load() override;
  ResultList stream_generate(const utils::AudioSamples& audio, bool is_final = false,
                             const std::string& language = "zh") override;
  ResultList transcribe(const utils::AudioSamples& audio,
                        const std::string& language = "zh") override;
  // Closes an open stream (a failing stop is ignored) and clears `_streaming_started`.
  void reset() override;

  void _load_model();
  // REQUIRES: float32 samples and a loaded engine. `language` only appears in failure messages.
  std::string _transcribe_internal(const utils::AudioSamples& audio,
                                   const std::string& language = "zh");

  static ModelCache& cache();

  const std::string language;
  const double update_interval;
  std::shared_ptr<SharedTranscriber> _transcriber;
  bool _streaming_started = false;
  const int sample_rate;
};

}  // namespace models::nightjar
