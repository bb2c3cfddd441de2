// Audio files in: libsndfile for decoding, an average over channels for mono, libsoxr for rate.
#include "tools/audio_input.h"

#include <sndfile.h>
#include <soxr.h>

#include <memory>
#include <stdexcept>

namespace quern_cli {
namespace {

struct SndFile {
  SNDFILE* file = nullptr;
  SF_INFO info{};
  explicit SndFile(const std::string& path) {
    file = sf_open(path.c_str(), SFM_READ, &info);
    if (!file) {
      throw std::runtime_error("cannot read '" + path + "': " + sf_strerror(nullptr));
    }
  }
  ~SndFile() { sf_close(file); }
  SndFile(const SndFile&) = delete;
  SndFile& operator=(const SndFile&) = delete;
};

}  // namespace

int native_rate(const std::string& path) { return SndFile(path).info.samplerate; }

AudioInput read_audio(const std::string& path, int target_rate) {
  SndFile in(path);
  const int channels = in.info.channels;
  if (channels < 1 || in.info.samplerate < 1) {
    throw std::runtime_error("cannot read '" + path + "': no audio channels");
  }
  std::vector<float> interleaved(static_cast<std::size_t>(in.info.frames) * channels);
  const sf_count_t got = sf_readf_float(in.file, interleaved.data(), in.info.frames);
  if (got < 0) throw std::runtime_error("cannot read '" + path + "': " + sf_strerror(in.file));

  AudioInput out;
  out.source_rate = in.info.samplerate;
  out.source_channels = channels;
  out.sample_rate = target_rate;
  std::vector<float> mono(static_cast<std::size_t>(got));
  for (std::size_t i = 0; i < mono.size(); ++i) {
    float sum = 0;
    for (int c = 0; c < channels; ++c) sum += interleaved[i * channels + c];
    mono[i] = sum / static_cast<float>(channels);
  }
  if (in.info.samplerate == target_rate) {
    out.samples = std::move(mono);
    return out;
  }
  const double ratio = static_cast<double>(target_rate) / in.info.samplerate;
  out.samples.resize(static_cast<std::size_t>(static_cast<double>(mono.size()) * ratio + 16));
  std::size_t done = 0;
  const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
  const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
  soxr_error_t error =
      soxr_oneshot(in.info.samplerate, target_rate, 1, mono.data(), mono.size(), nullptr,
                   out.samples.data(), out.samples.size(), &done, &io, &quality, nullptr);
  if (error) throw std::runtime_error("cannot resample '" + path + "': " + error);
  out.samples.resize(done);
  return out;
}

}  // namespace quern_cli
