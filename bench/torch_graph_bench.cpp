// The TorchScript graph optimisations (freezing, the profiling executor off) on the packaged
// module's forward, one frame at a time, to choose the settings libvad runs with; and the intra-op
// thread switch for torch_settings_bench.cpp. This program changes process-wide torch settings;
// libvad itself changes none.
#include <ATen/Parallel.h>
#include <benchmark/benchmark.h>
#include <torch/csrc/jit/runtime/graph_executor.h>
#include <torch/script.h>

#include <cmath>
#include <string>
#include <vector>

#include "bench/torch_settings.h"
#include "platform/silero_package.h"

namespace bench {

int intra_op_threads() { return at::get_num_threads(); }
void set_intra_op_threads(int n) { at::set_num_threads(n); }

}  // namespace bench

namespace {

std::vector<float> tone(std::size_t n) {
  std::vector<float> v(n);
  for (std::size_t i = 0; i < n; ++i) v[i] = 0.2f * std::sin(0.07f * static_cast<float>(i));
  return v;
}

enum Graph { kAsLoaded, kFrozen, kProfilingOff };

// The packaged module's forward on one frame, one intra-op thread, loaded fresh for each setting
// (the executor is chosen when a method first runs).
void BM_GraphSetting(benchmark::State& state, Graph graph) {
  const auto path = silero_vad::load_silero_vad();
  if (!path) return state.SkipWithError("no packaged model");
  const int before = at::get_num_threads();
  at::set_num_threads(1);
  const bool profiling = torch::jit::getProfilingMode();
  if (graph == kProfilingOff) torch::jit::getProfilingMode() = false;
  try {
    auto module = torch::jit::load(*path);
    module.eval();
    if (graph == kFrozen) module = torch::jit::freeze(module);
    auto samples = tone(512);
    const auto x = torch::from_blob(samples.data(), {1, 512});
    c10::InferenceMode inference;
    for (auto _ : state) {
      benchmark::DoNotOptimize(module.forward({x, 16000}).toTensor().item<double>());
    }
  } catch (const std::exception& e) {
    const std::string what = e.what();
    state.SkipWithError(what.substr(0, what.find('\n')).c_str());
  }
  torch::jit::getProfilingMode() = profiling;
  at::set_num_threads(before);
}
BENCHMARK_CAPTURE(BM_GraphSetting, AsLoaded, kAsLoaded)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_GraphSetting, Frozen, kFrozen)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_GraphSetting, ProfilingOff, kProfilingOff)->Unit(benchmark::kMicrosecond);

}  // namespace
