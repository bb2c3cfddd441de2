// PunctuationModel: restores punctuation in a recognised text. The host provides it (here: the
// platform's stand-in, see platform/stand_in.h; by default it appends "." to the text).
//
// Thread safety: calls on one instance must not overlap.
#pragma once

#include <memory>
#include <string>

#include "utils/export.h"

namespace models {

struct PunctuationModelOptions {
  std::string model = "";
  std::string revision = "";
  std::string device = "cpu";
};

class QUERN_PLATFORM_API PunctuationModel {
 public:
  explicit PunctuationModel(PunctuationModelOptions options = {});
  virtual ~PunctuationModel();
  PunctuationModel(const PunctuationModel&) = delete;
  PunctuationModel& operator=(const PunctuationModel&) = delete;

  // The host's factory; may yield no engine (nullptr).
  static std::unique_ptr<PunctuationModel> create(PunctuationModelOptions options = {});

  virtual void load();
  virtual void reset();
  virtual std::string generate(const std::string& text, const std::string& language = "zh");

  const PunctuationModelOptions options;
};

}  // namespace models
