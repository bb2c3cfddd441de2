// A client stream's recognition: input in from the connection, chunks through the stream, partials
// and finals out as protocol messages.
#include "server/session.h"

#include <algorithm>
#include <cmath>
#include <exception>
#include <nlohmann/json.hpp>

#include "platform/quern_log.h"

namespace server {
namespace {

using nlohmann::ordered_json;

double millis(double seconds) {
  // Rounded to the millisecond: times in messages are for people and for matching chunks.
  return std::round(seconds * 1000) / 1000;
}

double since(Clock::time_point t) {
  return std::chrono::duration<double>(Clock::now() - t).count();
}

std::string text_of(const ordered_json& message) {
  // A client's text (an error naming its field) may hold a UTF-8 sequence cut short.
  return message.dump(-1, ' ', false, ordered_json::error_handler_t::replace);
}

ordered_json final_message(const quern::Final& f) {
  ordered_json m = {{"type", protocol::type::kFinal}, {"segment", f.segment}, {"text", f.text}};
  if (!f.error.empty()) m["error"] = "recognition failed: " + f.error;
  m["start"] = millis(f.start);
  m["end"] = millis(f.end);
  m["reason"] = f.reason_text;
  if (!f.words.empty()) {
    auto words = ordered_json::array();
    for (const auto& w : f.words) {
      ordered_json word = {{"word", w.word}, {"start", millis(w.start)}, {"end", millis(w.end)}};
      if (w.confidence) word["confidence"] = std::round(*w.confidence * 1000) / 1000;
      words.push_back(std::move(word));
    }
    m["words"] = std::move(words);
  }
  return m;
}

}  // namespace

Session::Session(std::uint64_t id, const StreamConfig& config, quern::StreamOptions options,
                 SessionLimits limits, std::weak_ptr<Outlet> outlet, Metrics& metrics)
    : id_(id),
      config_(config),
      limits_(limits),
      metrics_(metrics),
      outlet_(std::move(outlet)),
      busy_(true),  // the first turn is the engines' loading, taken by whoever creates it
      stream_(std::move(options)) {
  if (!stream_.options().defer_finals) {
    throw std::invalid_argument("a session's stream must defer its finals to the pool");
  }
  touch(Clock::now());
}

bool Session::add_audio(std::span<const float> samples, Clock::time_point arrival) {
  utils::MutexLock lock(input_mutex_);
  if (input_ended_) return true;  // after the end (or a drain) audio is dropped
  input_.insert(input_.end(), samples.begin(), samples.end());
  newest_arrival_ = arrival;
  reading_paused_ = input_.size() >= limits_.max_pending_samples;
  return !reading_paused_;
}

void Session::end_input(bool shutdown) {
  utils::MutexLock lock(input_mutex_);
  if (input_ended_) return;
  input_ended_ = true;
  shutdown_ = shutdown;
}

bool Session::take_turn() noexcept {
  if (closing_.load(std::memory_order_acquire) || gone()) return false;
  if (busy_.load(std::memory_order_acquire)) return false;
  busy_.store(true, std::memory_order_relaxed);  // only the tick takes turns
  return true;
}

Session::Chunk Session::take_chunk() {
  Chunk chunk;
  bool resume = false;
  {
    utils::MutexLock lock(input_mutex_);
    const std::size_t n = std::min(input_.size(), limits_.max_chunk_samples);
    if (n == input_.size()) {
      chunk.samples.swap(input_);
      input_.reserve(std::min(chunk.samples.capacity(), limits_.max_pending_samples));
    } else {
      chunk.samples.assign(input_.begin(), input_.begin() + static_cast<std::ptrdiff_t>(n));
      input_.erase(input_.begin(), input_.begin() + static_cast<std::ptrdiff_t>(n));
    }
    chunk.newest_arrival = newest_arrival_;
    chunk.last = input_ended_ && input_.empty();
    chunk.shutdown = shutdown_;
    if (reading_paused_ && input_.size() < limits_.max_pending_samples) {
      reading_paused_ = false;
      resume = true;
    }
  }
  if (resume) {
    if (auto outlet = outlet_.lock()) outlet->resume_reading();
  }
  return chunk;
}

bool Session::load() {
  try {
    stream_.load();
  } catch (const std::exception& e) {
    metrics_.error(ErrorKind::engine);
    quern_log::logger.error("session " + std::to_string(id_) +
                            ": the engines failed to load: " + e.what());
    send(text_of({{"type", protocol::type::kError},
                  {"message", std::string("recognition unavailable: ") + e.what()}}));
    close(CloseCode::internal, "recognition unavailable");
    return false;
  }
  send(text_of({{"type", protocol::type::kReady},
                {"protocol", protocol::kName},
                {"session", id_},
                {"sample_rate", config_.sample_rate}}));
  return true;
}

bool Session::feed(std::size_t samples, Clock::time_point newest_arrival) {
  metrics_.chunks_total.fetch_add(1, std::memory_order_relaxed);
  metrics_.audio_samples_total.fetch_add(samples, std::memory_order_relaxed);
  try {
    quern::Update update = stream_.feed_judged();
    const bool partial = update.partial.has_value();
    const bool due = send(std::move(update), Clock::now());
    if (partial) metrics_.partial_latency.observe(since(newest_arrival));
    return due;
  } catch (const std::exception& e) {
    fail("streaming failed", e);  // the streaming engine's state is unknown now
    return false;
  }
}

bool Session::poll() {
  try {
    return send(stream_.poll(), Clock::now());
  } catch (const std::exception& e) {
    fail("streaming failed", e);
    return false;
  }
}

void Session::finalize(Clock::time_point decided) {
  if (gone()) return;  // nobody to tell: spare the engines
  try {
    while (send(stream_.finalize_due(), decided) && !gone()) {
    }
  } catch (const std::exception& e) {
    fail("recognition failed", e);
  }
}

void Session::finish(bool shutdown) {
  try {
    if (send(
            stream_.finish(shutdown ? quern::EndReason::shutdown : quern::EndReason::end_of_stream),
            Clock::now())) {
      finalize(Clock::now());
    }
  } catch (const std::exception& e) {
    return fail("recognition failed", e);
  }
  close(shutdown ? CloseCode::going_away : CloseCode::normal,
        shutdown ? "the server is shutting down" : "end of stream");
}

bool Session::send(quern::Update update, Clock::time_point decided) {
  for (const quern::Final& f : update.finals) {
    if (!f.error.empty()) {
      // The utterance still gets its final, without text; the next one starts afresh.
      metrics_.error(ErrorKind::engine);
      quern_log::logger.error("session " + std::to_string(id_) +
                              ": finalisation failed: " + f.error);
    }
    send(text_of(final_message(f)));
    metrics_.final_sent(f.reason);
    metrics_.final_latency.observe(since(decided));
  }
  if (update.partial) {
    auto results = ordered_json::array();
    for (auto& r : update.partial->results) results.push_back(std::move(r));
    send(text_of({{"type", protocol::type::kPartial},
                  {"segment", update.partial->segment},
                  {"time", millis(update.partial->time)},
                  {"results", std::move(results)}}));
  }
  // A failure that ended the stream ends the session, once what the stream made is sent.
  if (auto failure = stream_.failure()) std::rethrow_exception(failure);
  return update.final_due;
}

void Session::send(std::string text) {
  if (auto outlet = outlet_.lock()) outlet->send(std::move(text));
}

void Session::close(CloseCode code, std::string reason) {
  closing_.store(true, std::memory_order_release);
  if (auto outlet = outlet_.lock()) outlet->close(code, std::move(reason));
}

void Session::fail(const char* what, const std::exception& e) {
  metrics_.error(ErrorKind::engine);
  quern_log::logger.error("session " + std::to_string(id_) + ": " + what + ": " + e.what());
  send(text_of({{"type", protocol::type::kError},
                {"message", std::string("recognition failed: ") + e.what()}}));
  close(CloseCode::internal, "recognition failed");
}

}  // namespace server
