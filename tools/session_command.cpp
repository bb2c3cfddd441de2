// quern session FILE: plays the host service over an audio input — one quern::Stream fed chunk by
// chunk — and prints partial and final results as JSON lines, and the VAD's segments.
//
// With --realtime the chunks are fed at the audio's own pace and the silence timeout is polled
// between them, as a host's timer would.
#include <chrono>
#include <cmath>
#include <thread>
#include <vector>

#include "platform/quern_clock.h"
#include "stream/stream.h"
#include "tools/commands.h"
#include "tools/output.h"
#include "tools/segment_output.h"
#include "tools/vad_setup.h"

namespace quern_cli {
namespace {

using Clock = std::chrono::steady_clock;

void print(const quern::Update& update) {
  for (const quern::Final& f : update.finals) {
    nlohmann::ordered_json line = {
        {"type", "final"},         {"text", f.text},
        {"reason", f.reason_text}, {"start", seconds(f.start)},
        {"end", seconds(f.end)},   {"finalize_ms", millis(f.finalize_seconds * 1000)}};
    if (!f.words.empty()) {
      auto words = nlohmann::ordered_json::array();
      for (const auto& w : f.words) {
        nlohmann::ordered_json word = {
            {"word", w.word}, {"start", seconds(w.start)}, {"end", seconds(w.end)}};
        if (w.confidence) word["confidence"] = std::round(*w.confidence * 1000) / 1000;
        words.push_back(std::move(word));
      }
      line["words"] = std::move(words);
    }
    if (!f.error.empty()) line["error"] = f.error;
    emit(line);
  }
  if (update.partial) {
    auto results = nlohmann::ordered_json::array();
    for (const auto& r : update.partial->results) results.push_back(r);
    emit({{"type", "partial"},
          {"time", seconds(update.partial->time)},
          {"results", std::move(results)}});
  }
}

}  // namespace

int run_session(const SessionCommand& command) {
  auto prepared = prepare(command.file, command.vad);
  AudioReader& input = *prepared.audio;
  const int rate = prepared.sample_rate;
  quern::Stream stream({
      .engines = {.model_type = command.model_type,
                  .punc_model = command.punc_model,
                  .enable_2pass = command.two_pass},
      .vad = *prepared.config,
      .endpoint = {.silence_timeout = command.max_silence,
                   .max_utterance = static_cast<double>(command.max_samples) / rate},
      .sample_rate = rate,
      .language = command.language,
      .hotwords = command.hotwords,
  });
  stream.load();

  const std::size_t chunk = chunk_samples(command.vad.chunk_ms, rate);
  SegmentOutput segments(stream.detector(), rate, command.segments, true);
  Progress progress(input.duration());
  std::vector<float> samples(chunk);
  double fed = 0;  // seconds
  const auto started = Clock::now();
  while (const std::size_t n = input.read(samples)) {
    const std::span<const float> audio(samples.data(), n);
    fed += static_cast<double>(n) / rate;
    if (command.realtime) {
      // The host's timer: the silence timeout is polled until the chunk is due.
      const auto due =
          started + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(fed));
      while (Clock::now() < due) {
        std::this_thread::sleep_until(std::min(due, Clock::now() + std::chrono::milliseconds(50)));
        print(stream.poll());
      }
    }
    // The detector's frames judged here, so that each also goes to the segment lines.
    const utils::AudioSamples frames = stream.prepare(audio);
    segments.judge(stream.detector(), frames, [&](std::size_t, std::pair<bool, bool> verdict) {
      stream.verdicts().push_back(verdict);
    });
    print(stream.feed_judged());
    progress.update(fed);
  }
  segments.finish();
  // A realtime host waits for its timer's silence timeout before the stream ends.
  if (command.realtime) {
    const auto give_up = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                            std::chrono::duration<double>(command.max_silence + 1));
    while (stream.controller().get_audio_buffer_length() > 0 && Clock::now() < give_up) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      print(stream.poll());
    }
  }
  print(stream.finish());
  return 0;
}

}  // namespace quern_cli
