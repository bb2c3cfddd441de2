// The host seam's slots: one factory per engine class name, swapped under a mutex, called outside
// it.
#include "models/engine_seam.h"

#include <map>

#include "models/punctuation.h"
#include "models/sensevoice_asr.h"
#include "utils/thread_annotations.h"

namespace models {

MissingEngineError::~MissingEngineError() = default;
PunctuationModel::~PunctuationModel() = default;

std::atomic<bool> SENSEVOICE_AVAILABLE{true};

namespace seam {
namespace {

struct Slots {
  utils::Mutex mutex;
  std::map<std::string, std::shared_ptr<const void>, std::less<>> factories QUERN_GUARDED_BY(mutex);
};

// Never destroyed: host threads may still create engines while the process exits.
Slots& slots() {
  static Slots* const s = new Slots;
  return *s;
}

}  // namespace

void set_factory(std::string_view class_name, std::shared_ptr<const void> f) {
  auto& s = slots();
  utils::MutexLock lock(s.mutex);
  if (f) {
    s.factories[std::string(class_name)] = std::move(f);
  } else if (auto it = s.factories.find(class_name); it != s.factories.end()) {
    s.factories.erase(it);
  }
}

std::shared_ptr<const void> factory(std::string_view class_name) {
  auto& s = slots();
  utils::MutexLock lock(s.mutex);
  const auto it = s.factories.find(class_name);
  return it == s.factories.end() ? nullptr : it->second;
}

}  // namespace seam
}  // namespace models
