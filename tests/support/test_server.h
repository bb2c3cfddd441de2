// quern serve in the test process: a Server on a free loopback port, run on a thread of its own
// until destroyed (then drained), and what the tests send it.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "client/client.h"
#include "server/server.h"
#include "tests/support/paths.h"
#include "tests/support/wav.h"

namespace quern_test {

class TestServer {
 public:
  explicit TestServer(server::ServerOptions options = {}) : server_(with_test_settings(options)) {
    thread_ = std::jthread([this] { clean_ = server_.run(); });
  }
  ~TestServer() {
    if (!thread_.joinable()) return;
    server_.drain();
    thread_.join();
  }
  std::uint16_t port() const { return server_.port(); }
  server::Server& server() { return server_; }
  // Waits for run() to return (after a drain); whether every session ended in time.
  bool drained_cleanly() {
    thread_.join();
    return clean_;
  }
  // A metric from GET /metrics ("quern_sessions_open", ...).
  double metric(const std::string& name) {
    return client::metric_value(client::http_get("127.0.0.1", port(), "/metrics").body, name)
        .value_or(NAN);
  }

 private:
  static server::ServerOptions with_test_settings(server::ServerOptions o) {
    o.port = 0;
    o.handle_signals = false;
    o.tick_seconds = 0.005;
    return o;
  }
  server::Server server_;
  bool clean_ = false;
  std::jthread thread_;
};

// The sample's three sentences as 16-bit PCM at 16 kHz.
inline std::vector<std::int16_t> sample_pcm() {
  const auto wav = read_wav(fixture("sample.wav"));
  std::vector<std::int16_t> pcm(wav.samples.size());
  for (std::size_t i = 0; i < pcm.size(); ++i) {
    pcm[i] = static_cast<std::int16_t>(std::lround(wav.samples[i] * 32767.0f));
  }
  return pcm;
}

// Every message until the server closes.
inline std::vector<nlohmann::json> all_messages(client::StreamClient& client) {
  std::vector<nlohmann::json> messages;
  while (auto m = client.receive()) messages.push_back(std::move(*m));
  return messages;
}

// A client's fault and the server's answer: an error naming it, then a close with `code`.
struct ProtocolFault {
  std::string name;
  std::vector<std::pair<bool, std::string>> messages;  // (binary, payload), sent in order
  int code;
  std::string says;  // part of the error message
};

// The message limit the faults below assume (ServerOptions::max_message_bytes).
inline constexpr std::size_t kFaultMessageLimit = 4096;

inline std::vector<ProtocolFault> protocol_faults() {
  const std::string config = R"({"sample_rate":16000})";
  return {
      {"not JSON", {{false, "{sample_rate:"}}, 1007, "not valid JSON"},
      {"not an object", {{false, "[1,2]"}}, 1007, "must be a JSON object"},
      {"rate out of range", {{false, R"({"sample_rate":22050})"}}, 1008, "sample_rate must be"},
      {"unknown field", {{false, R"({"sample_rte":16000})"}}, 1008, "unknown field sample_rte"},
      {"threshold out of range", {{false, R"({"vad":{"threshold":1.5}})"}}, 1008, "vad.threshold"},
      {"audio before the config", {{true, "\x01\x02"}}, 1008, "audio before the config"},
      {"odd byte count", {{false, config}, {true, "\x01\x02\x03"}}, 1007, "whole number of s16le"},
      {"text that is not JSON", {{false, config}, {false, "hello"}}, 1007, "not valid JSON"},
      {"a second config", {{false, config}, {false, config}}, 1008, "already given"},
      {"oversized message",
       {{false, config}, {true, std::string(kFaultMessageLimit + 1, 'x')}},
       1009,
       "at most 4096 bytes"},
  };
}

// Sends the fault's messages on a new connection and checks the answer.
inline void expect_answer(std::uint16_t port, const ProtocolFault& fault) {
  client::StreamClient client("127.0.0.1", port);
  for (const auto& [binary, payload] : fault.messages) {
    if (binary) {
      client.send_binary(std::as_bytes(std::span(payload.data(), payload.size())));
    } else {
      client.send_text(payload);
    }
  }
  std::optional<nlohmann::json> error;
  while (auto m = client.receive()) {
    if ((*m)["type"] == "error") error = *m;
  }
  ASSERT_TRUE(error);
  EXPECT_NE((*error)["message"].get<std::string>().find(fault.says), std::string::npos) << *error;
  EXPECT_EQ(client.close_code(), fault.code);
}

}  // namespace quern_test
