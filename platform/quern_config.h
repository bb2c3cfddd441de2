// quern_config: the host's configuration module. The engine layer takes the engine families from
// it; each member carries a distinct string value, which is what hosts put in `model_type`.
#pragma once

#include <string>
#include <string_view>
#include <variant>

namespace quern_config {

enum class ModelType { PARAFORMER_FUNASR, SENSEVOICE, SENSEVOICE_FUNASR, MOONSHINE };

// The member's string value.
constexpr std::string_view value(ModelType t) {
  switch (t) {
    case ModelType::PARAFORMER_FUNASR:
      return "paraformer_funasr";
    case ModelType::SENSEVOICE:
      return "sensevoice";
    case ModelType::SENSEVOICE_FUNASR:
      return "sensevoice_funasr";
    case ModelType::MOONSHINE:
      return "moonshine";
  }
  return "";
}

// A model type given either as a member or as its string value.
using ModelTypeArg = std::variant<ModelType, std::string>;

inline std::string model_type_value(const ModelTypeArg& t) {
  if (const auto* m = std::get_if<ModelType>(&t)) return std::string(value(*m));
  return std::get<std::string>(t);
}

}  // namespace quern_config
