// quern session FILE: plays the host service over a file — one Dualis session and one
// VADDetector fed chunk by chunk, an utterance finalised when the VAD reports the end of speech
// or the controller asks for it, partial and final results as JSON lines.
#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>

#include "models/dualis/dualis.h"
#include "platform/wall_clock.h"
#include "tools/commands.h"
#include "tools/frame_carry.h"
#include "tools/output.h"
#include "tools/vad_setup.h"

namespace quern_cli {
namespace {

using models::dualis::Dualis;

nlohmann::ordered_json results_json(const models::ResultList& results) {
  auto array = nlohmann::ordered_json::array();
  for (const auto& r : results) array.push_back(r);
  return array;
}

}  // namespace

int run_session(const SessionCommand& command) {
  auto prepared = prepare(command.file, command.vad);
  const auto& samples = prepared.audio.samples;
  const int rate = prepared.audio.sample_rate;
  utils::vad::VADDetector detector(prepared.config);
  Dualis session({.model_type = command.model_type,
                  .punc_model = command.punc_model,
                  .max_silence_duration = command.max_silence,
                  .max_audio_samples = command.max_samples,
                  .sample_rate = rate,
                  .enable_2pass = command.two_pass,
                  .hotwords = command.hotwords});
  session.load();

  const std::size_t chunk = chunk_samples(command.vad.chunk_ms, rate);
  FrameCarry carry(static_cast<std::size_t>(detector.config->frame_size));
  Progress progress(static_cast<double>(samples.size()) / rate);
  double utterance_start = 0;
  bool was_ended = false;

  // Finalises the utterance and prints its text (empty when another thread finalised it first).
  auto finalize = [&](const std::string& reason, double at) {
    const double start = quern_clock::now();
    std::string text = session.finalize();
    emit({{"type", "final"},
          {"text", text},
          {"reason", reason},
          {"start", seconds(utterance_start)},
          {"end", seconds(at)},
          {"finalize_ms", millis((quern_clock::now() - start) * 1000)}});
  };

  // --realtime: a host's timer polls for the silence timeout from its own thread.
  std::atomic<bool> feeding{true}, timed_out{false};
  std::atomic<double> fed_seconds{0};
  std::thread poller;
  if (command.realtime) {
    poller = std::thread([&] {
      const double give_up = command.max_silence * 2 + 1;
      const auto fed_end = std::chrono::steady_clock::now();
      auto stopped_at = fed_end;
      bool stopped = false;
      for (;;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (!feeding && !stopped) {
          stopped = true;
          stopped_at = std::chrono::steady_clock::now();
        }
        auto [needed, reason] = session.check_finalization_needed();
        if (needed && !timed_out.exchange(true)) finalize(reason, fed_seconds);
        if (stopped &&
            (timed_out ||
             std::chrono::duration<double>(std::chrono::steady_clock::now() - stopped_at).count() >
                 give_up)) {
          return;
        }
      }
    });
  }

  const auto started = std::chrono::steady_clock::now();
  for (std::size_t at = 0; at < samples.size(); at += chunk) {
    const std::size_t n = std::min(chunk, samples.size() - at);
    const double chunk_end = static_cast<double>(at + n) / rate;
    if (command.realtime) {
      std::this_thread::sleep_until(started + std::chrono::duration<double>(chunk_end));
      if (timed_out.exchange(false)) {  // the poller finalised: start the next utterance
        session.reset();
        detector.reset();
        utterance_start = static_cast<double>(at) / rate;
      }
    }
    std::vector<float> copy(samples.begin() + static_cast<std::ptrdiff_t>(at),
                            samples.begin() + static_cast<std::ptrdiff_t>(at + n));
    const utils::AudioSamples audio(std::move(copy));
    const bool last = at + n >= samples.size();
    auto [partials, needs_finalization] = session.stream_generate(audio, last);
    fed_seconds = chunk_end;
    emit({{"type", "partial"}, {"time", seconds(chunk_end)}, {"results", results_json(partials)}});

    const auto [has_speech, ended] = detector.process_audio(carry.take(audio.as<float>()));
    (void)has_speech;
    std::string reason;
    if (needs_finalization) reason = session.check_finalization_needed().second;
    if (reason.empty() && ended && !was_ended) reason = "speech_ended";
    was_ended = ended;
    if (!reason.empty()) {
      finalize(reason, chunk_end);
      session.reset();
      detector.reset();
      was_ended = false;
      utterance_start = chunk_end;
    }
    progress.update(chunk_end);
  }
  feeding = false;
  if (command.realtime) {
    poller.join();
  } else if (detector.speech_detected) {
    // The stream ended inside an utterance: finalise what is left.
    finalize("end_of_stream", static_cast<double>(samples.size()) / rate);
  }
  return 0;
}

}  // namespace quern_cli
