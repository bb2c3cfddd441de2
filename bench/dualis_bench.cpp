// Per-chunk cost of the controller: stream_generate with an engine that does nothing and debug
// logging off, against one mutex lock + vector push_back; and joining a 30 s utterance buffered in
// 300 chunks, against one memcpy of the same bytes.
#include <benchmark/benchmark.h>

#include <cstring>
#include <mutex>
#include <vector>

#include "models/dualis/dualis.h"
#include "platform/quern_log.h"
#include "platform/stand_in.h"

namespace {

using models::dualis::Dualis;
using utils::AudioSamples;

void quiet() {
  stand_in::clear();
  stand_in::set_silent(true);
  quern_log::logger.set_level(quern_log::Level::warning);
}

void BM_Anchor_MutexPushBack(benchmark::State& state) {
  std::mutex mutex;
  std::vector<AudioSamples> buffer;
  const AudioSamples chunk(std::vector<float>(1600, 0.1f));
  std::size_t n = 0;
  for (auto _ : state) {
    {
      std::lock_guard lock(mutex);
      buffer.push_back(chunk);
    }
    if (++n % 200 == 0) buffer.clear();
  }
}
BENCHMARK(BM_Anchor_MutexPushBack);

void BM_Dualis_StreamGenerate(benchmark::State& state) {
  quiet();
  Dualis d;
  d.load();
  const AudioSamples chunk(std::vector<float>(1600, 0.1f));
  std::size_t n = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(d.stream_generate(chunk));
    if (++n % 200 == 0) d.clear_audio_buffer();  // stay below the sample limit
  }
  stand_in::clear();
}
BENCHMARK(BM_Dualis_StreamGenerate);

std::vector<AudioSamples> thirty_seconds() {
  std::vector<AudioSamples> chunks;
  for (int i = 0; i < 300; ++i) chunks.emplace_back(std::vector<float>(1600, 0.01f * i));
  return chunks;
}

void BM_Anchor_Memcpy30s(benchmark::State& state) {
  const auto chunks = thirty_seconds();
  for (auto _ : state) {
    std::vector<float> out(480000);
    float* dst = out.data();
    for (const auto& c : chunks) {
      std::memcpy(dst, c.as<float>().data(), c.size() * sizeof(float));
      dst += c.size();
    }
    benchmark::DoNotOptimize(out.data());
  }
}
BENCHMARK(BM_Anchor_Memcpy30s);

void BM_Dualis_GetAudioBuffer30s(benchmark::State& state) {
  quiet();
  Dualis d;
  for (const auto& c : thirty_seconds()) d.append_audio(c);
  for (auto _ : state) {
    benchmark::DoNotOptimize(d.get_audio_buffer());
  }
  stand_in::clear();
}
BENCHMARK(BM_Dualis_GetAudioBuffer30s);

}  // namespace

BENCHMARK_MAIN();
