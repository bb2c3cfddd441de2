// Audio in as a stream: libsndfile decodes a block at a time, channels are averaged to mono, bad
// samples cleaned, and libsoxr resamples each block as it comes (utils::Resampler).
#include "tools/audio_input.h"

#include <sndfile.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <stdexcept>
#include <system_error>
#include <vector>

#include "utils/clean_samples.h"
#include "utils/resampler.h"

namespace quern_cli {
namespace {

constexpr sf_count_t kBlockFrames = 4096;

}  // namespace

struct AudioReader::Impl {
  std::string name;  // for messages
  SNDFILE* file = nullptr;
  SF_INFO info{};
  std::unique_ptr<utils::Resampler> resampler;
  int target_rate = 0;
  bool input_done = false;  // libsndfile has nothing more
  bool finished = false;    // and the resampler has given out everything
  bool noted = false;
  std::vector<float> interleaved, mono, pending;
  std::size_t pending_at = 0;

  ~Impl() {
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
        resampler->process(mono, pending);
      } else {
        resampler->flush(pending);
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
  try {
    m.resampler = std::make_unique<utils::Resampler>(m.info.samplerate, rate);
  } catch (const std::runtime_error& e) {
    m.fail(e.what());
  }
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
