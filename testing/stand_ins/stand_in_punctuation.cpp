// The stand-in punctuation model: journalled and scriptable; by default appends ".".
#include "models/punctuation.h"
#include "testing/stand_ins/stand_in.h"

namespace stand_in {
namespace {

class StandInPunctuation : public models::PunctuationModel {
 public:
  explicit StandInPunctuation(const models::PunctuationModelOptions& o) {
    record("PunctuationModel", "construct",
           {{"model", o.model}, {"revision", o.revision}, {"device", o.device}});
  }
  void load() override {
    if (!silent()) record("PunctuationModel", "load", {});
  }
  void reset() override {
    if (!silent()) record("PunctuationModel", "reset", {});
  }
  std::string generate(const std::string& text, const std::string& language) override {
    if (silent()) return text;
    auto b = record("PunctuationModel", "generate", {{"text", text}, {"language", language}});
    if (b.text) return *b.text;
    return text + ".";
  }
};

}  // namespace

void install_punctuation() {
  models::provide<models::PunctuationModel>(
      [](const models::PunctuationModelOptions& o) -> std::unique_ptr<models::PunctuationModel> {
        if (record("PunctuationModel", "create", {}).yields_none) return nullptr;
        return std::make_unique<StandInPunctuation>(o);
      });
}

}  // namespace stand_in
