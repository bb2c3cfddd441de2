// Shared by both subcommands: the input opened once, the session rate, the flags checked against
// the chosen mode, and a detector configured from them.
#pragma once

#include <memory>
#include <string>

#include "tools/audio_input.h"
#include "tools/commands.h"
#include "utils/vad/vad_detector.h"

namespace quern_cli {

struct PreparedAudio {
  std::unique_ptr<AudioReader> audio;  // delivers mono samples at `sample_rate`
  int sample_rate = 0;                 // Hz
  std::shared_ptr<utils::vad::VADConfig> config;
};

// Opens the input, picks the session rate (noting a conversion on stderr), checks the flags that
// depend on the mode and rate (UsageError) and builds the detector's configuration. Throws
// std::runtime_error with a one-line message when the input cannot be read.
PreparedAudio prepare(const std::string& file, const VadSettings& settings);

// Chunk length in samples for `chunk_ms` at `rate`.
std::size_t chunk_samples(int chunk_ms, int rate);

// A line on stderr showing progress, for long inputs of known length when stderr is a terminal.
class Progress {
 public:
  explicit Progress(double total_seconds);
  void update(double done_seconds);
  ~Progress();

 private:
  bool enabled_;
  double total_;
  double last_shown_ = -1;
};

}  // namespace quern_cli
