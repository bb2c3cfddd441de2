// The message of an error from torch, without its C++ backtrace or the model's source traceback.
#include <c10/util/Exception.h>

#include <string>

#include "utils/vad/torch_module.h"

namespace utils::vad::detail {

std::string error_message(const std::exception& e) {
  if (const auto* c10_error = dynamic_cast<const c10::Error*>(&e)) {
    return c10_error->what_without_backtrace();
  }
  // An error raised inside a TorchScript model arrives with the model's source traceback; its
  // last line is the error itself ("builtins.ValueError: <message>"). Keep one line.
  std::string message = e.what();
  if (message.find('\n') == std::string::npos) return message;
  while (!message.empty() && (message.back() == '\n' || message.back() == ' ')) message.pop_back();
  message = message.substr(message.rfind('\n') + 1);
  if (message.rfind("builtins.", 0) == 0) {
    const auto colon = message.find(": ");
    if (colon != std::string::npos) message = message.substr(colon + 2);
  }
  return message;
}

}  // namespace utils::vad::detail
