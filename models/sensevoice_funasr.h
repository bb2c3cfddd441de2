// The SenseVoice engines of the host on the FunASR runtime (here: the platform's stand-ins, see
// platform/stand_in.h).
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/stand_in_engine.h"

namespace models {

struct SenseVoiceStreamingFunASROptions {
  std::string model = "";
  std::string model_path = "";
  std::string revision = "";
  std::string device = "cpu";
  std::vector<int> chunk_size = {0, 10, 5};
  int encoder_chunk_look_back = 4;
  int decoder_chunk_look_back = 1;
};

class QUERN_PLATFORM_API SenseVoiceStreamingFunASR : public stand_in::StandInASR {
 public:
  explicit SenseVoiceStreamingFunASR(SenseVoiceStreamingFunASROptions options = {});
  static std::unique_ptr<BaseASR> create(SenseVoiceStreamingFunASROptions options = {});
};

struct SenseVoiceOfflineFunASROptions {
  std::string model = "";
  std::string model_path = "";
  std::string revision = "";
  std::string device = "cpu";
};

class QUERN_PLATFORM_API SenseVoiceOfflineFunASR : public stand_in::StandInASR {
 public:
  explicit SenseVoiceOfflineFunASR(SenseVoiceOfflineFunASROptions options = {});
  static std::unique_ptr<BaseASR> create(SenseVoiceOfflineFunASROptions options = {});
};

}  // namespace models
