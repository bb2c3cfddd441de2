// The Paraformer engines of the host (here: the platform's stand-ins, see platform/stand_in.h).
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/stand_in_engine.h"

namespace models {

struct ParaformerStreamASROptions {
  std::string model = "";
  std::string model_path = "";
  std::string revision = "";
  std::string device = "cpu";
  std::vector<int> chunk_size = {0, 10, 5};
  int encoder_chunk_look_back = 4;
  int decoder_chunk_look_back = 1;
};

class QUERN_PLATFORM_API ParaformerStreamASR : public stand_in::StandInASR {
 public:
  explicit ParaformerStreamASR(ParaformerStreamASROptions options = {});
  // The host's factory; may yield no engine (nullptr).
  static std::unique_ptr<BaseASR> create(ParaformerStreamASROptions options = {});
};

struct ParaformerOfflineASROptions {
  std::string model = "";
  std::string model_path = "";
  std::string revision = "";
  std::string device = "cpu";
};

class QUERN_PLATFORM_API ParaformerOfflineASR : public stand_in::StandInASR {
 public:
  explicit ParaformerOfflineASR(ParaformerOfflineASROptions options = {});
  static std::unique_ptr<BaseASR> create(ParaformerOfflineASROptions options = {});
};

}  // namespace models
