// BaseASR: the base class of every recognition engine the controller drives: the host's engines
// (plugged in through models/engine_seam.h) and the Moonshine engines derive from it.
//
// Contract: `load()` makes the engine ready, `reset()` starts a new utterance, streaming engines
// answer `stream_generate`, offline engines `transcribe`. An engine that has a hotword list says
// so through `has_hotwords()`; the controller then hands it its list with `set_hotwords`.
//
// Thread safety: `set_hotwords` may be called from any thread while the engine recognises (it is
// applied under the engine's own mutex); everything else follows the caller's session discipline.
#pragma once

#include <string>
#include <vector>

#include "models/results.h"
#include "platform/quern_config.h"
#include "utils/audio_samples.h"
#include "utils/export.h"

namespace models {

// Keyword arguments of the BaseASR constructor, in the order the engines pass them.
struct BaseASROptions {
  std::string model = "";
  std::string revision = "";
  std::string device = "cpu";
  quern_config::ModelTypeArg model_type = quern_config::ModelType::PARAFORMER_FUNASR;
};

class QUERN_ENGINES_API BaseASR {
 public:
  explicit BaseASR(BaseASROptions options);
  virtual ~BaseASR();
  BaseASR(const BaseASR&) = delete;
  BaseASR& operator=(const BaseASR&) = delete;

  virtual void load() = 0;
  virtual void reset() = 0;
  // Streaming recognition of one chunk. The default fails: the engine does not stream.
  virtual ResultList stream_generate(const utils::AudioSamples& audio, bool is_final = false,
                                     const std::string& language = "zh");
  // Recognition of a whole utterance. The default fails: the engine is not an offline engine.
  virtual ResultList transcribe(const utils::AudioSamples& audio,
                                const std::string& language = "zh");

  // Whether the engine has a `hotwords` attribute. Defaults to false.
  virtual bool has_hotwords() const;
  // Replaces the engine's hotword list. REQUIRES: has_hotwords().
  virtual void set_hotwords(std::vector<std::string> hotwords);

  // Constructor arguments, kept under their own names.
  const std::string model;
  const std::string revision;
  const std::string device;
  const quern_config::ModelTypeArg model_type;
  // Set to true by an engine once it is loaded.
  bool _is_loaded = false;
};

}  // namespace models
