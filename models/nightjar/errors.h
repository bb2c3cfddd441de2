// The errors of the Moonshine engines.
#pragma once

#include <stdexcept>

#include "utils/export.h"

namespace models::nightjar {

// The Moonshine runtime is not installed. what() is "moonshine-voice not installed".
class NIGHTJAR_API MoonshineUnavailableError : public std::runtime_error {
 public:
  MoonshineUnavailableError();
  ~MoonshineUnavailableError() override;
};

// Recognition failed. what() is one of the prefixes below followed by the failure's message; the
// failure itself is nested (std::rethrow_if_nested reaches it).
class NIGHTJAR_API MoonshineRecognitionError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
  ~MoonshineRecognitionError() override;
};

// UTF-8 Chinese: "Moonshine offline recognition failed: ", "... streaming ...", "... recognition
// failed: ".
inline constexpr const char* kOfflineFailurePrefix = "Moonshine离线识别失败: ";
inline constexpr const char* kStreamFailurePrefix = "Moonshine流式识别失败: ";
inline constexpr const char* kTranscribeFailurePrefix = "Moonshine识别失败: ";

}  // namespace models::nightjar
