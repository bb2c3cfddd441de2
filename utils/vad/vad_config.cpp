// VADConfig: the model-mode frame size rule and the derived frame counts.
#include "utils/vad/vad_config.h"

#include <cmath>
#include <stdexcept>

#include "platform/quern_log.h"
#include "utils/number_format.h"

namespace utils::vad {
namespace {

// In double, in the written order, then truncated: 1.0 × 16000 ÷ 512 = 31.25 → 31. Dividing the
// integers first would give 4.0 × 31 = 124 instead of 125 frames for 4 s.
std::int64_t frame_count(const char* name, double duration, int sample_rate, int frame_size) {
  if (frame_size <= 0) {
    throw std::invalid_argument("VADConfig: frame_size must be at least 1, got " +
                                std::to_string(frame_size));
  }
  const double frames = duration * sample_rate / frame_size;
  // 2^63 is the first value past int64's range; the check also rejects NaN and infinities.
  if (!(frames > -9223372036854775808.0 && frames < 9223372036854775808.0)) {
    throw std::invalid_argument(std::string("VADConfig: ") + name + "=" +
                                utils::shortest(duration) +
                                " at sample_rate=" + std::to_string(sample_rate) +
                                " and frame_size=" + std::to_string(frame_size) +
                                " gives no frame count (" + utils::shortest(frames) + ")");
  }
  return static_cast<std::int64_t>(std::trunc(frames));
}

}  // namespace

VADConfig::VADConfig(VADConfigFields fields) : VADConfigFields(std::move(fields)) { post_init(); }

void VADConfig::post_init() {
  if (!use_model) return;
  const int min_frame_size = static_cast<int>(std::trunc(sample_rate / 31.25));
  if (frame_size < min_frame_size) {
    quern_log::logger.warning("frame_size " + std::to_string(frame_size) +
                              " is too small for model-based VAD, increasing to minimum " +
                              std::to_string(min_frame_size));
    frame_size = min_frame_size;
  }
}

std::int64_t VADConfig::silence_frames() const {
  return frame_count("silence_duration", silence_duration, sample_rate, frame_size);
}

std::int64_t VADConfig::padding_frames() const {
  return frame_count("speech_padding", speech_padding, sample_rate, frame_size);
}

}  // namespace utils::vad
