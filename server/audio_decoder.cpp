// Decoding and resampling of client audio.
#include "server/audio_decoder.h"

#include <soxr.h>

#include <bit>
#include <cstdint>
#include <cstring>
#include <string>

#include "utils/clean_samples.h"

namespace server {

static_assert(std::endian::native == std::endian::little, "samples are read as little-endian");

struct AudioDecoder::Soxr {
  soxr_t handle = nullptr;
  ~Soxr() { soxr_delete(handle); }
};

AudioDecoder::AudioDecoder(SampleFormat format, int sample_rate)
    : format_(format), rate_(sample_rate) {
  if (rate_ == kEngineRate) return;
  soxr_error_t error = nullptr;
  const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
  const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
  soxr_ = std::make_unique<Soxr>();
  soxr_->handle = soxr_create(rate_, kEngineRate, 1, &error, &io, &quality, nullptr);
  if (error) throw std::runtime_error(std::string("cannot make a resampler: ") + error);
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
  std::vector<float>& target = soxr_ ? scratch_ : out;
  const std::size_t at = soxr_ ? 0 : out.size();
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
  if (soxr_) resample(scratch_.data(), n, out);
  return cleaned;
}

void AudioDecoder::flush(std::vector<float>& out) {
  if (soxr_) resample(nullptr, 0, out);
}

void AudioDecoder::resample(const float* in, std::size_t count, std::vector<float>& out) {
  const std::size_t start = out.size();
  std::size_t consumed = 0;
  for (;;) {
    const std::size_t room = resampled(count - consumed) + 64;
    const std::size_t at = out.size();
    out.resize(at + room);
    std::size_t used = 0, made = 0;
    const soxr_error_t error =
        soxr_process(soxr_->handle, in ? in + consumed : nullptr, in ? count - consumed : 0, &used,
                     out.data() + at, room, &made);
    out.resize(at + made);
    if (error) throw std::runtime_error(std::string("resampling failed: ") + error);
    consumed += used;
    if (in ? consumed >= count : made < room) break;
  }
  // Resampling may ring a little past full scale.
  utils::clean_samples({out.data() + start, out.size() - start});
}

}  // namespace server
