// The host's Paraformer engines, reached through the host seam (models/engine_seam.h): the
// controller creates them with ParaformerStreamASR::create(options) and
// ParaformerOfflineASR::create(options); the host provides both with models::provide<...>().
#pragma once

#include <string_view>

#include "models/base_asr.h"
#include "models/engine_seam.h"
#include "models/funasr_options.h"

namespace models {

using ParaformerStreamASROptions = FunASRStreamOptions;
using ParaformerOfflineASROptions = FunASROfflineOptions;

struct ParaformerStreamASR : EngineClass<ParaformerStreamASR, ParaformerStreamASROptions, BaseASR> {
  static constexpr std::string_view name = "ParaformerStreamASR";
};

struct ParaformerOfflineASR
    : EngineClass<ParaformerOfflineASR, ParaformerOfflineASROptions, BaseASR> {
  static constexpr std::string_view name = "ParaformerOfflineASR";
};

}  // namespace models
