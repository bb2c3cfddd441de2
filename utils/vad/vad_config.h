// VADConfig: the settings of a voice activity detector, with the two frame counts derived from
// them. The record is plain data: callers may change fields at any time, and a detector reads
// them again on every frame.
//
//   auto config = std::make_shared<VADConfig>(VADConfigFields{.use_model = true});
//   VADDetector detector(config);
//
// Thread safety: none of its own; it is read without a lock by the detector that holds it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "utils/export.h"

namespace utils::vad {

struct VADConfigFields {
  int sample_rate = 16000;                // samples per second of the audio given to the detector
  int frame_size = 512;                   // samples per analysis frame
  double energy_threshold = 0.01;         // RMS amplitude (samples in [-1, 1]); speech when above
  double silence_duration = 1.0;          // seconds of silence after the padding that end speech
  double speech_padding = 0.3;            // seconds of grace after the last speech frame
  bool use_model = false;                 // judge frames with the Silero VAD model
  std::string model_name = "silero-vad";  // shown in the start-up message only
  std::optional<std::string> model_path = std::nullopt;  // local model file, else the packaged one
  double model_threshold = 0.5;                          // probability; speech when above
  std::string device = "cpu";                            // where the model runs
};

struct VAD_API VADConfig : VADConfigFields {
  // Takes the fields and runs post_init() once; copies do not run it again.
  explicit VADConfig(VADConfigFields fields = {});

  // With use_model set, raises a frame_size below the model's minimum (32 ms of samples) to that
  // minimum, with a warning.
  void post_init();

  // silence_duration × sample_rate ÷ frame_size, truncated toward zero (31 with the defaults).
  // Throws std::invalid_argument for a frame_size below 1 or a count that is not a finite number
  // within range (NaN or infinite durations, absurd values).
  std::int64_t silence_frames() const;
  // speech_padding × sample_rate ÷ frame_size, truncated (9 with the defaults); throws likewise.
  std::int64_t padding_frames() const;
};

}  // namespace utils::vad
