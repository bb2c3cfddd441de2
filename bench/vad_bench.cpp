// Per-frame and per-chunk cost of voice activity detection: Silero predict on one 512-sample
// frame (on the instance's state and on a stream of its own), process_audio on a 100 ms chunk
// in energy and in model mode, and model-mode throughput of detectors sharing one model from
// one and two threads.
#include <benchmark/benchmark.h>

#include <cmath>
#include <vector>

#include "platform/quern_log.h"
#include "utils/vad/vad_detector.h"

namespace {

using utils::AudioSamples;
using utils::vad::SileroVADModel;
using utils::vad::VADConfig;
using utils::vad::VADConfigFields;
using utils::vad::VADDetector;

AudioSamples tone(std::size_t n, float amplitude = 0.2f) {
  std::vector<float> v(n);
  for (std::size_t i = 0; i < n; ++i) v[i] = amplitude * std::sin(0.07f * static_cast<float>(i));
  return AudioSamples(std::move(v));
}

void BM_SileroPredict_SharedState(benchmark::State& state) {
  quern_log::logger.set_level(quern_log::Level::warning);
  auto model = SileroVADModel::get_instance();
  const auto frame = tone(512);
  for (auto _ : state) benchmark::DoNotOptimize(model->predict(frame, 16000));
}
BENCHMARK(BM_SileroPredict_SharedState)->Unit(benchmark::kMicrosecond);

void BM_SileroPredict_OwnStream(benchmark::State& state) {
  quern_log::logger.set_level(quern_log::Level::warning);
  auto model = SileroVADModel::get_instance();
  auto stream = model->new_stream();
  const auto frame = tone(512);
  for (auto _ : state) benchmark::DoNotOptimize(model->predict(frame, 16000, stream));
}
BENCHMARK(BM_SileroPredict_OwnStream)->Unit(benchmark::kMicrosecond);

void BM_ProcessAudio_Energy100ms(benchmark::State& state) {
  quern_log::logger.set_level(quern_log::Level::warning);
  VADDetector detector;
  const auto chunk = tone(1600);
  for (auto _ : state) benchmark::DoNotOptimize(detector.process_audio(chunk));
  state.counters["per_frame_ns"] = benchmark::Counter(
      3 * state.iterations(), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  state.counters["x_realtime"] =
      benchmark::Counter(0.1 * state.iterations(), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ProcessAudio_Energy100ms);

void BM_ProcessAudio_Model100ms(benchmark::State& state) {
  quern_log::logger.set_level(quern_log::Level::warning);
  // One detector per benchmark thread, all sharing the cached model.
  VADDetector detector(std::make_shared<VADConfig>(VADConfigFields{.use_model = true}));
  const auto chunk = tone(1600);
  for (auto _ : state) benchmark::DoNotOptimize(detector.process_audio(chunk));
  state.counters["x_realtime"] =
      benchmark::Counter(0.1 * state.iterations(), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ProcessAudio_Model100ms)
    ->Unit(benchmark::kMicrosecond)
    ->Threads(1)
    ->Threads(2)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
