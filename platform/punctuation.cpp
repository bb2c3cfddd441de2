// The stand-in punctuation model: journalled and scriptable; by default appends ".".
#include "models/punctuation.h"

#include "platform/stand_in.h"

namespace models {

PunctuationModel::PunctuationModel(PunctuationModelOptions o) : options(std::move(o)) {
  stand_in::record(
      "PunctuationModel", "construct",
      {{"model", options.model}, {"revision", options.revision}, {"device", options.device}});
}

PunctuationModel::~PunctuationModel() = default;

std::unique_ptr<PunctuationModel> PunctuationModel::create(PunctuationModelOptions o) {
  if (stand_in::record("PunctuationModel", "create", {}).yields_none) return nullptr;
  return std::make_unique<PunctuationModel>(std::move(o));
}

void PunctuationModel::load() {
  if (!stand_in::silent()) stand_in::record("PunctuationModel", "load", {});
}

void PunctuationModel::reset() {
  if (!stand_in::silent()) stand_in::record("PunctuationModel", "reset", {});
}

std::string PunctuationModel::generate(const std::string& text, const std::string& language) {
  if (stand_in::silent()) return text;
  auto b =
      stand_in::record("PunctuationModel", "generate", {{"text", text}, {"language", language}});
  if (b.text) return *b.text;
  return text + ".";
}

}  // namespace models
