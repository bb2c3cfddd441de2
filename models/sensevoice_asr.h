// The host's SenseVoice engines on their own runtime, reached through the host seam
// (models/engine_seam.h), and the flag that says whether that runtime is usable.
#pragma once

#include <atomic>
#include <string>
#include <string_view>

#include "models/base_asr.h"
#include "models/engine_seam.h"
#include "utils/export.h"

namespace models {

// Whether the SenseVoice runtime is usable; the controller tests it before creating a SenseVoice
// engine. True by default: a host without that runtime sets it to false. Any thread, any time.
extern QUERN_ENGINES_API std::atomic<bool> SENSEVOICE_AVAILABLE;

struct SenseVoiceStreamASROptions {
  std::string model = "";
  std::string tokens = "";
  int num_threads = 2;
  bool use_itn = true;
  std::string language = "auto";
  std::string device = "cpu";
  std::string vad_model = "";
  double vad_threshold = 0.5;
  double vad_min_silence_duration = 0.5;  // seconds
  double vad_min_speech_duration = 0.25;  // seconds
  double vad_max_speech_duration = 15.0;  // seconds
  int sample_rate = 16000;                // Hz
};

struct SenseVoiceStreamASR : EngineClass<SenseVoiceStreamASR, SenseVoiceStreamASROptions, BaseASR> {
  static constexpr std::string_view name = "SenseVoiceStreamASR";
};

struct SenseVoiceOfflineASROptions {
  std::string model = "";
  std::string tokens = "";
  int num_threads = 2;
  bool use_itn = true;
  std::string language = "auto";
  std::string device = "cpu";
};

struct SenseVoiceOfflineASR
    : EngineClass<SenseVoiceOfflineASR, SenseVoiceOfflineASROptions, BaseASR> {
  static constexpr std::string_view name = "SenseVoiceOfflineASR";
};

}  // namespace models
