// Session: one client stream's recognition — its quern::Stream and the audio waiting for it —
// as the server's tick and worker pools drive it.
//
// Who touches what:
// - the connection's I/O strand puts decoded audio in (add_audio, end_input) and nothing else;
// - the stream belongs to whoever holds the session's turn: the tick takes the turn (take_turn)
//   when the session has something to do, hands it to one job on a worker pool, and that job
//   gives it back (end_turn). One holder at a time, so each session's chunks are fed in order by
//   one thread at a time;
// - the connection is reached through an Outlet, which posts to the connection's strand.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "server/metrics.h"
#include "server/stream_config.h"
#include "stream/stream.h"
#include "utils/thread_annotations.h"

namespace server {

using Clock = std::chrono::steady_clock;

// The way back to a client. Implementations post to the connection and return at once.
class Outlet {
 public:
  virtual ~Outlet() = default;
  // Queues a text message.
  virtual void send(std::string text) = 0;
  // Queues a close with `code` after the messages already queued.
  virtual void close(CloseCode code, std::string reason) = 0;
  // Reading may go on: the session took the audio that filled its input.
  virtual void resume_reading() = 0;
};

// What one session may buffer.
struct SessionLimits {
  std::size_t max_pending_samples = 2 * 16000;  // at 16 kHz: input waiting before reads pause
  std::size_t max_chunk_samples = 16000 / 4;    // at 16 kHz: the most one tick feeds a session
};

class Session {
 public:
  // REQUIRES: `options` defer finals (std::invalid_argument otherwise): the offline passes run on
  // the server's finalisation pool.
  Session(std::uint64_t id, const StreamConfig& config, quern::StreamOptions options,
          SessionLimits limits, std::weak_ptr<Outlet> outlet, Metrics& metrics);
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  std::uint64_t id() const noexcept { return id_; }
  const StreamConfig& config() const noexcept { return config_; }

  // --- The I/O side -------------------------------------------------------------------------
  // Appends decoded 16 kHz samples that arrived at `arrival`. Returns false when the input is
  // now full: the caller stops reading until Outlet::resume_reading().
  bool add_audio(std::span<const float> samples, Clock::time_point arrival)
      QUERN_EXCLUDES(input_mutex_);
  // No more audio will come: the stream ended (`shutdown` false) or the server drains.
  void end_input(bool shutdown) QUERN_EXCLUDES(input_mutex_);
  // The connection is gone: nothing more is sent, no engine runs for it again.
  void disconnect() noexcept { gone_.store(true, std::memory_order_release); }
  bool gone() const noexcept { return gone_.load(std::memory_order_acquire); }

  // --- The turn -----------------------------------------------------------------------------
  // Takes the turn if nobody holds it and the session is open. Called by the tick thread only.
  bool take_turn() noexcept;
  // Gives the turn back. REQUIRES: the caller holds the turn.
  void end_turn() noexcept { busy_.store(false, std::memory_order_release); }

  // The next chunk for the holder of the turn: up to max_chunk_samples of waiting audio, and
  // whether the input has ended with nothing left after it. REQUIRES: the turn.
  struct Chunk {
    std::vector<float> samples;
    Clock::time_point newest_arrival{};
    bool last = false;      // the input has ended and nothing is left after this chunk
    bool shutdown = false;  // ... because the server drains
  };
  Chunk take_chunk() QUERN_EXCLUDES(input_mutex_);

  // What the holder of the turn does (REQUIRES: the turn).
  // Loads the engines; on success sends "ready".
  bool load();
  // The stream, for the tick's batched detection (prepare(), detector(), verdicts()).
  quern::Stream& stream() noexcept { return stream_; }
  // Feeds the chunk the tick prepared and judged, and sends its partial. Returns whether an
  // utterance ended (its final is due).
  bool feed(std::size_t samples, Clock::time_point newest_arrival);
  // The silence timeout for a session without new audio: whether a final is now due.
  bool poll();
  // Runs the due offline passes and sends their finals (the end decided at `decided`).
  void finalize(Clock::time_point decided);
  // Ends the stream after its last chunk: the open utterance (if it held speech) is finalised,
  // then the connection closed (normally, or as going away when the server drains).
  void finish(bool shutdown);

  // The connection's activity, for the idle timeout.
  void touch(Clock::time_point now) noexcept {
    last_message_.store(now.time_since_epoch().count());
  }
  Clock::time_point last_message() const noexcept {
    return Clock::time_point(Clock::duration(last_message_.load()));
  }

 private:
  // Sends what the stream produced; returns whether a final is due. Rethrows the failure that
  // ended the stream, after sending what it made.
  bool send(quern::Update update, Clock::time_point decided);
  void send(std::string text);
  void close(CloseCode code, std::string reason);

 public:
  // The engines failed in a way the stream cannot go on from: error, close 1011.
  void fail(const char* what, const std::exception& e);

 private:
  const std::uint64_t id_;
  const StreamConfig config_;
  const SessionLimits limits_;
  Metrics& metrics_;
  std::weak_ptr<Outlet> outlet_;

  std::atomic<bool> busy_{false};
  std::atomic<bool> closing_{false};  // a close was asked for; no more turns
  std::atomic<bool> gone_{false};
  std::atomic<Clock::rep> last_message_{0};

  utils::Mutex input_mutex_;
  std::vector<float> input_ QUERN_GUARDED_BY(input_mutex_);
  Clock::time_point newest_arrival_ QUERN_GUARDED_BY(input_mutex_);
  bool input_ended_ QUERN_GUARDED_BY(input_mutex_) = false;
  bool shutdown_ QUERN_GUARDED_BY(input_mutex_) = false;
  bool reading_paused_ QUERN_GUARDED_BY(input_mutex_) = false;

  quern::Stream stream_;  // the holder of the turn's
};

}  // namespace server
