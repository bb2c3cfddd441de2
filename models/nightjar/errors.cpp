// The Moonshine engines' error types (out-of-line destructors anchor their type information).
#include "models/nightjar/errors.h"

namespace models::nightjar {

MoonshineUnavailableError::MoonshineUnavailableError()
    : std::runtime_error("moonshine-voice not installed") {}
MoonshineUnavailableError::~MoonshineUnavailableError() = default;
MoonshineRecognitionError::~MoonshineRecognitionError() = default;

}  // namespace models::nightjar
