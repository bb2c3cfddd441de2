// Decoding and resampling of client audio.
#include "server/audio_decoder.h"

#include <bit>
#include <cstdint>
#include <cstring>
#include <string>

#include "utils/clean_samples.h"
#include "utils/resampler.h"

namespace server {

static_assert(std::endian::native == std::endian::little, "samples are read as little-endian");

AudioDecoder::AudioDecoder(SampleFormat format, int sample_rate)
    : format_(format), rate_(sample_rate) {
  if (rate_ != kEngineRate) resampler_ = std::make_unique<utils::Resampler>(rate_, kEngineRate);
}

AudioDecoder::~AudioDecoder() = default;

std::size_t AudioDecoder::output_samples(std::size_t bytes) const {
  return resampled(bytes / (format_ == SampleFormat::s16le ? 2 : 4));
}

std::size_t AudioDecoder::resampled(std::size_t in) const {
  const auto rate = static_cast<std::size_t>(rate_);
  return (in * kEngineRate + rate - 1) / rate;
}

bool AudioDecoder::decode(std::span<const std::byte> message, std::vector<float>& out) {
  const std::size_t width = format_ == SampleFormat::s16le ? 2 : 4;
  if (message.size() % width != 0) {
    throw ProtocolError(CloseCode::invalid_payload,
                        "an audio message of " + std::to_string(message.size()) +
                            " bytes is not a whole number of " + (width == 2 ? "s16le" : "f32le") +
                            " samples");
  }
  const std::size_t n = message.size() / width;
  if (n == 0) return false;  // an empty message is no audio (and no memcpy from nowhere)
  // Decoded straight into `out` at 16 kHz; else into the scratch buffer for the resampler.
  std::vector<float>& target = resampler_ ? scratch_ : out;
  const std::size_t at = resampler_ ? 0 : out.size();
  target.resize(at + n);
  float* dst = target.data() + at;
  bool cleaned = false;
  if (format_ == SampleFormat::s16le) {
    for (std::size_t i = 0; i < n; ++i) {
      std::int16_t v;
      std::memcpy(&v, message.data() + 2 * i, 2);
      dst[i] = static_cast<float>(v) / 32768.0f;
    }
  } else {
    std::memcpy(dst, message.data(), n * 4);
    cleaned = utils::clean_samples({dst, n});
  }
  if (resampler_) resampler_->process({scratch_.data(), n}, out);
  return cleaned;
}

void AudioDecoder::flush(std::vector<float>& out) {
  if (resampler_) resampler_->flush(out);
}

}  // namespace server
