// StandInASR: the stand-in recognition engine, one shape for every engine class of the host
// (ParaformerStreamASR, SenseVoiceOfflineASR, ...): it journals its construction under the class
// name with the named arguments it was created with, and every operation is journalled and
// scriptable through stand_in.h. install() provides all of them through the host seam.
//
// Default output, when nothing is scripted: streaming engines return one record whose "text" is
// "[stand-in <Class>: N samples]"; offline engines "[stand-in <Class>: N samples, language=L]".
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "models/base_asr.h"
#include "utils/export.h"
#include "utils/thread_annotations.h"

namespace stand_in {

class QUERN_STAND_IN_API StandInASR : public models::BaseASR {
 public:
  enum class Kind { streaming, offline };

  StandInASR(std::string class_name, Kind kind, models::BaseASROptions base,
             std::vector<std::pair<std::string, std::string>> construct_args);
  ~StandInASR() override;

  void load() override;
  void reset() override;
  models::ResultList stream_generate(const utils::AudioSamples& audio, bool is_final = false,
                                     const std::string& language = "zh") override;
  models::ResultList transcribe(const utils::AudioSamples& audio,
                                const std::string& language = "zh") override;
  bool has_hotwords() const override;
  void set_hotwords(std::vector<std::string> hotwords) override;

  // The engine's current hotword list (empty when it has none).
  std::vector<std::string> hotwords() const;
  const std::string& class_name() const { return class_name_; }

 private:
  const std::string class_name_;
  const Kind kind_;
  const bool has_hotwords_;
  mutable utils::Mutex hotwords_mutex_;
  std::vector<std::string> hotwords_ QUERN_GUARDED_BY(hotwords_mutex_);
};

// Provides every engine class of the host seam (the Paraformer and SenseVoice engines and
// PunctuationModel), normalize_audio and the packaged-model locator as journalled, scriptable
// stand-ins. Tests, the benchmarks, the demo and quern call it once at start; a real host never
// does. Calling it again restores the stand-ins after a test provided engines of its own.
QUERN_STAND_IN_API void install();

}  // namespace stand_in
