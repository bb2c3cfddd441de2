// The host seam: how a host plugs its own recognition engines into the engine layer at run time
// (docs/host-seam.md).
//
// Each engine class the controller creates (ParaformerStreamASR, SenseVoiceOfflineASR, ...,
// PunctuationModel) is a name, an options struct and a factory slot. The host fills the slot
// once, before the first Dualis::load() that needs the class:
//
//   models::provide<models::ParaformerOfflineASR>(
//       [](const models::ParaformerOfflineASROptions& o) -> std::unique_ptr<models::BaseASR> {
//         return std::make_unique<MyOfflineEngine>(o);
//       });
//
// The controller then calls `ParaformerOfflineASR::create(options)` with exactly the keyword
// arguments it documents, and gets the host's engine. A class the host has not provided fails
// create() (and so Dualis::load()) with MissingEngineError naming the class. A factory may
// return nullptr: the controller then goes on without that engine, as it does for any absent one.
//
// Thread safety: provide() and create() may be called from any thread at any time; a create()
// sees either the factory before or after a concurrent provide(), never a torn one. Factories
// are called without any lock held, and may be called concurrently (by different sessions).
#pragma once

#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

#include "utils/export.h"

namespace models {

// Raised when the controller needs an engine class that the host has not provided.
class QUERN_ENGINES_API MissingEngineError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
  ~MissingEngineError() override;
};

namespace seam {
// The type-erased slots behind provide() and create(); use those instead.
QUERN_ENGINES_API void set_factory(std::string_view class_name, std::shared_ptr<const void> f);
QUERN_ENGINES_API std::shared_ptr<const void> factory(std::string_view class_name);
}  // namespace seam

// One engine class of the host: `Class::name`, its `Options`, and what it creates (`Engine`).
template <class Class, class OptionsT, class EngineT>
struct EngineClass {
  using Options = OptionsT;
  using Engine = EngineT;
  using Factory = std::function<std::unique_ptr<Engine>(const Options&)>;

  // The host's engine for `options`, or nullptr when its factory yields none.
  // Throws MissingEngineError when the host has provided no factory for this class.
  static std::unique_ptr<Engine> create(const Options& options = {}) {
    const auto f = std::static_pointer_cast<const Factory>(seam::factory(Class::name));
    if (!f) {
      throw MissingEngineError(std::string(Class::name) +
                               " is not provided: the host registers it with models::provide<" +
                               std::string(Class::name) + ">() before loading");
    }
    return (*f)(options);
  }
};

// Installs `factory` for `Class` (an empty one removes it), replacing any earlier one.
template <class Class>
void provide(typename Class::Factory factory) {
  seam::set_factory(
      Class::name,
      factory ? std::make_shared<const typename Class::Factory>(std::move(factory)) : nullptr);
}

// Whether the host has provided `Class`.
template <class Class>
bool provided() {
  return seam::factory(Class::name) != nullptr;
}

}  // namespace models
