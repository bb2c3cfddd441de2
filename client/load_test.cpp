// The load generator: one asynchronous WebSocket client per stream on a shared I/O context,
// each sending its chunks on a schedule (real time, a multiple of it, or as fast as the server
// takes them) and checking the finals it receives.
#include "client/load_test.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>
#include <chrono>
#include <cmath>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "client/client.h"
#include "protocol/stream_protocol.h"

namespace client {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;

namespace {

constexpr double kRate = protocol::kEngineRate;

double ms_between(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double, std::milli>(b - a).count();
}

// Latencies in buckets 1 % wide from 0.01 ms: percentiles within 1 %, constant memory however
// long the run.
class Latencies {
 public:
  void add(double ms) {
    std::size_t i = 0;
    if (ms > kLow)
      i = std::min(kBuckets - 1,
                   1 + static_cast<std::size_t>(std::log(ms / kLow) / std::log(kStep)));
    counts_[i].fetch_add(1, std::memory_order_relaxed);
  }
  nlohmann::ordered_json summary() const {
    std::uint64_t total = 0;
    for (const auto& c : counts_) total += c.load();
    nlohmann::ordered_json out = nlohmann::ordered_json::object();
    for (auto [name, p] : {std::pair{"p50", 0.50}, {"p95", 0.95}, {"p99", 0.99}}) {
      if (total == 0) {
        out[name] = nullptr;
        continue;
      }
      const auto rank = static_cast<std::uint64_t>(std::ceil(p * static_cast<double>(total)));
      std::uint64_t seen = 0;
      std::size_t i = 0;
      for (; i < kBuckets; ++i) {
        seen += counts_[i].load();
        if (seen >= rank) break;
      }
      const double upper = i == 0 ? kLow : kLow * std::pow(kStep, static_cast<double>(i));
      out[name] = std::round(upper * 10) / 10;
    }
    out["count"] = total;
    return out;
  }

 private:
  static constexpr double kLow = 0.01, kStep = 1.01;
  static constexpr std::size_t kBuckets = 2000;  // up to ~4 hours
  std::array<std::atomic<std::uint64_t>, kBuckets> counts_{};
};

struct Totals {
  Latencies partial, final, endpoint_to_final;
  std::atomic<std::uint64_t> samples_sent{0}, finals_expected{0}, finals_received{0};
  std::atomic<std::uint64_t> errors{0}, streams_done{0}, reconnects{0};
  std::mutex samples_mutex;
  std::vector<std::string> error_samples;  // the first few, guarded by samples_mutex

  void error(std::size_t stream, const std::string& what) {
    errors.fetch_add(1);
    std::lock_guard lock(samples_mutex);
    if (error_samples.size() < 10) {
      error_samples.push_back("stream " + std::to_string(stream) + ": " + what);
    }
  }
};

class StreamRun : public std::enable_shared_from_this<StreamRun> {
 public:
  StreamRun(asio::io_context& ioc, const LoadTestOptions& o, Totals& totals, std::size_t index,
            const tcp::resolver::results_type& endpoints)
      : o_(o),
        totals_(totals),
        index_(index),
        endpoints_(endpoints),
        strand_(asio::make_strand(ioc)),
        ws_(std::make_shared<Stream>(strand_)),
        timer_(strand_) {
    const auto length = static_cast<std::int64_t>(o.audio.size());
    offset_ = static_cast<std::int64_t>(index * static_cast<std::size_t>(length) /
                                        std::max<std::size_t>(o.streams, 1)) %
              length;
    total_ = o.seconds > 0 ? static_cast<std::int64_t>(o.seconds * kRate) : length;
    if (o.idle) {
      hold_ = total_;
      total_ = 0;
    }
    chunk_ = std::max<std::int64_t>(1, static_cast<std::int64_t>(o.chunk_seconds * kRate));
    buffer_.resize(static_cast<std::size_t>(chunk_));
    // The detector reports the end of speech this long after the last speech.
    const auto vad = o.config.value("vad", nlohmann::json::object());
    endpoint_delay_ = std::llround((vad.value("padding", protocol::kDefaults.vad_padding) +
                                    vad.value("silence", protocol::kDefaults.vad_silence)) *
                                   kRate);
  }

  void start(Clock::time_point at) {
    timer_.expires_at(at);
    timer_.async_wait([self = shared_from_this()](beast::error_code) { self->connect(); });
  }

  bool finished() const { return done_; }

 private:
  // Handlers of an earlier connection (before a reconnect) find a newer leg and do nothing.
  template <class F>
  auto on_leg(F f) {
    // (The connection's stream lives until its last handler has run.)
    return [self = shared_from_this(), leg = leg_, stream = ws_, f](auto&&... args) {
      if (leg == self->leg_) f(*self, std::forward<decltype(args)>(args)...);
    };
  }

  void connect() {
    beast::get_lowest_layer(*ws_).async_connect(
        endpoints_, on_leg([](StreamRun& self, beast::error_code ec, const auto&...) {
          if (ec) return self.fail("connect: " + ec.message());
          beast::get_lowest_layer(*self.ws_).socket().set_option(tcp::no_delay(true));
          self.ws_->async_handshake(
              self.o_.host, self.o_.target,
              self.on_leg([](StreamRun& s, beast::error_code e) { s.on_handshake(e); }));
        }));
  }

  void on_handshake(beast::error_code ec) {
    if (ec) return fail("handshake: " + ec.message());
    nlohmann::json config = {{"sample_rate", 16000}, {"format", "s16le"}};
    config.update(o_.config);
    text_ = config.dump();
    if (leg_ == 0) started_ = Clock::now();  // a reconnect keeps the stream's schedule
    read();
    writing_ = true;
    ws_->text(true);
    ws_->async_write(asio::buffer(text_), on_leg([](StreamRun& self, beast::error_code e,
                                                    std::size_t) { self.on_written(e); }));
  }

  // When the chunk after `sent` samples is due at `rate` times real time.
  Clock::time_point due(std::int64_t sent, double rate) const {
    return started_ + std::chrono::duration_cast<Clock::duration>(
                          std::chrono::duration<double>(sent / kRate / rate));
  }

  void on_written(beast::error_code ec) {
    writing_ = false;
    if (closing(ec)) return;
    if (ec) return fail("write: " + ec.message());
    pump();
  }

  // A write cut short because the connection is closing: the read side sees the close and
  // decides (a drain moves the stream on; anything else is reported there).
  static bool closing(beast::error_code ec) {
    return ec == asio::error::operation_aborted || ec == websocket::error::closed;
  }

  // Sends what is due, or waits for it.
  void pump() {
    if (writing_ || done_ || end_sent_) return;
    const auto now = Clock::now();
    if (sent_ < total_) {
      const auto when = o_.rate > 0 ? due(sent_, o_.rate) : now;
      if (when > now) {
        timer_.expires_at(when);
        timer_.async_wait([self = shared_from_this()](beast::error_code e) {
          if (!e) self->pump();
        });
        return;
      }
      const std::int64_t n = std::min(chunk_, total_ - sent_);
      const auto length = static_cast<std::int64_t>(o_.audio.size());
      for (std::int64_t i = 0; i < n; ++i) {
        buffer_[static_cast<std::size_t>(i)] =
            o_.audio[static_cast<std::size_t>((offset_ + sent_ + i) % length)];
      }
      sent_ += n;
      history_.emplace_back(sent_, now);
      if (history_.size() > 600) history_.pop_front();
      totals_.samples_sent.fetch_add(static_cast<std::uint64_t>(n));
      writing_ = true;
      ws_->binary(true);
      ws_->async_write(
          asio::buffer(buffer_.data(), static_cast<std::size_t>(n) * 2),
          on_leg([](StreamRun& self, beast::error_code e, std::size_t) { self.on_written(e); }));
      return;
    }
    if (hold_ > 0 && due(hold_, 1.0) > now) {  // an idle stream ends when its time is up
      timer_.expires_at(due(hold_, 1.0));
      timer_.async_wait([self = shared_from_this()](beast::error_code e) {
        if (!e) self->pump();
      });
      return;
    }
    end_sent_ = true;
    text_ = R"({"type":"end"})";  // protocol::type::kEnd
    writing_ = true;
    ws_->text(true);
    ws_->async_write(asio::buffer(text_),
                     on_leg([](StreamRun& self, beast::error_code e, std::size_t) {
                       self.writing_ = false;
                       if (e && !closing(e)) self.fail("write: " + e.message());
                     }));
  }

  void read() {
    ws_->async_read(
        in_, on_leg([](StreamRun& self, beast::error_code ec, std::size_t) { self.on_read(ec); }));
  }

  void on_read(beast::error_code ec) {
    if (ec) {
      if (ec == websocket::error::closed) {
        const auto& reason = ws_->reason();
        if (reason.code == websocket::close_code::going_away) return moved();
        if (reason.code != websocket::close_code::normal) {
          return fail("closed " + std::to_string(reason.code) + ": " +
                      std::string(reason.reason.data(), reason.reason.size()));
        }
        return finish(end_sent_ ? "" : "closed before the end of the stream");
      }
      return fail("read: " + ec.message());
    }
    const auto now = Clock::now();
    const auto text = beast::buffers_to_string(in_.cdata());
    in_.clear();
    const auto message = nlohmann::json::parse(text, nullptr, false);
    const auto type = message.is_object() ? message.value("type", "") : "";
    if (type == "partial") {
      const auto segment = message.value("segment", std::int64_t{-1});
      if (segment < next_final_) totals_.error(index_, "a partial of a finished segment");
      highest_segment_ = std::max(highest_segment_, segment);
      // From the chunk holding the newest audio this partial covers (a partial may end inside a
      // chunk: where the server's stream ended an utterance).
      const auto fed = leg_base_ + std::llround(message.value("time", 0.0) * kRate);
      if (auto sent = sent_at(fed)) totals_.partial.add(ms_between(*sent, now));
    } else if (type == "final") {
      const auto segment = message.value("segment", std::int64_t{-1});
      if (segment != next_final_) {
        totals_.error(index_, "final of segment " + std::to_string(segment) + ", expected " +
                                  std::to_string(next_final_));
      } else {
        ++finals_;
      }
      next_final_ = std::max(next_final_, segment + 1);
      highest_segment_ = std::max(highest_segment_, segment);
      if (message.contains("error")) totals_.error(index_, message["error"].dump());
      // From the chunk holding the utterance's last speech: for an end the VAD heard, its padding
      // and silence before the final's end; otherwise the end itself.
      const auto end = leg_base_ + std::llround(message.value("end", 0.0) * kRate);
      const auto reason = message.value("reason", std::string());
      const auto speech_end = reason == "speech_ended" ? end - endpoint_delay_ : end;
      if (auto sent = sent_at(speech_end)) totals_.final.add(ms_between(*sent, now));
      if (auto sent = sent_at(end)) totals_.endpoint_to_final.add(ms_between(*sent, now));
    } else if (type == "error") {
      totals_.error(index_, "server: " + message.value("message", std::string()));
    } else if (type != "ready") {
      totals_.error(index_, "unexpected message: " + text.substr(0, 80));
    }
    read();
  }

  // When the chunk holding sample `at` was sent, if it is still remembered.
  std::optional<Clock::time_point> sent_at(std::int64_t at) const {
    std::optional<Clock::time_point> found;
    for (auto it = history_.rbegin(); it != history_.rend() && it->first + 16 > at; ++it) {
      found = it->second;
    }
    return found;
  }

  void fail(const std::string& what) { finish(what); }

  // The finals of the session now ending: every utterance it saw should have one, except that
  // the audio after the last one gets none when it held no speech (which only the server knows).
  void account() {
    const auto closed = next_final_ == highest_segment_ ? highest_segment_ : highest_segment_ + 1;
    totals_.finals_expected.fetch_add(static_cast<std::uint64_t>(closed));
    totals_.finals_received.fetch_add(finals_);
    highest_segment_ = -1;
    next_final_ = 0;
    finals_ = 0;
  }

  // The server drained (1001) after sending its finals: what a client does — carry on with the
  // rest of the audio in a new session (a balancer sends it to another server).
  void moved() {
    account();
    totals_.reconnects.fetch_add(1);
    if (end_sent_) return finish("");
    ++leg_;
    leg_base_ = sent_;
    writing_ = false;
    timer_.cancel();
    beast::error_code ignored;
    beast::get_lowest_layer(*ws_).socket().close(ignored);
    ws_ = std::make_shared<Stream>(strand_);
    in_.clear();
    connect();
  }

  void finish(const std::string& error) {
    if (done_) return;
    done_ = true;
    timer_.cancel();
    if (!error.empty()) totals_.error(index_, error);
    account();
    totals_.streams_done.fetch_add(1);
    beast::error_code ignored;
    beast::get_lowest_layer(*ws_).socket().close(ignored);
  }

  const LoadTestOptions& o_;
  Totals& totals_;
  std::size_t index_;
  tcp::resolver::results_type endpoints_;
  using Stream = websocket::stream<beast::tcp_stream>;
  asio::strand<asio::io_context::executor_type> strand_;
  std::shared_ptr<Stream> ws_;  // a new one for each connection of the stream
  asio::steady_timer timer_;
  std::uint64_t leg_ = 0;      // connections made before the current one
  std::int64_t leg_base_ = 0;  // samples sent before the current connection began
  beast::flat_buffer in_;
  std::string text_;
  std::vector<std::int16_t> buffer_;
  std::int64_t offset_ = 0, total_ = 0, chunk_ = 0, sent_ = 0;
  std::int64_t hold_ = 0;
  std::int64_t endpoint_delay_ = 0;  // samples from the last speech to the VAD's end of speech  //
                                     // samples' worth of time an idle stream holds its connection
  std::deque<std::pair<std::int64_t, Clock::time_point>> history_;  // (samples sent, when)
  Clock::time_point started_;
  bool writing_ = false, end_sent_ = false, done_ = false;
  std::int64_t next_final_ = 0, highest_segment_ = -1;
  std::uint64_t finals_ = 0;
};

std::optional<std::string> scrape(const LoadTestOptions& o) {
  try {
    auto reply = http_get(o.host, o.port, "/metrics", 5.0);
    if (reply.status == 200) return std::move(reply.body);
  } catch (const std::exception&) {
  }
  return std::nullopt;
}

}  // namespace

nlohmann::ordered_json run_load_test(const LoadTestOptions& o) {
  if (o.audio.empty()) throw std::invalid_argument("the load test needs audio");
  if (o.streams == 0) throw std::invalid_argument("the load test needs a stream");
  asio::io_context ioc;
  const auto endpoints = tcp::resolver(ioc).resolve(o.host, std::to_string(o.port));
  const auto before = scrape(o);
  Totals totals;
  std::vector<std::shared_ptr<StreamRun>> runs;
  runs.reserve(o.streams);
  const auto t0 = Clock::now();
  for (std::size_t i = 0; i < o.streams; ++i) {
    runs.push_back(std::make_shared<StreamRun>(ioc, o, totals, i, endpoints));
    runs.back()->start(t0 +
                       std::chrono::duration_cast<Clock::duration>(
                           std::chrono::duration<double>(static_cast<double>(i) / o.connect_rate)));
  }
  // Everything must be over by then: the ramp, the audio at its pace, and the finals.
  const double audio = (o.seconds > 0 ? o.seconds : static_cast<double>(o.audio.size()) / kRate);
  const double limit = static_cast<double>(o.streams) / o.connect_rate +
                       (o.rate > 0 ? audio / o.rate : audio) + o.finish_timeout;
  asio::steady_timer deadline(
      ioc, std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(limit)));
  deadline.async_wait([&](beast::error_code ec) {
    if (!ec) ioc.stop();
  });
  std::vector<std::jthread> threads;
  for (std::size_t i = 1; i < o.threads; ++i) threads.emplace_back([&] { ioc.run(); });
  // The deadline timer keeps the context busy: stop once every stream is done.
  asio::steady_timer check(ioc);
  std::function<void()> watch = [&] {
    check.expires_after(std::chrono::milliseconds(100));
    check.async_wait([&](beast::error_code ec) {
      if (ec) return;
      if (totals.streams_done.load() == o.streams) return ioc.stop();
      watch();
    });
  };
  watch();
  ioc.run();
  threads.clear();
  const double elapsed = std::chrono::duration<double>(Clock::now() - t0).count();
  for (std::size_t i = 0; i < runs.size(); ++i) {
    if (!runs[i]->finished()) totals.error(i, "did not finish within the time limit");
  }
  const auto after = scrape(o);

  nlohmann::ordered_json report;
  const double audio_seconds = static_cast<double>(totals.samples_sent.load()) / kRate;
  report["streams"] = o.streams;
  report["audio_seconds"] = std::round(audio_seconds * 10) / 10;
  report["wall_seconds"] = std::round(elapsed * 10) / 10;
  report["partial_latency_ms"] = totals.partial.summary();
  report["final_latency_ms"] = totals.final.summary();
  report["endpoint_to_final_ms"] = totals.endpoint_to_final.summary();
  report["finals_expected"] = totals.finals_expected.load();
  report["finals_received"] = totals.finals_received.load();
  report["errors"] = totals.errors.load();
  report["reconnects"] = totals.reconnects.load();
  if (before && after && audio_seconds > 0) {
    const auto cpu0 = metric_value(*before, "process_cpu_seconds_total");
    const auto cpu1 = metric_value(*after, "process_cpu_seconds_total");
    if (cpu0 && cpu1) report["server_cpu_per_audio_second"] = (*cpu1 - *cpu0) / audio_seconds;
    if (auto rss = metric_value(*after, "process_resident_memory_bytes")) {
      report["server_rss_mb"] = std::round(*rss / 1e5) / 10;
    }
  } else {
    report["server_cpu_per_audio_second"] = nullptr;
  }
  std::lock_guard lock(totals.samples_mutex);
  if (!totals.error_samples.empty()) report["error_samples"] = totals.error_samples;
  return report;
}

}  // namespace client
