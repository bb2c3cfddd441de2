// Session: one client stream's recognition — its Dualis controller, its VADDetector and the audio
// waiting for them — as the server's tick and worker pools drive it.
//
// Who touches what:
// - the connection's I/O strand puts decoded audio in (add_audio, end_input) and nothing else;
// - everything else (the controller, the detector, the frame carry, the segment counters) belongs
//   to whoever holds the session's turn: the tick takes the turn (take_turn) when the session has
//   something to do, hands it to one job on a worker pool, and that job gives it back
//   (end_turn). One holder at a time, so each session's chunks are fed in order by one thread at
//   a time, and reset() never overlaps stream_generate();
// - the connection is reached through an Outlet, which posts to the connection's strand.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "models/dualis/dualis.h"
#include "server/metrics.h"
#include "server/stream_config.h"
#include "utils/thread_annotations.h"
#include "utils/vad/frame_carry.h"
#include "utils/vad/vad_detector.h"

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

// What one session may buffer, and what the engines are made with.
struct SessionLimits {
  std::size_t max_pending_samples = 2 * 16000;  // at 16 kHz: input waiting before reads pause
  std::size_t max_chunk_samples = 16000 / 4;    // at 16 kHz: the most one tick feeds a session
};

class Session {
 public:
  Session(std::uint64_t id, const StreamConfig& config, models::dualis::DualisOptions engines,
          std::shared_ptr<utils::vad::VADConfig> vad, SessionLimits limits,
          std::weak_ptr<Outlet> outlet, Metrics& metrics);
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

  // What the holder of the turn does. Each returns the reason to finalise, or nothing.
  // Loads the engines; on success sends "ready". REQUIRES: the turn.
  bool load();
  // The chunk's frames for the detector, whole frames only (the rest carried to the next).
  utils::AudioSamples frames_of(std::span<const float> samples) { return carry_.take(samples); }
  // Feeds one chunk (its VAD result already known) and sends its partial. REQUIRES: the turn.
  std::optional<std::string> feed(Chunk chunk, std::pair<bool, bool> vad);
  // The controller's answer for a session without new audio (the silence timeout).
  std::optional<std::string> poll();
  // Finalises the utterance for `reason`, sends its final and prepares the next one.
  // REQUIRES: the turn.
  void finalize(const std::string& reason, Clock::time_point decided);
  // Ends the stream after its last chunk: the open utterance (if any) is finalised, then the
  // connection closed (normally, or as going away when the server drains). REQUIRES: the turn.
  void finish(bool shutdown);

  // For the tick's batched detection. REQUIRES: the turn.
  utils::vad::VADDetector& detector() noexcept { return detector_; }

  // The connection's activity, for the idle timeout.
  void touch(Clock::time_point now) noexcept {
    last_message_.store(now.time_since_epoch().count());
  }
  Clock::time_point last_message() const noexcept {
    return Clock::time_point(Clock::duration(last_message_.load()));
  }

 private:
  void send(std::string text);
  void close(CloseCode code, std::string reason);

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

  // Owned by the holder of the turn.
  models::dualis::Dualis dualis_;
  utils::vad::VADDetector detector_;
  utils::vad::FrameCarry carry_;
  std::int64_t segment_ = 0;        // the utterance being recognised, from 0
  std::int64_t fed_samples_ = 0;    // at 16 kHz, since the stream began
  std::int64_t segment_start_ = 0;  // fed_samples_ when the utterance began
  bool speech_was_ended_ = false;   // the detector's previous speech_ended
};

}  // namespace server
