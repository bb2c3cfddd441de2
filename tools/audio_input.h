// Reading audio for the quern host as a stream: any format libsndfile reads, from a file, a pipe or
// standard input ("-"), decoded block by block, mixed down to mono and resampled (libsoxr) block by
// block to the rate the session runs at, so memory does not grow with the input's length.
//
// Samples are cleaned the way a host's normalisation cleans them before the engines see them:
// NaN becomes 0 and everything else is clipped to [-1, 1]. The first time a block needs it, one
// note says so on stderr.
#pragma once

#include <cstddef>
#include <memory>
#include <span>
#include <string>

namespace quern_cli {

class AudioReader {
 public:
  // Opens `path` ("-" for standard input); reads it once, front to back. Throws
  // std::runtime_error with a one-line message when it cannot be read.
  explicit AudioReader(const std::string& path);
  ~AudioReader();
  AudioReader(const AudioReader&) = delete;
  AudioReader& operator=(const AudioReader&) = delete;

  int source_rate() const;      // Hz
  int source_channels() const;  // channels in the input
  // Seconds of audio, or 0 when unknown (a pipe).
  double duration() const;

  // The rate read() delivers, in Hz. REQUIRES: called once, before the first read().
  void set_target_rate(int rate);
  // Fills `out` with the next samples (mono, at the target rate); returns how many, fewer than
  // out.size() only at the end of the input, 0 once it is over.
  std::size_t read(std::span<float> out);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace quern_cli
