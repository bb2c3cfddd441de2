// What torch's own settings do to one Silero frame, to choose the settings libvad runs with: the
// intra-op thread count here (on a detector's stream and on the instance's shared state), the graph
// optimisations in torch_graph_bench.cpp. This program changes process-wide torch settings; libvad
// itself changes none.
#include <benchmark/benchmark.h>

#include <cmath>
#include <vector>

#include "bench/torch_settings.h"
#include "platform/quern_log.h"
#include "utils/vad/silero_vad_model.h"

namespace {

using utils::AudioSamples;
using utils::vad::SileroVADModel;

std::vector<float> tone(std::size_t n) {
  std::vector<float> v(n);
  for (std::size_t i = 0; i < n; ++i) v[i] = 0.2f * std::sin(0.07f * static_cast<float>(i));
  return v;
}

// One 512-sample frame through the library, on a stream of its own or on the shared state, with
// state.range(0) intra-op threads.
void BM_IntraOpThreads(benchmark::State& state, bool own_stream) {
  quern_log::logger.set_level(quern_log::Level::warning);
  const int before = bench::intra_op_threads();
  bench::set_intra_op_threads(static_cast<int>(state.range(0)));
  auto model = SileroVADModel::get_instance();
  auto stream = model->new_stream();
  const AudioSamples frame(tone(512));
  for (auto _ : state) {
    benchmark::DoNotOptimize(own_stream ? model->predict(frame, 16000, stream)
                                        : model->predict(frame, 16000));
  }
  bench::set_intra_op_threads(before);
}
BENCHMARK_CAPTURE(BM_IntraOpThreads, OwnStream, true)
    ->Arg(1)
    ->Arg(2)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_IntraOpThreads, SharedState, false)
    ->Arg(1)
    ->Arg(2)
    ->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
