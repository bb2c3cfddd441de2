// normalize_audio: the built-in normalisation (integer samples scaled into [-1, 1], float samples
// clipped with NaN -> 0) and the host's replacement for it.
#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>

#include "models/engine_seam.h"
#include "utils/audio.h"

namespace utils {
namespace {

// The host's implementation, when it provided one, lives in the seam's slots under this name.
constexpr std::string_view kSlot = "normalize_audio";

template <class Out>
AudioSamples normalized(const AudioSamples& audio) {
  std::vector<Out> out(audio.size());
  audio.visit([&](auto in) {
    using In = std::remove_cv_t<typename decltype(in)::value_type>;
    if constexpr (std::is_integral_v<In>) {
      // 2^15 or 2^31: the most negative value maps to exactly -1.
      const double scale = -static_cast<double>(std::numeric_limits<In>::min());
      for (std::size_t i = 0; i < in.size(); ++i) {
        out[i] = static_cast<Out>(static_cast<double>(in[i]) / scale);
      }
    } else {
      for (std::size_t i = 0; i < in.size(); ++i) {
        const In v = in[i];
        out[i] = std::isnan(v) ? Out(0) : static_cast<Out>(std::clamp<In>(v, -1, 1));
      }
    }
  });
  return AudioSamples(std::move(out));
}

}  // namespace

AudioSamples builtin_normalize_audio(const AudioSamples& audio, std::optional<DType> target_dtype) {
  const DType out = target_dtype.value_or(DType::float32);
  switch (out) {
    case DType::float64:
      return normalized<double>(audio);
    case DType::float32:
      return normalized<float>(audio);
    case DType::int16:
    case DType::int32:
      break;
  }
  throw std::invalid_argument("normalize_audio: target_dtype must be a float type, not " +
                              std::string(dtype_name(out)));
}

void provide_normalize_audio(NormalizeAudio fn) {
  models::seam::set_factory(kSlot,
                            fn ? std::make_shared<const NormalizeAudio>(std::move(fn)) : nullptr);
}

AudioSamples normalize_audio(const AudioSamples& audio, std::optional<DType> target_dtype) {
  if (const auto host =
          std::static_pointer_cast<const NormalizeAudio>(models::seam::factory(kSlot))) {
    return (*host)(audio, target_dtype);
  }
  return builtin_normalize_audio(audio, target_dtype);
}

}  // namespace utils
