// What both subcommands do with a detector's frames: judge a chunk's whole frames one at a time
// (process_audio's result, frame by frame), hand each judgement to a Segmenter and print every
// segment it gives out, frame-accurate, in seconds rounded to 1 ms.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <span>
#include <stdexcept>
#include <string>
#include <utility>

#include "tools/commands.h"
#include "tools/output.h"
#include "utils/vad/segmenter.h"
#include "utils/vad/vad_detector.h"

namespace quern_cli {

class SegmentOutput {
 public:
  // `typed`: lines carry "type":"segment" (among quern session's other lines). Throws UsageError
  // for rules the segmenter refuses.
  SegmentOutput(const utils::vad::VADDetector& detector, int rate, const SegmentSettings& s,
                bool typed)
      : model_(detector.config->use_model && detector.vad_model),
        segmenter_(make(*detector.config, rate, model_, s)),
        typed_(typed) {}

  // (has_speech, speech_ended) of `frames` (whole frames only), as process_audio gives them;
  // `each_frame(i, verdict)` runs after frame i is judged, with its (is_speech, speech_ended).
  template <class EachFrame>
  std::pair<bool, bool> judge(utils::vad::VADDetector& detector, const utils::AudioSamples& frames,
                              EachFrame each_frame) {
    const auto frame = static_cast<std::size_t>(detector.config->frame_size);
    bool has_speech = false, ended = false;
    for (std::size_t i = 0; i < frames.size() / frame; ++i) {
      const auto [speech, frame_ended] =
          detector.process_frame(frames.slice(i * frame, (i + 1) * frame));
      has_speech = has_speech || speech;
      ended = ended || frame_ended;
      each_frame(i, std::pair<bool, bool>{speech, frame_ended});
      // How sure the judgement is: the model's probability, or the frame's own energy (the
      // newest in the history; the smoothed one lags behind the end of speech).
      const auto& energies = detector.energy_history;
      const double score = model_ ? detector.last_speech_prob : energies[energies.size() - 1];
      print(segmenter_.push(speech, frame_ended, score));
    }
    return {has_speech, ended};
  }

  // The end of the input: the segments still open or waiting.
  void finish() { print(segmenter_.finish()); }

 private:
  static utils::vad::Segmenter make(const utils::vad::VADConfig& config, int rate, bool model,
                                    const SegmentSettings& s) {
    const double frame_seconds = static_cast<double>(config.frame_size) / rate;
    // The detector reports the end of speech this many frames after its last speech frame.
    const auto end_frames =
        config.padding_frames() + std::max<std::int64_t>(config.silence_frames(), 1);
    try {
      return utils::vad::Segmenter(
          frame_seconds,
          {.end_threshold = s.end_threshold.value_or(model ? 0.9 : config.energy_threshold),
           .end_gap = static_cast<double>(end_frames) * frame_seconds,
           .min_speech = s.min_speech,
           .max_speech = s.max_speech,
           .pad = s.pad});
    } catch (const std::invalid_argument&) {
      char text[64];
      std::snprintf(text, sizeof text, "--max-speech: at least two frames (%g s)",
                    2 * frame_seconds);
      throw UsageError(text);
    }
  }

  void print(std::span<const utils::vad::Segment> segments) const {
    for (const auto& s : segments) {
      nlohmann::ordered_json line;
      if (typed_) line["type"] = "segment";
      line["start"] = std::round(s.start * 1000) / 1000;
      line["end"] = std::round(s.end * 1000) / 1000;
      emit(line);
    }
  }

  bool model_;  // frames judged by the model (else by energy) for the detector's whole life
  utils::vad::Segmenter segmenter_;
  bool typed_;
};

}  // namespace quern_cli
