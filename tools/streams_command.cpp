// quern streams FILE: many simultaneous streams of one recording, each starting at its own offset
// into it, fed chunk by chunk through utils::vad::process_audio_batch and timed, to show how many
// real-time streams one core carries.
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

#include "tools/commands.h"
#include "tools/output.h"
#include "tools/vad_setup.h"
#include "utils/vad/frame_carry.h"
#include "utils/vad/process_audio_batch.h"

namespace quern_cli {

namespace {

double cpu_seconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

}  // namespace

int run_streams(const StreamsCommand& command) {
  auto prepared = prepare(command.file, command.vad);
  const int rate = prepared.sample_rate;
  std::vector<float> samples;
  std::vector<float> block(1 << 16);
  while (const std::size_t n = prepared.audio->read(block)) {
    samples.insert(samples.end(), block.begin(), block.begin() + static_cast<std::ptrdiff_t>(n));
  }
  // Chunks as a host receives them (100 ms by default), each stream's frames carried across
  // them by its FrameCarry.
  const std::size_t chunk = chunk_samples(command.vad.chunk_ms, rate);
  const std::size_t total = samples.size();
  std::size_t length = total;
  if (command.seconds) length = std::min(length, static_cast<std::size_t>(*command.seconds * rate));
  const std::size_t steps = length / chunk;
  if (steps == 0) throw std::runtime_error(command.file + ": shorter than one chunk");

  // The recording twice over: every stream's chunk is one slice of it, wherever it starts.
  samples.resize(2 * total);
  std::copy_n(samples.begin(), total, samples.begin() + static_cast<std::ptrdiff_t>(total));
  const utils::AudioSamples audio(std::move(samples));

  const std::size_t n = command.streams;
  const std::size_t threads = std::min<std::size_t>(command.threads, n);
  std::vector<std::unique_ptr<utils::vad::VADDetector>> detectors;
  std::vector<utils::vad::FrameCarry> carries;
  for (std::size_t i = 0; i < n; ++i) {
    detectors.push_back(std::make_unique<utils::vad::VADDetector>(prepared.config));
    carries.emplace_back(prepared.config->frame_size);
  }
  const std::span<const float> recording = audio.as<float>();

  // Each thread carries its own share of the streams, one batch per chunk step.
  std::vector<std::size_t> speech_chunks(threads, 0);
  auto carry = [&](std::size_t t) {
    const std::size_t lo = t * n / threads, hi = (t + 1) * n / threads;
    std::vector<utils::vad::VADDetector*> batch;
    for (std::size_t i = lo; i < hi; ++i) batch.push_back(detectors[i].get());
    std::vector<utils::AudioSamples> chunks(hi - lo);
    for (std::size_t step = 0; step < steps; ++step) {
      for (std::size_t i = lo; i < hi; ++i) {
        const std::size_t start = (i * total / n + step * chunk) % total;
        chunks[i - lo] = carries[i].take(recording.subspan(start, chunk));
      }
      for (const auto& [speech, ended] : utils::vad::process_audio_batch(batch, chunks)) {
        speech_chunks[t] += speech;
      }
    }
  };
  const double cpu_start = cpu_seconds();
  const auto wall_start = std::chrono::steady_clock::now();
  {
    std::vector<std::jthread> pool;
    for (std::size_t t = 1; t < threads; ++t) pool.emplace_back(carry, t);
    carry(0);
  }
  const double wall =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - wall_start).count();
  const double cpu = cpu_seconds() - cpu_start;

  const double per_stream = static_cast<double>(steps * chunk) / rate;
  std::size_t speech = 0;
  for (const std::size_t s : speech_chunks) speech += s;
  emit({{"streams", n},
        {"threads", threads},
        {"seconds_per_stream", per_stream},
        {"chunks_with_speech", speech},
        {"wall_s", millis(wall * 1e3) / 1e3},
        {"cpu_s", millis(cpu * 1e3) / 1e3},
        {"x_realtime", std::round(static_cast<double>(n) * per_stream / wall)},
        {"streams_per_core", std::round(static_cast<double>(n) * per_stream / cpu)}});
  return 0;
}

}  // namespace quern_cli
