// Metrics: what the server counts, lock-free, rendered in Prometheus' text format for GET /metrics.
//
// Thread safety: every member may be updated from any thread at any time; render() reads each
// value once (a scrape during traffic sees each counter at some moment, not all at one moment).
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "stream/end_reason.h"

namespace server {

// A histogram with fixed upper bounds (the last bucket, +Inf, is implied).
template <std::size_t N>
class Histogram {
 public:
  explicit constexpr Histogram(std::array<double, N> bounds) : bounds_(bounds) {}

  void observe(double value) noexcept {
    std::size_t i = 0;
    while (i < N && value > bounds_[i]) ++i;
    counts_[i].fetch_add(1, std::memory_order_relaxed);
    sum_.fetch_add(value, std::memory_order_relaxed);
  }
  // Appends the `_bucket`, `_sum` and `_count` lines of metric `name`.
  void render(std::string& out, std::string_view name, std::string_view help) const;

 private:
  std::array<double, N> bounds_;
  std::array<std::atomic<std::uint64_t>, N + 1> counts_{};
  std::atomic<double> sum_{0.0};
};

// What went wrong; the label of quern_errors_total.
enum class ErrorKind : std::size_t {
  protocol,     // a message against the protocol (bad config, order, undecodable audio)
  too_big,      // a message over the size limit
  timeout,      // no config, or no message, in time
  slow_client,  // a client that stopped reading its results
  capacity,     // a connection beyond --max-sessions
  engine,       // a recognition engine failed
  count_
};
std::string_view name_of(ErrorKind kind) noexcept;

struct Metrics {
  std::atomic<std::int64_t> sessions_open{0};
  std::atomic<std::uint64_t> sessions_total{0};
  std::atomic<std::uint64_t> audio_messages_total{0};
  std::atomic<std::uint64_t> chunks_total{0};         // chunks fed to the controllers
  std::atomic<std::uint64_t> audio_samples_total{0};  // at 16 kHz, fed to the controllers
  std::array<std::atomic<std::uint64_t>, quern::kEndReasons> finals{};  // by quern::EndReason
  std::array<std::atomic<std::uint64_t>, static_cast<std::size_t>(ErrorKind::count_)> errors{};
  std::atomic<bool> draining{false};
  Histogram<12> vad_batch_size{{1, 2, 4, 8, 16, 32, 64, 128, 256, 512, 1024, 2048}};
  // Seconds from the newest audio of a chunk arriving to its partial being queued for sending.
  Histogram<12> partial_latency{
      {0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5}};
  // Seconds from the end of an utterance being decided to its final being queued for sending.
  Histogram<12> final_latency{{0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2, 5, 10, 30}};

  void final_sent(quern::EndReason r) noexcept {
    finals[static_cast<std::size_t>(r)].fetch_add(1, std::memory_order_relaxed);
  }
  void error(ErrorKind k) noexcept {
    errors[static_cast<std::size_t>(k)].fetch_add(1, std::memory_order_relaxed);
  }

  // The whole exposition, process figures (CPU, memory, open files) included.
  std::string render() const;
};

}  // namespace server
