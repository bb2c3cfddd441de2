// PunctuationModel: restores punctuation in a recognised text. The host provides it through the
// host seam (models/engine_seam.h): models::provide<models::PunctuationModel>(factory); the
// controller creates it with PunctuationModel::create(options).
//
// Thread safety: calls on one instance must not overlap.
#pragma once

#include <string>
#include <string_view>

#include "models/engine_seam.h"
#include "utils/export.h"

namespace models {

struct PunctuationModelOptions {
  std::string model = "";
  std::string revision = "";
  std::string device = "cpu";
};

class QUERN_ENGINES_API PunctuationModel
    : public EngineClass<PunctuationModel, PunctuationModelOptions, PunctuationModel> {
 public:
  static constexpr std::string_view name = "PunctuationModel";

  PunctuationModel() = default;
  virtual ~PunctuationModel();
  PunctuationModel(const PunctuationModel&) = delete;
  PunctuationModel& operator=(const PunctuationModel&) = delete;

  virtual void load() = 0;
  virtual void reset() = 0;
  // The punctuated text.
  virtual std::string generate(const std::string& text, const std::string& language = "zh") = 0;
};

}  // namespace models
