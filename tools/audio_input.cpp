// Audio in as a stream: libsndfile decodes a block at a time, channels are averaged to mono, bad
// samples cleaned, and libsoxr resamples each block as it comes.
#include "tools/audio_input.h"

#include <sndfile.h>
#include <soxr.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <stdexcept>
#include <system_error>
#include <vector>

#include "utils/clean_samples.h"

namespace quern_cli {
namespace {

constexpr sf_count_t kBlockFrames = 4096;

}  // namespace

struct AudioReader::Impl {
  std::string name;  // for messages
  SNDFILE* file = nullptr;
  SF_INFO info{};
  soxr_t resampler = nullptr;
  int target_rate = 0;
  bool input_done = false;  // libsndfile has nothing more
  bool finished = false;    // and the resampler has given out everything
  bool noted = false;
  std::vector<float> interleaved, mono, pending;
  std::size_t pending_at = 0;

  ~Impl() {
    if (resampler) soxr_delete(resampler);
    if (file) sf_close(file);
  }

  [[noreturn]] void fail(const std::string& why) const {
    throw std::runtime_error("cannot read '" + name + "': " + why);
  }

  // The next decoded block, mono and cleaned, in `mono`; empty once the input is over.
  void decode_block() {
    const int channels = info.channels;
    interleaved.resize(static_cast<std::size_t>(kBlockFrames * channels));
    const sf_count_t got = sf_readf_float(file, interleaved.data(), kBlockFrames);
    mono.resize(static_cast<std::size_t>(std::max<sf_count_t>(got, 0)));
    if (mono.empty()) {
      input_done = true;
      if (sf_error(file) != SF_ERR_NO_ERROR) fail(sf_strerror(file));
      return;
    }
    for (std::size_t i = 0; i < mono.size(); ++i) {
      float sum = 0;
      for (int c = 0; c < channels; ++c) sum += interleaved[i * channels + c];
      mono[i] = sum / static_cast<float>(channels);
    }
    if (utils::clean_samples(mono) && !noted) {
      noted = true;
      std::fprintf(stderr,
                   "quern: note: %s holds samples that are not finite or outside [-1, 1]: NaN read "
                   "as 0, the rest clipped to [-1, 1]\n",
                   name.c_str());
    }
  }

  // Appends the resampler's output for `in` (nullptr: the end of the input) to `pending`.
  void resample(const float* in, std::size_t count) {
    const double ratio = static_cast<double>(target_rate) / info.samplerate;
    std::size_t consumed = 0;
    for (;;) {
      const std::size_t room = static_cast<std::size_t>((count - consumed) * ratio) + 256;
      const std::size_t at = pending.size();
      pending.resize(at + room);
      std::size_t used = 0, made = 0;
      const soxr_error_t error =
          soxr_process(resampler, in ? in + consumed : nullptr, in ? count - consumed : 0, &used,
                       pending.data() + at, room, &made);
      if (error) fail(std::string("resampling failed: ") + error);
      pending.resize(at + made);
      consumed += used;
      // Input: until every sample went in. End of input: until the resampler is drained.
      if (in ? consumed >= count : made < room) break;
    }
    utils::clean_samples(pending);  // resampling may ring a little past full scale
  }

  // Refills `pending`; false once nothing more will come.
  bool refill() {
    pending.clear();
    pending_at = 0;
    while (pending.empty() && !finished) {
      if (!input_done) decode_block();
      if (!resampler) {
        pending.swap(mono);
        finished = input_done;
      } else if (!input_done) {
        resample(mono.data(), mono.size());
      } else {
        resample(nullptr, 0);
        finished = true;
      }
    }
    return !pending.empty();
  }
};

AudioReader::AudioReader(const std::string& path) : impl_(std::make_unique<Impl>()) {
  auto& m = *impl_;
  m.name = path == "-" ? "standard input" : path;
  if (path == "-") {
    m.file = sf_open_fd(STDIN_FILENO, SFM_READ, &m.info, SF_FALSE);
  } else {
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec)) m.fail("it is a directory");
    m.file = sf_open(path.c_str(), SFM_READ, &m.info);
  }
  if (!m.file) m.fail(sf_strerror(nullptr));
  if (m.info.channels < 1 || m.info.samplerate < 1) m.fail("no audio channels");
}

AudioReader::~AudioReader() = default;

int AudioReader::source_rate() const { return impl_->info.samplerate; }
int AudioReader::source_channels() const { return impl_->info.channels; }

double AudioReader::duration() const {
  const auto& info = impl_->info;
  // A pipe's header may state any length; only a seekable input's is known.
  if (!info.seekable || info.frames <= 0) return 0;
  return static_cast<double>(info.frames) / info.samplerate;
}

void AudioReader::set_target_rate(int rate) {
  auto& m = *impl_;
  m.target_rate = rate;
  if (rate == m.info.samplerate) return;
  const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
  const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
  soxr_error_t error = nullptr;
  m.resampler = soxr_create(m.info.samplerate, rate, 1, &error, &io, &quality, nullptr);
  if (error) m.fail(std::string("cannot resample: ") + error);
}

std::size_t AudioReader::read(std::span<float> out) {
  auto& m = *impl_;
  std::size_t done = 0;
  while (done < out.size()) {
    if (m.pending_at == m.pending.size() && !m.refill()) break;
    const std::size_t n = std::min(out.size() - done, m.pending.size() - m.pending_at);
    std::copy_n(m.pending.data() + m.pending_at, n, out.data() + done);
    m.pending_at += n;
    done += n;
  }
  return done;
}

}  // namespace quern_cli
