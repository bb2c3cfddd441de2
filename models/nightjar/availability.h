// Whether the Moonshine runtime is present. Decided once per process, on first use: the adapter
// library is looked up by its SONAME and its entry-point table bound; when it is missing the
// warning "moonshine-voice not installed. Install with: pip install moonshine-voice" is logged
// once. The answer never changes afterwards.
#pragma once

#include "models/nightjar/moonshine_runtime.h"
#include "utils/export.h"

namespace models::nightjar {

// The bound entry points, or nullptr when the runtime is unavailable. Thread-safe.
NIGHTJAR_API const runtime::Api* moonshine_runtime();

// Reads as a bool: `if (MOONSHINE_AVAILABLE) ...`.
struct MoonshineAvailable {
  operator bool() const { return moonshine_runtime() != nullptr; }
};
inline constexpr MoonshineAvailable MOONSHINE_AVAILABLE{};

}  // namespace models::nightjar
