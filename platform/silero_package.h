// load_silero_vad: where the host's packaged Silero VAD model is. The project packages the model
// itself (scripts/setup_model.sh converts the Silero VAD v6 release to TorchScript); its location
// is fixed when the project is built. libvad loads the file onto the requested device.
//
// The stand-in is journalled as "load_silero_vad"/"call" and scriptable (an error, or
// `yields_none` for a missing package).
#pragma once

#include <optional>
#include <string>

#include "utils/export.h"

namespace silero_vad {

// The path of the packaged TorchScript model, or nullopt when the package has no model file.
QUERN_PLATFORM_API std::optional<std::string> load_silero_vad();

}  // namespace silero_vad
