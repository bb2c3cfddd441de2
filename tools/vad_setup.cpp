// Session rate, audio conversion note, detector configuration and the progress line.
#include "tools/vad_setup.h"

#include <unistd.h>

#include <cstdio>
#include <stdexcept>

namespace quern_cli {

PreparedAudio prepare(const std::string& file, const VadSettings& s) {
  PreparedAudio p;
  p.audio = std::make_unique<AudioReader>(file);
  const int native = p.audio->source_rate();
  const int rate =
      s.sample_rate ? *s.sample_rate : (native == 8000 || native == 16000 ? native : 16000);
  p.audio->set_target_rate(rate);
  p.sample_rate = rate;
  if (native != rate || p.audio->source_channels() != 1) {
    std::fprintf(stderr, "quern: note: converting %s from %d Hz, %d channel%s to %d Hz mono\n",
                 file == "-" ? "standard input" : file.c_str(), native, p.audio->source_channels(),
                 p.audio->source_channels() == 1 ? "" : "s", rate);
  }

  const int silero_frame = rate == 8000 ? 256 : 512;
  if (s.use_model && !s.model_path && s.frame_size && *s.frame_size != silero_frame) {
    throw UsageError("--frame-size: the Silero model takes " + std::to_string(silero_frame) +
                     "-sample frames at " + std::to_string(rate) +
                     " Hz (512 at 16000 Hz, 256 at 8000 Hz); --energy takes 1 to 1048576");
  }
  utils::vad::VADConfigFields f;
  f.sample_rate = rate;
  f.frame_size = s.frame_size.value_or(silero_frame);
  f.use_model = s.use_model;
  f.model_path = s.model_path;
  if (s.silence) f.silence_duration = *s.silence;
  if (s.padding) f.speech_padding = *s.padding;
  if (s.threshold) (s.use_model ? f.model_threshold : f.energy_threshold) = *s.threshold;
  p.config = std::make_shared<utils::vad::VADConfig>(f);
  // Validates the frame counts now, so that a bad flag fails before any output.
  (void)p.config->silence_frames();
  (void)p.config->padding_frames();
  return p;
}

std::size_t chunk_samples(int chunk_ms, int rate) {
  return static_cast<std::size_t>(static_cast<long long>(chunk_ms) * rate / 1000);
}

Progress::Progress(double total_seconds)
    : enabled_(total_seconds > 60.0 && isatty(STDERR_FILENO)), total_(total_seconds) {}

void Progress::update(double done) {
  if (!enabled_ || done - last_shown_ < 1.0) return;
  last_shown_ = done;
  std::fprintf(stderr, "\rquern: %.0f / %.0f s (%.0f%%)", done, total_, 100.0 * done / total_);
}

Progress::~Progress() {
  if (enabled_ && last_shown_ >= 0) std::fprintf(stderr, "\n");
}

}  // namespace quern_cli
