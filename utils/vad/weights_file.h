// Reading the packaged model's weights file (written by scripts/silero/weights_file.py; the
// format is in docs/silero-model.md): both branches of the converted Silero network, checked
// against the file's CRC-32 and for consistent shapes. Internal to libvad.
#pragma once

#include <string>
#include <utility>

#include "utils/vad/silero_network.h"

namespace utils::vad::detail {

// The 16 kHz and 8 kHz branches. Throws std::runtime_error naming the file and what is wrong
// (unreadable, not such a file, damaged, truncated, an entry missing or of the wrong shape).
std::pair<SileroWeights, SileroWeights> read_weights_file(const std::string& path);

}  // namespace utils::vad::detail
