// Reading an audio file for the quern host: any format libsndfile reads, mixed down to mono and
// resampled (libsoxr) to the rate the session runs at.
#pragma once

#include <string>
#include <vector>

namespace quern_cli {

struct AudioInput {
  std::vector<float> samples;  // mono, at `sample_rate`
  int sample_rate = 0;
  int source_rate = 0;
  int source_channels = 0;
};

// The file's native rate (to pick a default session rate before reading the samples).
int native_rate(const std::string& path);

// Throws std::runtime_error with a one-line message when the file cannot be read.
AudioInput read_audio(const std::string& path, int target_rate);

}  // namespace quern_cli
