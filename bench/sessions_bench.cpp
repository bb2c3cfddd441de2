// A host's load: 1,000 sessions, each a Dualis (engines that answer at once) and an energy-mode
// VADDetector, fed 100 ms chunks from two threads. Reports chunks per second per core of CPU
// time, and the CPU share of real time: the fraction of one core that 1,000 live streams need.
#include <benchmark/benchmark.h>
#include <time.h>

#include <thread>
#include <vector>

#include "models/dualis/dualis.h"
#include "platform/quern_log.h"
#include "testing/stand_ins/stand_in.h"
#include "testing/stand_ins/stand_in_engine.h"
#include "utils/vad/vad_detector.h"

namespace {

double cpu_seconds() {
  timespec t;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

void BM_ThousandSessions(benchmark::State& state) {
  stand_in::install();
  stand_in::clear();
  stand_in::set_silent(true);
  quern_log::logger.set_level(quern_log::Level::warning);
  constexpr int kSessions = 1000, kChunksPerRound = 10;  // 1 s of audio per session per round
  struct Session {
    models::dualis::Dualis dualis;
    utils::vad::VADDetector vad;
  };
  std::vector<std::unique_ptr<Session>> sessions;
  for (int i = 0; i < kSessions; ++i) {
    sessions.push_back(std::make_unique<Session>());
    sessions.back()->dualis.load();
  }
  const utils::AudioSamples chunk(std::vector<float>(1600, 0.02f));
  long chunks = 0;
  double cpu = 0;
  for (auto _ : state) {
    const double cpu_start = cpu_seconds();
    auto feed = [&](int first) {
      for (int c = 0; c < kChunksPerRound; ++c) {
        for (int i = first; i < kSessions; i += 2) {
          auto& s = *sessions[i];
          auto [results, needs] = s.dualis.stream_generate(chunk);
          auto [speech, ended] = s.vad.process_audio(chunk);
          benchmark::DoNotOptimize(results);
          if (needs || ended) {
            s.dualis.finalize();
            s.dualis.reset();
            s.vad.reset();
          }
        }
      }
    };
    std::thread a(feed, 0), b(feed, 1);
    a.join();
    b.join();
    cpu += cpu_seconds() - cpu_start;
    chunks += 2L * kChunksPerRound * kSessions / 2;
    for (auto& s : sessions) s->dualis.reset();  // bounded buffers
  }
  state.counters["chunks_per_cpu_second"] = static_cast<double>(chunks) / cpu;
  // 1,000 live streams produce 10,000 chunks per second of real time.
  state.counters["cpu_share_of_realtime"] = 10.0 * kSessions / (static_cast<double>(chunks) / cpu);
  stand_in::install();
  stand_in::clear();
}
BENCHMARK(BM_ThousandSessions)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(10);

}  // namespace

BENCHMARK_MAIN();
