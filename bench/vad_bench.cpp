// Per-frame and per-chunk cost of voice activity detection: Silero predict on one 512-sample
// frame (on the instance's state and on a stream of its own), process_audio on a 100 ms chunk
// in energy and in model mode, and model-mode throughput of detectors sharing one model from
// one and two threads; many streams' frames in one batched call (1 to 1024 streams, one and two
// threads), beside this core's FMA peak.
#include <benchmark/benchmark.h>
#include <immintrin.h>

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

// The multiply-adds of the matrix products one 16 kHz frame runs: encoder 4·387·128 + 2·384·64 +
// 128·64 + 64·128, LSTM 256·512. The spectral front end is an FFT (four 256-point windows, about
// 10 k floating-point operations), not counted.
constexpr double kMacsPerFrame = 394752;

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

// Many streams through one model: one frame for each of `batch` streams per iteration (each
// benchmark thread with streams of its own), with the multiply-adds per second (bench/report.py
// derives the time per stream-frame and real-time streams per core from the wall time).
void BM_PredictBatch(benchmark::State& state) {
  quern_log::logger.set_level(quern_log::Level::warning);
  auto model = SileroVADModel::get_instance();
  const auto batch = static_cast<std::size_t>(state.range(0));
  std::vector<SileroVADModel::Stream> streams;
  std::vector<SileroVADModel::Stream*> pointers;
  streams.reserve(batch);
  for (std::size_t i = 0; i < batch; ++i)
    pointers.push_back(&streams.emplace_back(model->new_stream()));
  std::vector<AudioSamples> frames;
  for (std::size_t i = 0; i < batch; ++i) frames.push_back(tone(512, 0.05f + 0.001f * i));
  const std::vector<int> rates(batch, 16000);
  std::vector<double> out(batch);
  for (auto _ : state) {
    model->predict_batch(frames, rates, pointers, out);
    benchmark::DoNotOptimize(out.data());
  }
  const double frames_done = static_cast<double>(state.iterations() * batch);
  state.counters["macs_per_s"] =
      benchmark::Counter(frames_done * kMacsPerFrame, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_PredictBatch)
    ->ArgName("batch")
    ->Arg(1)
    ->Arg(4)
    ->Arg(16)
    ->Arg(64)
    ->Arg(256)
    ->Arg(1024)
    ->Unit(benchmark::kMicrosecond)
    ->Threads(1)
    ->Threads(2)
    ->UseRealTime();

// This core's multiply-add peak with AVX2/FMA: twelve independent chains of 8-lane fused
// multiply-adds (enough to cover the latency of two FMA units).
__attribute__((target("avx2,fma"))) void BM_FmaPeak(benchmark::State& state) {
  if (!__builtin_cpu_supports("avx2") || !__builtin_cpu_supports("fma")) {
    state.SkipWithError("no AVX2/FMA");
    return;
  }
  __m256 acc[12];
  for (int i = 0; i < 12; ++i) acc[i] = _mm256_set1_ps(0.001f * static_cast<float>(i));
  const __m256 a = _mm256_set1_ps(0.999f), b = _mm256_set1_ps(0.0001f);
  constexpr int kInner = 1000;
  for (auto _ : state) {
    for (int k = 0; k < kInner; ++k) {
      for (int i = 0; i < 12; ++i) acc[i] = _mm256_fmadd_ps(acc[i], a, b);
    }
    benchmark::DoNotOptimize(acc);
  }
  state.counters["macs_per_s"] = benchmark::Counter(
      static_cast<double>(state.iterations()) * kInner * 12 * 8, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_FmaPeak);

}  // namespace

BENCHMARK_MAIN();
