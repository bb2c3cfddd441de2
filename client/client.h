// The client side of quern-stream/1 (docs/serve.md), for tests, tools and outside C++ hosts:
// StreamClient, a blocking WebSocket client with a timeout on every call, and http_get.
//
// Thread safety: one StreamClient per thread; distinct clients are independent.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>

namespace client {

// The server answered the upgrade with an HTTP status instead (503: too many sessions or
// draining).
class UpgradeRefused : public std::runtime_error {
 public:
  UpgradeRefused(int status, std::string body)
      : std::runtime_error("the server refused the WebSocket: HTTP " + std::to_string(status)),
        status(status),
        body(std::move(body)) {}
  int status;
  std::string body;
};

class StreamClient {
 public:
  // Connects and upgrades. Throws UpgradeRefused, or std::runtime_error when the server cannot
  // be reached within `timeout` seconds.
  StreamClient(const std::string& host, std::uint16_t port,
               const std::string& target = "/v1/stream", double timeout = 10.0);
  ~StreamClient();
  StreamClient(const StreamClient&) = delete;
  StreamClient& operator=(const StreamClient&) = delete;

  void send_text(std::string_view text);
  void send_binary(std::span<const std::byte> bytes);
  void send_config(const nlohmann::json& config) { send_text(config.dump()); }
  void send_pcm(std::span<const std::int16_t> samples) { send_binary(std::as_bytes(samples)); }
  void send_end() { send_text(R"({"type":"end"})"); }

  // The next message, parsed; nothing once the server has closed (close_code() says how).
  // Throws std::runtime_error when nothing arrives within `timeout` seconds.
  std::optional<nlohmann::json> receive(double timeout = 30.0);
  // The server's close code (0 before a close, 1006 when the connection dropped without one).
  std::uint16_t close_code() const noexcept { return close_code_; }
  const std::string& close_reason() const noexcept { return close_reason_; }

  // Closes normally and waits (at most `timeout` seconds) for the server's answer.
  void close(double timeout = 5.0);
  // Drops the connection without a close frame: a FIN, or with `reset` a TCP reset.
  void disconnect(bool reset = false);

  class Impl;

 private:
  std::unique_ptr<Impl> impl_;
  std::uint16_t close_code_ = 0;
  std::string close_reason_;
};

struct HttpReply {
  int status = 0;
  std::string body;
};

// One GET over a fresh connection. Throws std::runtime_error when it fails or takes longer than
// `timeout` seconds.
HttpReply http_get(const std::string& host, std::uint16_t port, const std::string& target,
                   double timeout = 10.0);

// A metric's value in a Prometheus text exposition (the first line naming it exactly, labels
// included: `quern_finals_total{reason="speech_ended"}`); nothing when absent.
std::optional<double> metric_value(std::string_view exposition, std::string_view name);

}  // namespace client
