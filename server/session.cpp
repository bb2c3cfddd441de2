// A client stream's recognition: input in from the connection, chunks through the detector and
// the controller, partials and finals out as protocol messages.
#include "server/session.h"

#include <algorithm>
#include <cmath>
#include <exception>
#include <nlohmann/json.hpp>

#include "platform/quern_log.h"

namespace server {
namespace {

using nlohmann::ordered_json;

double seconds_of(std::int64_t samples) {
  // Rounded to the millisecond: times in messages are for people and for matching chunks.
  return std::round(static_cast<double>(samples) / 16.0) / 1000.0;
}

double since(Clock::time_point t) {
  return std::chrono::duration<double>(Clock::now() - t).count();
}

// Why an utterance ended, from the controller's reason text ("silence_timeout(3.1s>=3s)").
FinalReason reason_kind(const std::string& reason) {
  if (reason.starts_with("max_samples_reached")) return FinalReason::max_samples_reached;
  if (reason.starts_with("silence_timeout")) return FinalReason::silence_timeout;
  if (reason == "end_of_stream") return FinalReason::end_of_stream;
  if (reason == "shutdown") return FinalReason::shutdown;
  return FinalReason::speech_ended;
}

std::string text_of(const ordered_json& message) {
  // A client's text (an error naming its field) may hold a UTF-8 sequence cut short.
  return message.dump(-1, ' ', false, ordered_json::error_handler_t::replace);
}

}  // namespace

Session::Session(std::uint64_t id, const StreamConfig& config,
                 models::dualis::DualisOptions engines, std::shared_ptr<utils::vad::VADConfig> vad,
                 SessionLimits limits, std::weak_ptr<Outlet> outlet, Metrics& metrics)
    : id_(id),
      config_(config),
      limits_(limits),
      metrics_(metrics),
      outlet_(std::move(outlet)),
      busy_(true),  // the first turn is the engines' loading, taken by whoever creates it
      dualis_(std::move(engines)),
      detector_(std::move(vad)),
      carry_(detector_.config->frame_size) {
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
    dualis_.load();
  } catch (const std::exception& e) {
    metrics_.error(ErrorKind::engine);
    quern_log::logger.error("session " + std::to_string(id_) +
                            ": the engines failed to load: " + e.what());
    send(text_of(
        {{"type", "error"}, {"message", std::string("recognition unavailable: ") + e.what()}}));
    close(CloseCode::internal, "recognition unavailable");
    return false;
  }
  send(text_of({{"type", "ready"},
                {"protocol", "quern-stream/1"},
                {"session", id_},
                {"sample_rate", config_.sample_rate}}));
  return true;
}

std::optional<std::string> Session::feed(Chunk chunk, std::pair<bool, bool> vad) {
  const auto n = static_cast<std::int64_t>(chunk.samples.size());
  models::ResultList partials;
  bool needs_finalization = false;
  try {
    std::tie(partials, needs_finalization) = dualis_.stream_generate(
        utils::AudioSamples(std::move(chunk.samples)), chunk.last, config_.language);
  } catch (const std::exception& e) {
    // The streaming engine's state is unknown now: the session ends here.
    metrics_.error(ErrorKind::engine);
    quern_log::logger.error("session " + std::to_string(id_) + ": streaming failed: " + e.what());
    send(text_of({{"type", "error"}, {"message", std::string("recognition failed: ") + e.what()}}));
    close(CloseCode::internal, "recognition failed");
    return std::nullopt;
  }
  fed_samples_ += n;
  metrics_.chunks_total.fetch_add(1, std::memory_order_relaxed);
  metrics_.audio_samples_total.fetch_add(static_cast<std::uint64_t>(n), std::memory_order_relaxed);
  auto results = ordered_json::array();
  for (auto& r : partials) results.push_back(std::move(r));
  send(text_of({{"type", "partial"},
                {"segment", segment_},
                {"time", seconds_of(fed_samples_)},
                {"results", std::move(results)}}));
  metrics_.partial_latency.observe(since(chunk.newest_arrival));

  const bool ended = vad.second && !speech_was_ended_;
  speech_was_ended_ = vad.second;
  if (needs_finalization) {
    auto [needed, reason] = dualis_.check_finalization_needed();
    if (needed) return reason;
  }
  if (ended) return "speech_ended";
  return std::nullopt;
}

std::optional<std::string> Session::poll() {
  auto [needed, reason] = dualis_.check_finalization_needed();
  if (needed) return reason;
  return std::nullopt;
}

void Session::finalize(const std::string& reason, Clock::time_point decided) {
  if (gone()) return;  // nobody to tell: spare the engines
  ordered_json final_message = {{"type", "final"}, {"segment", segment_}, {"text", ""}};
  try {
    final_message["text"] = dualis_.finalize();
  } catch (const std::exception& e) {
    // The utterance still gets its final, without text; the next one starts afresh.
    metrics_.error(ErrorKind::engine);
    quern_log::logger.error("session " + std::to_string(id_) +
                            ": finalisation failed: " + e.what());
    final_message["error"] = std::string("recognition failed: ") + e.what();
  }
  final_message["start"] = seconds_of(segment_start_);
  final_message["end"] = seconds_of(fed_samples_);
  final_message["reason"] = reason;
  send(text_of(final_message));
  metrics_.final_sent(reason_kind(reason));
  metrics_.final_latency.observe(since(decided));
  try {
    dualis_.reset();
  } catch (const std::exception& e) {
    metrics_.error(ErrorKind::engine);
    send(text_of({{"type", "error"}, {"message", std::string("recognition failed: ") + e.what()}}));
    close(CloseCode::internal, "recognition failed");
  }
  detector_.reset();
  speech_was_ended_ = false;
  ++segment_;
  segment_start_ = fed_samples_;
}

void Session::finish(bool shutdown) {
  if (dualis_.get_audio_buffer_length() > 0) {
    finalize(shutdown ? "shutdown" : "end_of_stream", Clock::now());
  }
  close(shutdown ? CloseCode::going_away : CloseCode::normal,
        shutdown ? "the server is shutting down" : "end of stream");
}

void Session::send(std::string text) {
  if (auto outlet = outlet_.lock()) outlet->send(std::move(text));
}

void Session::close(CloseCode code, std::string reason) {
  closing_.store(true, std::memory_order_release);
  if (auto outlet = outlet_.lock()) outlet->close(code, std::move(reason));
}

}  // namespace server
