// Segmenter: speech segments in seconds from a detector's frame-by-frame judgements, with the
// rules users of speech timestamps expect. A segment starts at the first frame judged speech and
// ends at the end of the last frame judged speech before the detector reports the end of speech
// (so pauses shorter than the detector's padding and silence stay inside one segment).
//
// Rules, each off by default (then the segments are exactly the detector's spans):
//   end_threshold  a segment ends at its last speech frame scoring above this (its last sure
//               frame), where it has one. Both judgements lag behind the end of speech: the
//               model's recurrent state keeps its probability above 0.5 for a frame or two of
//               silence, and the smoothed energy stays up while loud frames are in its history.
//               Ending at the frames the judgement is sure of (quern's defaults: probability
//               above 0.9, or the frame's own energy above the energy threshold) ends a segment
//               where the speech ends;
//   end_gap     a segment also ends when this long passes after its last sure frame with no
//               other, whether or not the detector reports the end of speech: the detector's own
//               rule, counted over sure frames only (quern passes the detector's padding plus
//               silence). Noise the model half believes, such as babble, keeps the detector from
//               reporting the end between two sentences; it rarely makes a frame sure;
//   min_speech  segments shorter than this are dropped;
//   max_speech  a segment about to grow longer is split at its least speech-like frame (lowest
//               score) in the second half of the span before the limit, so that no segment is
//               longer than max_speech;
//   pad         both ends move outwards by this much, clipped to the stream (0 and its end) and
//               never past a neighbour: when two padded segments would overlap, they meet halfway
//               between the unpadded ones.
//
// Streaming: push() returns the segments that became final with that frame, as soon as no later
// frame can change them (with pad 0, at the frame the detector reports the end of speech; with a
// pad, once the stream is 2·pad past the segment's end or the next kept segment is known);
// finish() returns the rest.
//
//   utils::vad::Segmenter segmenter(0.032, {.end_threshold = 0.9, .end_gap = 1.28,
//                                           .min_speech = 0.25});
//   for each frame: auto [speech, ended] = detector.process_frame(frame);
//                   for (auto s : segmenter.push(speech, ended, detector.last_speech_prob)) ...
//   at the end:     for (auto s : segmenter.finish()) ...
//
// Thread safety: none; one segmenter per stream, calls must not overlap.
#pragma once

#include <cstddef>
#include <limits>
#include <span>
#include <vector>

#include "utils/export.h"

namespace utils::vad {

struct SegmentRules {
  double end_threshold = -std::numeric_limits<double>::infinity();  // in the scores' unit
  double end_gap = std::numeric_limits<double>::infinity();         // seconds
  double min_speech = 0.0;                                          // seconds
  double max_speech = std::numeric_limits<double>::infinity();      // seconds
  double pad = 0.0;                                                 // seconds, at each end
};

struct Segment {
  double start = 0.0;  // seconds from the start of the stream
  double end = 0.0;    // seconds from the start of the stream
};

class VAD_API Segmenter {
 public:
  // `frame_seconds`: the duration of one frame (frame_size / sample_rate).
  // REQUIRES: frame_seconds finite and > 0; end_threshold not NaN; end_gap infinite or at least
  // one frame; min_speech and pad finite and >= 0; max_speech infinite or at least two frames.
  // Throws std::invalid_argument naming the value otherwise.
  explicit Segmenter(double frame_seconds, SegmentRules rules = {});

  // One frame's judgement, in stream order: `is_speech` and `speech_ended` as process_frame
  // returned them, and its score for the end threshold and for choosing a split (the model's
  // probability, or the frame's own RMS energy in energy mode). The span stays valid until the
  // next call.
  std::span<const Segment> push(bool is_speech, bool speech_ended, double score);

  // The end of the stream: the open segment closes and every segment not yet returned is, the
  // last one's padding clipped to the stream's length. Later pushes continue the same stream.
  std::span<const Segment> finish();

 private:
  struct Frame {
    float score;
    bool speech;
    bool sure;  // speech scoring above end_threshold
  };
  struct Pending {
    double start;  // padded
    double end;    // unpadded
  };

  void close_open();
  void keep(std::size_t first, std::size_t end_frame);
  void split();
  void release_settled();
  void emit(double start, double end);

  double frame_seconds_;
  SegmentRules rules_;
  std::size_t max_frames_;  // the longest segment in whole frames (SIZE_MAX: no limit)
  std::size_t gap_frames_;  // end_gap in whole frames (SIZE_MAX: none)
  std::size_t frames_ = 0;  // frames pushed so far
  bool was_ended_ = false;
  bool open_ = false;
  std::size_t start_ = 0, last_ = 0;  // the open segment's first and last speech frame
  std::size_t last_sure_ = 0;         // its last speech frame above end_threshold...
  bool has_sure_ = false;             // ...if it has one
  std::vector<Frame> since_start_;    // the open segment's frames, kept only with max_speech
  bool has_pending_ = false;
  Pending pending_{};
  double emitted_end_ = 0.0;  // where the last returned segment ended
  std::vector<Segment> out_;
};

}  // namespace utils::vad
