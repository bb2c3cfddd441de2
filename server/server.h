// Server: `quern serve` — the streaming speech service. HTTP and WebSocket on one port:
//   GET /v1/stream   WebSocket, the quern-stream/1 protocol (docs/serve.md)
//   GET /healthz     200 "ready" or 503 "draining"
//   GET /metrics     Prometheus text format
//   GET /            the browser page (microphone to partial and final text)
//
// One Dualis controller and one VADDetector per stream. I/O threads only read, decode and write;
// a tick thread runs the detection of every session with audio waiting in one batch and hands
// each session's chunk to a worker pool for its streaming pass; finalisation and engine loading
// run on a second bounded pool, so no I/O thread waits for an engine. Every queue is bounded.
//
// The engines are whatever the seam provides (models/engine_seam.h): provide them before run().
//
// Thread safety: drain() and port() may be called from any thread while run() runs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "models/dualis/dualis.h"
#include "server/metrics.h"
#include "server/session.h"
#include "server/stream_config.h"

namespace server {

struct ServerOptions {
  std::string host = "127.0.0.1";
  std::uint16_t port = 8080;  // 0: any free port (see Server::port())
  std::size_t io_threads = 1;
  std::size_t workers = std::max(1u, std::thread::hardware_concurrency());  // streaming passes
  std::size_t finalize_workers = std::max(1u, std::thread::hardware_concurrency());
  std::size_t max_sessions = 1024;             // open WebSocket sessions; beyond: HTTP 503
  std::size_t max_message_bytes = 256 * 1024;  // one WebSocket message, text or binary
  std::size_t max_send_queue = 256;            // messages queued for a client that does not read
  double config_timeout = 10.0;                // seconds from the upgrade to the config
  double idle_timeout = 60.0;                  // seconds without a message from the client
  double send_timeout = 10.0;                  // seconds a message may take to leave
  std::size_t socket_send_buffer = 0;          // bytes of kernel send buffer a socket; 0: system's
  double drain_seconds = 10.0;                 // the longest a drain may take
  double tick_seconds = 0.02;                  // how often waiting audio is fed
  double poll_seconds = 0.1;                   // how often the silence timeout is polled
  bool vad_model = true;                       // Silero VAD (else smoothed energy)
  std::optional<std::string> vad_model_path;   // a TorchScript VAD model (else the packaged one)
  StreamConfig defaults;                       // what a client's config leaves out
  SessionLimits limits;
  models::dualis::DualisOptions engines;  // model_type, punctuation, 2-pass; the rest per stream
  bool handle_signals = true;             // SIGTERM and SIGINT start a drain
};

class Server {
 public:
  // Binds and listens (throws std::runtime_error naming the address when it cannot) and loads
  // the VAD model, so that the first session does not wait for it.
  explicit Server(ServerOptions options);
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // The bound port.
  std::uint16_t port() const;
  // Serves until a drain ends. Returns true when every session was finalised and closed in time,
  // false when the drain deadline cut some off (the caller should exit without waiting).
  bool run();
  // Starts a drain: stop accepting, finalise every open utterance, send its final, close each
  // session with 1001; run() returns when all are closed or drain_seconds have passed.
  void drain();

  Metrics& metrics();

  class Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace server
