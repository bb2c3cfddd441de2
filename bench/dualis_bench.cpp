// Per-chunk cost of the controller: stream_generate with an engine that does nothing and debug
// logging off, against one mutex lock + vector push_back; and joining a 30 s utterance buffered in
// 300 chunks, against one memcpy of the same bytes.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <vector>

#include "models/dualis/dualis.h"
#include "platform/quern_log.h"
#include "testing/stand_ins/stand_in.h"
#include "testing/stand_ins/stand_in_engine.h"

// Every allocation of the program is counted, to show which paths allocate.
std::atomic<long> allocations{0};

void* operator new(std::size_t n) {
  ++allocations;
  if (void* p = std::malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

using models::dualis::Dualis;

// Allocations per iteration, as a benchmark counter.
class AllocationCounter {
 public:
  explicit AllocationCounter(benchmark::State& state) : state_(state), start_(allocations) {}
  ~AllocationCounter() {
    state_.counters["allocs_per_iter"] =
        static_cast<double>(allocations - start_) / static_cast<double>(state_.iterations());
  }

 private:
  benchmark::State& state_;
  long start_;
};
using utils::AudioSamples;

void quiet() {
  stand_in::install();
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
  {
    AllocationCounter count(state);
    for (auto _ : state) {
      benchmark::DoNotOptimize(d.stream_generate(chunk));
      if (++n % 200 == 0) d.clear_audio_buffer();  // stay below the sample limit
    }
  }
  stand_in::install();
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
  stand_in::install();
  stand_in::clear();
}
BENCHMARK(BM_Dualis_GetAudioBuffer30s);

// A debug line whose level is off: no formatting, no allocation.
void BM_DisabledDebugLine(benchmark::State& state) {
  quern_log::logger.set_level(quern_log::Level::info);
  std::int64_t total = 480000;
  AllocationCounter count(state);
  for (auto _ : state) {
    QUERN_LOG_DEBUG("Audio buffer size: " + std::to_string(total) +
                    ", total samples: " + std::to_string(total * 2));
    benchmark::DoNotOptimize(++total);
  }
}
BENCHMARK(BM_DisabledDebugLine);

// The same line with debug on (formatted, to a sink that drops it): what the gate saves.
void BM_EnabledDebugLine(benchmark::State& state) {
  quern_log::logger.set_level(quern_log::Level::debug);
  auto old = quern_log::logger.set_sink(
      std::make_shared<const quern_log::Sink>([](quern_log::Level, std::string_view) {}));
  std::int64_t total = 480000;
  {
    AllocationCounter count(state);
    for (auto _ : state) {
      QUERN_LOG_DEBUG("Audio buffer size: " + std::to_string(total) +
                      ", total samples: " + std::to_string(total * 2));
      benchmark::DoNotOptimize(++total);
    }
  }
  quern_log::logger.set_sink(old);
  quern_log::logger.set_level(quern_log::Level::warning);
}
BENCHMARK(BM_EnabledDebugLine);

}  // namespace

BENCHMARK_MAIN();
