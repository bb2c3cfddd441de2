// The SenseVoice engines of the host on their own runtime, and the flag that says whether that
// runtime is usable (here: the platform's stand-ins, see platform/stand_in.h).
#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "platform/stand_in_engine.h"

namespace models {

// False when the SenseVoice runtime is missing. Tests may switch it.
extern QUERN_PLATFORM_API std::atomic<bool> SENSEVOICE_AVAILABLE;

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

class QUERN_PLATFORM_API SenseVoiceStreamASR : public stand_in::StandInASR {
 public:
  explicit SenseVoiceStreamASR(SenseVoiceStreamASROptions options = {});
  static std::unique_ptr<BaseASR> create(SenseVoiceStreamASROptions options = {});
};

struct SenseVoiceOfflineASROptions {
  std::string model = "";
  std::string tokens = "";
  int num_threads = 2;
  bool use_itn = true;
  std::string language = "auto";
  std::string device = "cpu";
};

class QUERN_PLATFORM_API SenseVoiceOfflineASR : public stand_in::StandInASR {
 public:
  explicit SenseVoiceOfflineASR(SenseVoiceOfflineASROptions options = {});
  static std::unique_ptr<BaseASR> create(SenseVoiceOfflineASROptions options = {});
};

}  // namespace models
