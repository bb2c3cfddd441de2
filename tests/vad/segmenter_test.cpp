// The segmenter's rules on scripted frame judgements: the detector's spans by default, minimum,
// split at the least speech-like frame, padding clipped to the stream and to neighbours, and when
// each segment is handed out.
#include "utils/vad/segmenter.h"

#include <gtest/gtest.h>

#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

using utils::vad::Segment;
using utils::vad::Segmenter;
using utils::vad::SegmentRules;

namespace {

constexpr double kFrame = 0.25;  // seconds; exact in binary, so times compare exactly

struct Emitted {
  double start, end;
  long at;  // frames pushed when it came out; -1 from finish()
  bool operator==(const Emitted&) const = default;
};

// One char per frame: 's' speech, '.' not speech, 'e' not speech with the end of speech
// reported. `scores` (one per frame) default to 1 for speech and 0 for the rest.
std::vector<Emitted> run(Segmenter& seg, const std::string& frames,
                         std::vector<double> scores = {}) {
  std::vector<Emitted> out;
  for (std::size_t i = 0; i < frames.size(); ++i) {
    const double score = scores.empty() ? (frames[i] == 's' ? 1.0 : 0.0) : scores[i];
    for (const Segment& s : seg.push(frames[i] == 's', frames[i] == 'e', score)) {
      out.push_back({s.start, s.end, static_cast<long>(i + 1)});
    }
  }
  for (const Segment& s : seg.finish()) out.push_back({s.start, s.end, -1});
  return out;
}

}  // namespace

TEST(Segmenter, WithoutRulesSegmentsAreTheDetectorsSpansHandedOutAtItsEnd) {
  Segmenter seg(kFrame);
  // A pause inside a span stays inside; the end report closes it (repeated reports do not), and
  // the stream's end closes the last one at its last speech frame.
  EXPECT_EQ(run(seg, "..ss.s..eee.sss..e..s.."),
            (std::vector<Emitted>{{0.5, 1.5, 9}, {3.0, 3.75, 18}, {5.0, 5.25, -1}}));
}

TEST(Segmenter, SegmentsEndAtTheirLastSureFrame) {
  Segmenter seg(kFrame, {.end_threshold = 0.9});
  // The unsure first frame still starts the segment; the unsure tail (0.7, 0.6) is left out. A
  // segment with no sure frame keeps the detector's end.
  EXPECT_EQ(run(seg, "sssss..e.ss..e", {0.6, 1, 1, 0.7, 0.6, 0, 0, 0, 0, 0.6, 0.7, 0, 0, 0}),
            (std::vector<Emitted>{{0.0, 0.75, 8}, {2.25, 2.75, 14}}));
  // A split's first part ends at its last sure frame before the cut too.
  Segmenter split(kFrame, {.end_threshold = 0.9, .max_speech = 2.0});
  EXPECT_EQ(run(split, "sssssssssssse.", {1, 1, 1, 1, 0.95, 0.6, 0.7, 0.5, 1, 1, 1, 1, 0, 0}),
            (std::vector<Emitted>{{0.0, 1.25, 9}, {2.0, 3.0, 13}}));
  // An unsure frame (0.6) keeps the detector from reporting the end; three frames with no sure
  // one end the segment all the same, as soon as they have passed.
  Segmenter gap(kFrame, {.end_threshold = 0.9, .end_gap = 0.75});
  EXPECT_EQ(run(gap, "sss.s....sss..e", {1, 1, 1, 0, 0.6, 0, 0, 0, 0, 1, 1, 1, 0, 0, 0}),
            (std::vector<Emitted>{{0.0, 0.75, 6}, {2.25, 3.0, 15}}));
}

TEST(Segmenter, MinimumDropsShortSegmentsOnly) {
  Segmenter seg(kFrame, {.min_speech = 0.75});
  EXPECT_EQ(run(seg, "ss..e.sss..e.s.e"), (std::vector<Emitted>{{1.5, 2.25, 12}}));
}

TEST(Segmenter, MaximumSplitsAtTheLeastSpeechLikeFrameAndNeverExceedsIt) {
  Segmenter seg(kFrame, {.max_speech = 2.0});  // 8 frames
  // Twelve frames of speech; in the second half of the first eight the lowest score is frame 5
  // (0.6; frame 2's 0.1 lies in the first half): the first part is frames 0-4, the rest starts
  // at frame 6.
  const std::vector<double> scores{0.9, 0.9, 0.1, 0.9, 0.9, 0.6, 0.9,
                                   0.7, 0.9, 0.9, 0.9, 0.9, 0.0, 0.0};
  EXPECT_EQ(run(seg, "sssssssssssse.", scores),
            (std::vector<Emitted>{{0.0, 1.25, 9}, {1.5, 3.0, 13}}));
  // A long run is cut again and again, each part at most 8 frames.
  Segmenter long_run(kFrame, {.max_speech = 2.0});
  for (const auto& e : run(long_run, std::string(100, 's'))) {
    EXPECT_LE(e.end - e.start, 2.0);
    EXPECT_GE(e.end - e.start, 1.0);
  }
}

TEST(Segmenter, PaddingIsClippedToTheStreamAndMeetsNeighboursHalfway) {
  Segmenter seg(kFrame, {.pad = 0.5});
  // Speech at 0.25-0.5 (padding clipped at 0) and 1.0-1.25 (0.5 s apart: they meet at 0.75,
  // and the first is final as soon as the second is); 3.75-4.0, final once the stream is 2·pad
  // past it, before the stream ends; 6.0-6.25 with the stream ending at 6.5 (clipped there).
  EXPECT_EQ(
      run(seg, ".se.se.........se.......se"),
      (std::vector<Emitted>{{0.0, 0.75, 6}, {0.75, 1.75, 9}, {3.25, 4.5, 20}, {5.5, 6.5, -1}}));
}

TEST(Segmenter, RulesThatMeanNothingAreRefused) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  EXPECT_THROW(Segmenter{0.0}, std::invalid_argument);
  EXPECT_THROW(Segmenter{nan}, std::invalid_argument);
  EXPECT_THROW(Segmenter(kFrame, {.end_threshold = nan}), std::invalid_argument);
  EXPECT_THROW(Segmenter(kFrame, {.end_gap = kFrame / 2}), std::invalid_argument);
  EXPECT_THROW(Segmenter(kFrame, {.min_speech = -1}), std::invalid_argument);
  EXPECT_THROW(Segmenter(kFrame, {.max_speech = nan}), std::invalid_argument);
  EXPECT_THROW(Segmenter(kFrame, {.max_speech = kFrame}), std::invalid_argument);
  EXPECT_THROW(Segmenter(kFrame, {.pad = std::numeric_limits<double>::infinity()}),
               std::invalid_argument);
}
