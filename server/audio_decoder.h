// AudioDecoder: a session's audio messages into the 16 kHz float samples the detector and the
// engines take — little-endian s16 or f32 decoded, cleaned (NaN to 0, the rest clipped to
// [-1, 1]) and resampled by libsoxr, one stream's resampler state carried across messages.
//
// Thread safety: one decoder per session; calls must not overlap.
#pragma once

#include <cstddef>
#include <memory>
#include <span>
#include <vector>

#include "server/stream_config.h"

namespace utils {
class Resampler;
}

namespace server {

using protocol::kEngineRate;

class AudioDecoder {
 public:
  // Throws std::runtime_error when the resampler cannot be made.
  AudioDecoder(SampleFormat format, int sample_rate);
  ~AudioDecoder();
  AudioDecoder(const AudioDecoder&) = delete;
  AudioDecoder& operator=(const AudioDecoder&) = delete;

  // Appends the samples of one message to `out`. Returns whether any had to be cleaned. Throws
  // ProtocolError (invalid_payload) for a byte count that is not a whole number of samples.
  bool decode(std::span<const std::byte> message, std::vector<float>& out);
  // Appends what the resampler still holds at the end of the stream.
  void flush(std::vector<float>& out);

  // Samples at 16 kHz that `bytes` of input make, rounded up (for sizing buffers).
  std::size_t output_samples(std::size_t bytes) const;

 private:
  std::size_t resampled(std::size_t in_samples) const;

  SampleFormat format_;
  int rate_;
  std::vector<float> scratch_;  // decoded samples at the input rate, before resampling
  std::unique_ptr<utils::Resampler> resampler_;  // absent at 16 kHz
};

}  // namespace server
