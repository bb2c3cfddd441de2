// Fuzz target: VADDetector in energy mode over arbitrary configurations (frame sizes, rates,
// durations and thresholds of any value, NaN and infinities included) and arbitrary samples of
// any element type and length. Bad configurations must be refused with std::invalid_argument;
// nothing may crash or reach undefined behaviour.
#include <fuzzer/FuzzedDataProvider.h>

#include <stdexcept>

#include "platform/quern_log.h"
#include "utils/vad/vad_detector.h"

using utils::AudioSamples;

namespace {

template <class T>
AudioSamples samples_of(FuzzedDataProvider& in, std::size_t n) {
  std::vector<T> v(n);
  for (auto& x : v) {
    if constexpr (std::is_floating_point_v<T>) {
      x = in.ConsumeFloatingPoint<T>();
    } else {
      x = in.ConsumeIntegral<T>();
    }
  }
  return AudioSamples(std::move(v));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool quiet = [] {
    quern_log::logger.set_level(quern_log::Level::error);
    return true;
  }();
  (void)quiet;
  FuzzedDataProvider in(data, size);
  utils::vad::VADConfigFields f;
  f.sample_rate = in.ConsumeBool() ? 16000 : in.ConsumeIntegral<int>();
  f.frame_size = in.ConsumeBool() ? 512 : in.ConsumeIntegralInRange<int>(-4, 4096);
  f.energy_threshold = in.ConsumeFloatingPoint<double>();
  f.silence_duration = in.ConsumeBool() ? 1.0 : in.ConsumeFloatingPoint<double>();
  f.speech_padding = in.ConsumeBool() ? 0.3 : in.ConsumeFloatingPoint<double>();
  utils::vad::VADDetector detector(std::make_shared<utils::vad::VADConfig>(f));
  while (in.remaining_bytes() > 0) {
    const std::size_t n = in.ConsumeIntegralInRange<std::size_t>(0, 3000);
    AudioSamples chunk;
    switch (in.ConsumeIntegralInRange<int>(0, 3)) {
      case 0:
        chunk = samples_of<float>(in, n);
        break;
      case 1:
        chunk = samples_of<double>(in, n);
        break;
      case 2:
        chunk = samples_of<std::int16_t>(in, n);
        break;
      default:
        chunk = samples_of<std::int32_t>(in, n);
        break;
    }
    try {
      detector.process_audio(chunk);
      (void)detector.get_state();
    } catch (const std::invalid_argument&) {
      // A configuration without valid frame counts is refused before any frame.
    }
    if (in.ConsumeBool()) detector.reset();
  }
  return 0;
}
