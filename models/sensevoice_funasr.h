// The host's SenseVoice engines on the FunASR runtime, reached through the host seam
// (models/engine_seam.h). They take the same arguments as the Paraformer engines.
#pragma once

#include <string_view>

#include "models/base_asr.h"
#include "models/engine_seam.h"
#include "models/funasr_options.h"

namespace models {

using SenseVoiceStreamingFunASROptions = FunASRStreamOptions;
using SenseVoiceOfflineFunASROptions = FunASROfflineOptions;

struct SenseVoiceStreamingFunASR
    : EngineClass<SenseVoiceStreamingFunASR, SenseVoiceStreamingFunASROptions, BaseASR> {
  static constexpr std::string_view name = "SenseVoiceStreamingFunASR";
};

struct SenseVoiceOfflineFunASR
    : EngineClass<SenseVoiceOfflineFunASR, SenseVoiceOfflineFunASROptions, BaseASR> {
  static constexpr std::string_view name = "SenseVoiceOfflineFunASR";
};

}  // namespace models
