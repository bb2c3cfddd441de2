// Fuzz target: AudioSamples joins, slices and typed access over mixed element types, and
// normalize_audio over every input and target type. Results are checked, not only survived.
#include <fuzzer/FuzzedDataProvider.h>

#include <cmath>
#include <cstdlib>
#include <stdexcept>

#include "testing/stand_ins/stand_in.h"
#include "testing/stand_ins/stand_in_engine.h"
#include "utils/audio.h"

using utils::AudioSamples;
using utils::DType;

namespace {

AudioSamples chunk_of(FuzzedDataProvider& in) {
  const std::size_t n = in.ConsumeIntegralInRange<std::size_t>(0, 64);
  switch (in.ConsumeIntegralInRange<int>(0, 3)) {
    case 0: {
      std::vector<float> v(n);
      for (auto& x : v) x = in.ConsumeFloatingPoint<float>();
      return AudioSamples(std::move(v));
    }
    case 1: {
      std::vector<double> v(n);
      for (auto& x : v) x = in.ConsumeFloatingPoint<double>();
      return AudioSamples(std::move(v));
    }
    case 2: {
      std::vector<std::int16_t> v(n);
      for (auto& x : v) x = in.ConsumeIntegral<std::int16_t>();
      return AudioSamples(std::move(v));
    }
    default: {
      std::vector<std::int32_t> v(n);
      for (auto& x : v) x = in.ConsumeIntegral<std::int32_t>();
      return AudioSamples(std::move(v));
    }
  }
}

void check(bool ok) {
  if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool silent = [] {
    stand_in::install();
    stand_in::set_silent(true);
    return true;
  }();
  (void)silent;
  FuzzedDataProvider in(data, size);
  std::vector<AudioSamples> chunks;
  std::size_t total = 0;
  DType common = DType::float64;
  while (in.remaining_bytes() > 0 && chunks.size() < 16) {
    auto c = chunk_of(in);
    const std::size_t a = in.ConsumeIntegralInRange<std::size_t>(0, c.size() + 1);
    const std::size_t b = in.ConsumeIntegralInRange<std::size_t>(0, c.size() + 1);
    try {
      c = c.slice(a, b);
    } catch (const std::out_of_range&) {
      check(a > b || b > c.size());
    }
    common = chunks.empty() ? c.dtype() : utils::promote(common, c.dtype());
    total += c.size();
    chunks.push_back(std::move(c));
  }
  const auto joined = AudioSamples::join(chunks);
  check(joined.size() == total);
  check(joined.dtype() == common);
  for (DType target : {DType::float32, DType::float64}) {
    const auto norm = utils::normalize_audio(joined, target);
    check(norm.size() == joined.size() && norm.dtype() == target);
    norm.visit([](auto s) {
      for (auto x : s) check(std::isfinite(x) && x >= -1 && x <= 1);
    });
  }
  try {
    (void)joined.as<std::int16_t>();
    check(joined.dtype() == DType::int16);
  } catch (const std::invalid_argument&) {
    check(joined.dtype() != DType::int16);
  }
  return 0;
}
