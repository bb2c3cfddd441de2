// quern session FILE: plays the host service over an audio input — one Dualis session and one
// VADDetector fed chunk by chunk, an utterance finalised when the VAD reports the end of speech
// or the controller asks for it, partial and final results as JSON lines.
//
// With --realtime a second thread plays the host's timer: it polls check_finalization_needed()
// and hands a positive answer to the feeding thread. The feeding thread alone finalises and
// resets, so each utterance is finalised once and reset() never overlaps stream_generate().
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <stop_token>
#include <thread>
#include <utility>
#include <vector>

#include "models/dualis/dualis.h"
#include "platform/quern_clock.h"
#include "tools/commands.h"
#include "tools/output.h"
#include "tools/segment_output.h"
#include "tools/vad_setup.h"
#include "utils/vad/frame_carry.h"

namespace quern_cli {
namespace {

using models::dualis::Dualis;
using Clock = std::chrono::steady_clock;

nlohmann::ordered_json results_json(const models::ResultList& results) {
  auto array = nlohmann::ordered_json::array();
  for (const auto& r : results) array.push_back(r);
  return array;
}

// The host's timer thread for --realtime. Its answers carry the utterance they were about, so
// one that arrives after the feeding thread has moved on is dropped. Stopped and joined when
// destroyed, on every exit path.
class Poller {
 public:
  explicit Poller(Dualis& session)
      : thread_([this, &session](std::stop_token stop) { run(stop, session); }) {}

  // Waits until `deadline` for a request to finalise; returns its reason, or nothing at the
  // deadline.
  std::optional<std::string> wait_until(Clock::time_point deadline) {
    std::unique_lock lock(mutex_);
    wake_.wait_until(lock, deadline, [this] { return request_.has_value(); });
    return std::exchange(request_, std::nullopt);
  }

  // The feeding thread has finalised and reset: requests about the old utterance are void.
  void next_utterance() {
    std::lock_guard lock(mutex_);
    ++utterance_;
    request_.reset();
  }

 private:
  void run(std::stop_token stop, Dualis& session) {
    std::mutex sleep_mutex;
    std::condition_variable_any sleep;
    while (!stop.stop_requested()) {
      {
        std::unique_lock lock(sleep_mutex);
        sleep.wait_for(lock, stop, std::chrono::milliseconds(50), [] { return false; });
      }
      std::uint64_t utterance;
      {
        std::lock_guard lock(mutex_);
        utterance = utterance_;
      }
      auto [needed, reason] = session.check_finalization_needed();
      if (!needed) continue;
      std::lock_guard lock(mutex_);
      if (utterance == utterance_ && !request_) {
        request_ = std::move(reason);
        wake_.notify_one();
      }
    }
  }

  std::mutex mutex_;
  std::condition_variable wake_;
  std::optional<std::string> request_;  // guarded by mutex_
  std::uint64_t utterance_ = 0;         // guarded by mutex_
  std::jthread thread_;                 // last: stopped and joined before the rest goes
};

}  // namespace

int run_session(const SessionCommand& command) {
  auto prepared = prepare(command.file, command.vad);
  AudioReader& input = *prepared.audio;
  const int rate = prepared.sample_rate;
  utils::vad::VADDetector detector(prepared.config);
  Dualis session({.model_type = command.model_type,
                  .punc_model = command.punc_model,
                  .max_silence_duration = command.max_silence,
                  .max_audio_samples = command.max_samples,
                  .sample_rate = rate,
                  .enable_2pass = command.two_pass,
                  .hotwords = command.hotwords});
  // The timer runs from the start of the session; any failure from here on (a load, an engine)
  // stops and joins it on the way out.
  std::optional<Poller> poller;
  if (command.realtime) poller.emplace(session);
  session.load();

  const std::size_t chunk = chunk_samples(command.vad.chunk_ms, rate);
  utils::vad::FrameCarry carry(detector.config->frame_size);
  Progress progress(input.duration());
  SegmentOutput segments(detector, rate, command.segments, true);
  double utterance_start = 0;  // seconds into the input where the utterance buffer began
  double fed = 0;              // seconds fed so far
  bool was_ended = false;

  // Finalises the utterance, prints its text and starts the next one.
  auto end_utterance = [&](const std::string& reason) {
    const double start = quern_clock::now();
    std::string text = session.finalize();
    emit({{"type", "final"},
          {"text", text},
          {"reason", reason},
          {"start", seconds(utterance_start)},
          {"end", seconds(fed)},
          {"finalize_ms", millis((quern_clock::now() - start) * 1000)}});
    session.reset();
    detector.reset();
    if (poller) poller->next_utterance();
    was_ended = false;
    utterance_start = fed;
  };

  // One chunk read ahead, so the last one goes to the engine with is_final.
  std::vector<float> current(chunk), next(chunk);
  std::size_t current_n = input.read(current);
  const auto started = Clock::now();
  while (current_n > 0) {
    const std::size_t next_n = input.read(next);
    const double chunk_end = fed + static_cast<double>(current_n) / rate;
    if (poller) {
      const auto due = started + std::chrono::duration_cast<Clock::duration>(
                                     std::chrono::duration<double>(chunk_end));
      while (auto reason = poller->wait_until(due)) end_utterance(*reason);
    }
    const utils::AudioSamples audio(std::vector<float>(
        current.begin(), current.begin() + static_cast<std::ptrdiff_t>(current_n)));
    auto [partials, needs_finalization] = session.stream_generate(audio, next_n == 0);
    fed = chunk_end;
    emit({{"type", "partial"}, {"time", seconds(fed)}, {"results", results_json(partials)}});

    const auto [has_speech, ended] =
        segments.judge(detector, carry.take(audio.as<float>()), [](std::size_t) {});
    (void)has_speech;
    std::string reason;
    if (needs_finalization) reason = session.check_finalization_needed().second;
    if (reason.empty() && ended && !was_ended) reason = "speech_ended";
    was_ended = ended;
    if (!reason.empty()) end_utterance(reason);
    progress.update(fed);
    std::swap(current, next);
    current_n = next_n;
  }

  segments.finish();
  if (session.get_audio_buffer_length() == 0) return 0;
  // The input ended inside an utterance. A realtime host waits for its timer's silence timeout;
  // either way, speech still in the buffer is finalised as the end of the stream.
  if (poller) {
    const auto give_up = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                            std::chrono::duration<double>(command.max_silence + 1));
    if (auto reason = poller->wait_until(give_up)) {
      end_utterance(*reason);
      return 0;
    }
  }
  if (detector.speech_detected) end_utterance("end_of_stream");
  return 0;
}

}  // namespace quern_cli
