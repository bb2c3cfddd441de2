// The packaged Silero VAD model's location, fixed at build time.
#include "platform/silero_package.h"

#include <filesystem>
#include <system_error>

#include "platform/stand_in.h"

#ifndef QUERN_PACKAGED_SILERO_MODEL
#error "QUERN_PACKAGED_SILERO_MODEL must name the packaged model file"
#endif

namespace silero_vad {

std::optional<std::string> load_silero_vad() {
  if (stand_in::record("load_silero_vad", "call", {}).yields_none) return std::nullopt;
  const std::string path = QUERN_PACKAGED_SILERO_MODEL;
  std::error_code ec;
  if (!std::filesystem::is_regular_file(path, ec)) return std::nullopt;
  return path;
}

}  // namespace silero_vad
