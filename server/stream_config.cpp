// Parsing of the client's config and control messages: every field checked for type and range,
// unknown fields refused (a misspelt setting must not be silently ignored).
#include "server/stream_config.h"

#include <cmath>
#include <nlohmann/json.hpp>

namespace server {
namespace {

using nlohmann::json;

// A client's value as shown in an error: its JSON text, cut short.
std::string shown(const json& value) {
  std::string text = value.dump();
  if (text.size() > 64) text = text.substr(0, 61) + "...";
  return text;
}

// (Cut short too: a field name is the client's own text. A cut inside a UTF-8 sequence is
// mended when the error is sent.)
[[noreturn]] void refuse(std::string message) {
  if (message.size() > 200) message = message.substr(0, 197) + "...";
  throw ProtocolError(CloseCode::policy, message);
}

json parse_object(std::string_view text, const char* what) {
  json value = json::parse(text, nullptr, /*allow_exceptions=*/false);
  if (value.is_discarded()) {
    throw ProtocolError(CloseCode::invalid_payload, std::string(what) + " is not valid JSON");
  }
  if (!value.is_object()) {
    throw ProtocolError(CloseCode::invalid_payload, std::string(what) + " must be a JSON object");
  }
  return value;
}

double number_in(const json& value, const std::string& name, double lo, double hi) {
  if (!value.is_number()) refuse(name + " must be a number");
  const double v = value.get<double>();
  if (!std::isfinite(v) || v < lo || v > hi) {
    refuse(name + " must be in [" + json(lo).dump() + ", " + json(hi).dump() + "], not " +
           shown(value));
  }
  return v;
}

std::string string_of(const json& value, const std::string& name, std::size_t max_bytes) {
  if (!value.is_string()) refuse(name + " must be a string");
  const auto& s = value.get_ref<const std::string&>();
  if (s.size() > max_bytes) {
    refuse(name + " must be at most " + std::to_string(max_bytes) + " bytes");
  }
  return s;
}

const json& object_of(const json& value, const std::string& name) {
  if (!value.is_object()) refuse(name + " must be an object");
  return value;
}

}  // namespace

StreamConfig parse_stream_config(std::string_view text, const StreamConfig& defaults) {
  const json message = parse_object(text, "the config");
  StreamConfig c = defaults;
  for (const auto& [key, value] : message.items()) {
    if (key == "type") {
      if (value != "config") refuse("the first message must be the config, not " + shown(value));
    } else if (key == "sample_rate") {
      if (!value.is_number_integer()) refuse("sample_rate must be an integer");
      const auto rate = value.get<std::int64_t>();
      if (rate != 8000 && rate != 16000 && rate != 44100 && rate != 48000) {
        refuse("sample_rate must be 8000, 16000, 44100 or 48000, not " + shown(value));
      }
      c.sample_rate = static_cast<int>(rate);
    } else if (key == "format") {
      if (value == "s16le") {
        c.format = SampleFormat::s16le;
      } else if (value == "f32le") {
        c.format = SampleFormat::f32le;
      } else {
        refuse("format must be \"s16le\" or \"f32le\", not " + shown(value));
      }
    } else if (key == "language") {
      c.language = string_of(value, key, kMaxLanguageBytes);
      for (char ch : c.language) {
        if (!std::isalnum(static_cast<unsigned char>(ch)) && ch != '-' && ch != '_') {
          refuse("language may hold only letters, digits, '-' and '_'");
        }
      }
      if (c.language.empty()) refuse("language must not be empty");
    } else if (key == "hotwords") {
      c.hotwords = string_of(value, key, kMaxHotwordsBytes);
    } else if (key == "vad") {
      for (const auto& [k, v] : object_of(value, key).items()) {
        if (k == "threshold") {
          c.vad_threshold = number_in(v, "vad.threshold", 0.0, 1.0);
        } else if (k == "silence") {
          c.vad_silence = number_in(v, "vad.silence", 0.1, 10.0);
        } else if (k == "padding") {
          c.vad_padding = number_in(v, "vad.padding", 0.0, 5.0);
        } else {
          refuse("unknown field vad." + k);
        }
      }
    } else if (key == "endpoint") {
      for (const auto& [k, v] : object_of(value, key).items()) {
        if (k == "silence_timeout") {
          c.silence_timeout = number_in(v, "endpoint.silence_timeout", 0.5, 60.0);
        } else if (k == "max_utterance") {
          c.max_utterance = number_in(v, "endpoint.max_utterance", 1.0, 60.0);
        } else {
          refuse("unknown field endpoint." + k);
        }
      }
    } else {
      refuse("unknown field " + key);
    }
  }
  return c;
}

Control parse_control(std::string_view text) {
  const json message = parse_object(text, "a text message");
  const auto type = message.find("type");
  if (type != message.end() && *type == "end" && message.size() == 1) return Control::end;
  if (type == message.end() || *type == "config") {
    refuse("the config was already given: after it, a text message is {\"type\":\"end\"}");
  }
  refuse("unknown message " + shown(message));
}

}  // namespace server
