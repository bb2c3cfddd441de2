// quern-stream/1, the streaming protocol of quern serve (docs/serve.md): the terms the server and
// its clients share, so that neither repeats the other's by hand. Header-only.
#pragma once

#include <cstdint>
#include <string_view>

namespace protocol {

inline constexpr std::string_view kName = "quern-stream/1";
inline constexpr std::string_view kPath = "/v1/stream";  // the WebSocket's path

// Hz: what the server resamples every stream to, and its detector and engines run at.
inline constexpr int kEngineRate = 16000;

// The "type" of each message. Client to server: the config (no type), audio (binary), kEnd.
// Server to client: kReady once, kPartial per chunk fed, kFinal per utterance, kError before a
// close on a fault.
namespace type {
inline constexpr std::string_view kEnd = "end";
inline constexpr std::string_view kReady = "ready";
inline constexpr std::string_view kPartial = "partial";
inline constexpr std::string_view kFinal = "final";
inline constexpr std::string_view kError = "error";
}  // namespace type

// WebSocket close codes the server answers with.
enum class CloseCode : std::uint16_t {
  normal = 1000,           // the stream ended and every final was sent
  going_away = 1001,       // the server is draining
  invalid_payload = 1007,  // not JSON, or audio that does not decode
  policy = 1008,           // against the protocol or a limit (order, values, timeouts, slow reader)
  too_big = 1009,          // a message over the size limit
  internal = 1011,         // a recognition engine failed
};

// A session's settings that a client leaves out, unless the server is started with others.
struct Defaults {
  double vad_silence = 1.0;      // seconds of silence after the padding: speech ended
  double vad_padding = 0.3;      // seconds of grace after the last speech frame
  double silence_timeout = 3.0;  // seconds without audio that end an utterance
  double max_utterance = 30.0;   // seconds of audio at which an utterance ends
};
inline constexpr Defaults kDefaults{};

}  // namespace protocol
