// What a client of the streaming protocol (quern-stream/1, docs/serve.md) sends besides audio:
// the session's configuration, its first message, and the control messages after it. Parsing is
// strict and bounded: any text a client sends is answered with a StreamConfig or a ProtocolError
// that names what is wrong, never a crash or a silently ignored field.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "protocol/stream_protocol.h"

namespace server {

using protocol::CloseCode;

// A client's fault: the message for {"type":"error"} and the close code that follows it.
class ProtocolError : public std::runtime_error {
 public:
  ProtocolError(CloseCode code, const std::string& message)
      : std::runtime_error(message), code_(code) {}
  CloseCode code() const noexcept { return code_; }

 private:
  CloseCode code_;
};

enum class SampleFormat { s16le, f32le };

// A session's settings. Every field has a default and a documented range; the VAD and endpoint
// settings default to the server's own.
struct StreamConfig {
  int sample_rate = 16000;                    // Hz of the audio sent: 8000, 16000, 44100, 48000
  SampleFormat format = SampleFormat::s16le;  // little-endian samples, mono
  std::string language = "auto";              // handed to the engines (letters, '-', '_')
  std::string hotwords = "";                  // words separated by whitespace
  // Speech above it: the model's probability, or the frame's RMS level by energy. Default: the
  // detector's own (0.5 with the model, 0.01 by energy).
  std::optional<double> vad_threshold;
  double vad_silence = protocol::kDefaults.vad_silence;          // seconds of silence: speech ended
  double vad_padding = protocol::kDefaults.vad_padding;          // seconds of grace after speech
  double silence_timeout = protocol::kDefaults.silence_timeout;  // seconds without audio
  double max_utterance = protocol::kDefaults.max_utterance;      // seconds of audio
};

// The limits of a config's fields, for docs and error messages.
inline constexpr std::size_t kMaxHotwordsBytes = 1024;
inline constexpr std::size_t kMaxLanguageBytes = 16;

// Parses the first message. `defaults` supplies what the client leaves out. Throws ProtocolError:
// invalid_payload for text that is not a JSON object, policy for an unknown field, a wrong type
// or a value out of range.
StreamConfig parse_stream_config(std::string_view text, const StreamConfig& defaults);

enum class Control { end };

// Parses a text message after the config: {"type":"end"}. Throws ProtocolError as above.
Control parse_control(std::string_view text);

}  // namespace server
