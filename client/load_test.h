// run_load_test: many concurrent clients of quern-stream/1 streaming the same speech, each from
// its own offset, checking that every utterance's final arrives exactly once and in order, and
// measuring the latencies a client sees. What `quern loadtest` runs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace client {

struct LoadTestOptions {
  std::string host = "127.0.0.1";
  std::uint16_t port = 8080;
  std::string target = "/v1/stream";
  std::size_t streams = 1;
  std::vector<std::int16_t> audio;  // 16 kHz mono, looped; REQUIRES: not empty
  double seconds = 0;               // audio per stream; 0: the length of `audio`
  double rate = 1.0;                // times real time; 0: as fast as the server takes it
  bool idle = false;                // send no audio: hold the connection `seconds`, then end
  double chunk_seconds = 0.1;       // audio per message
  double connect_rate = 1000;       // new connections per second while ramping up
  double finish_timeout = 30;       // seconds after a stream's end for its finals and close
  std::size_t threads = 1;          // client I/O threads
  nlohmann::json config = nlohmann::json::object();  // extra config fields for every stream
};

// Runs the streams and returns the report: streams, audio_seconds, partial_latency_ms,
// final_latency_ms and endpoint_to_final_ms ({p50, p95, p99, count}), finals_expected,
// finals_received, errors (with the first few as error_samples), and the server's figures read
// from its /metrics before and after: server_cpu_per_audio_second and server_rss_mb.
// Partial latency: from sending the newest chunk a partial covers to receiving it. Final latency:
// from sending the chunk that holds an utterance's last speech to receiving its final — for a
// final the VAD ended, the final's "end" less the VAD's padding and silence (the config's, or
// 0.3 + 1.0 s); otherwise "end" itself. Endpoint to final: from sending the chunk at "end".
nlohmann::ordered_json run_load_test(const LoadTestOptions& options);

}  // namespace client
