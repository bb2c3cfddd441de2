// Shared by both subcommands: the session rate, the audio, and a detector configured from flags.
#pragma once

#include <memory>
#include <string>

#include "tools/audio_input.h"
#include "tools/commands.h"
#include "utils/vad/vad_detector.h"

namespace quern_cli {

struct PreparedAudio {
  AudioInput audio;
  std::shared_ptr<utils::vad::VADConfig> config;
};

// Reads the file at the session rate (noting a conversion on stderr) and builds the detector's
// configuration. Throws std::runtime_error with a one-line message.
PreparedAudio prepare(const std::string& file, const VadSettings& settings);

// Chunk length in samples for `chunk_ms` at `rate`.
std::size_t chunk_samples(int chunk_ms, int rate);

// A line on stderr showing progress, for long files when stderr is a terminal.
class Progress {
 public:
  Progress(double total_seconds);
  void update(double done_seconds);
  ~Progress();

 private:
  bool enabled_;
  double total_;
  double last_shown_ = -1;
};

}  // namespace quern_cli
