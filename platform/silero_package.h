// load_silero_vad: where the packaged Silero VAD model is. The project packages the model itself
// (scripts/setup_model.sh converts the Silero VAD v6 release to TorchScript): in a build tree it
// is the file the set-up step made; installed, it is share/quern/silero_vad.jit under the prefix
// the libraries are installed in, found from the libraries' own location, so the prefix can be
// moved. libvad loads the file onto the requested device.
//
// Thread safety: any function, any thread, any time.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "utils/export.h"

namespace silero_vad {

// The path of the packaged TorchScript model, or nullopt when there is no model file. Asks the
// host's locator when one is installed, else builtin_package_path().
QUERN_PLATFORM_API std::optional<std::string> load_silero_vad();

// The packaged model beside these libraries (or in the build tree), if the file is there.
QUERN_PLATFORM_API std::optional<std::string> builtin_package_path();

using PackageLocator = std::function<std::optional<std::string>()>;
// Makes `locator` answer load_silero_vad() (an empty one restores the built-in lookup): for a
// host that keeps the model elsewhere.
QUERN_PLATFORM_API void set_package_locator(PackageLocator locator);

}  // namespace silero_vad
