// BaseASR: keeps the constructor arguments; the default operations say what the engine lacks.
#include "models/base_asr.h"

#include <stdexcept>

namespace models {

BaseASR::BaseASR(BaseASROptions options)
    : model(std::move(options.model)),
      revision(std::move(options.revision)),
      device(std::move(options.device)),
      model_type(std::move(options.model_type)) {}

BaseASR::~BaseASR() = default;

ResultList BaseASR::stream_generate(const utils::AudioSamples&, bool, const std::string&) {
  throw std::logic_error("stream_generate is not supported by this engine");
}

ResultList BaseASR::transcribe(const utils::AudioSamples&, const std::string&) {
  throw std::logic_error("transcribe is not supported by this engine");
}

bool BaseASR::has_hotwords() const { return false; }

void BaseASR::set_hotwords(std::vector<std::string>) {
  throw std::logic_error("this engine has no hotwords attribute");
}

}  // namespace models
