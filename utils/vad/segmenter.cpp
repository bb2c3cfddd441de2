// Segmenter: the open segment in frames, the last kept one waiting for its right neighbour in
// seconds (its padding depends on where the next kept segment starts).
#include "utils/vad/segmenter.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <stdexcept>
#include <string>

namespace utils::vad {

namespace {

void require(bool ok, const char* what, double value) {
  if (!ok) throw std::invalid_argument(std::string(what) + ": " + std::to_string(value));
}

}  // namespace

Segmenter::Segmenter(double frame_seconds, SegmentRules rules)
    : frame_seconds_(frame_seconds), rules_(rules) {
  require(std::isfinite(frame_seconds) && frame_seconds > 0, "frame duration must be positive",
          frame_seconds);
  require(!std::isnan(rules.end_threshold), "end_threshold must be a number", rules.end_threshold);
  require(
      rules.end_gap == std::numeric_limits<double>::infinity() || rules.end_gap >= frame_seconds,
      "end_gap must be at least one frame", rules.end_gap);
  require(std::isfinite(rules.min_speech) && rules.min_speech >= 0,
          "min_speech must be finite and not negative", rules.min_speech);
  require(std::isfinite(rules.pad) && rules.pad >= 0, "pad must be finite and not negative",
          rules.pad);
  require(rules.max_speech == std::numeric_limits<double>::infinity() ||
              rules.max_speech >= 2 * frame_seconds,
          "max_speech must be at least two frames", rules.max_speech);
  // Whole frames; the slack keeps a count given as frames × frame_seconds whole.
  const auto frames = [&](double seconds) {
    const double n = seconds / frame_seconds + 1e-9;
    return n >= static_cast<double>(SIZE_MAX) ? SIZE_MAX : static_cast<std::size_t>(n);
  };
  max_frames_ = frames(rules.max_speech);
  gap_frames_ = frames(rules.end_gap);
  if (max_frames_ != SIZE_MAX)
    since_start_.reserve(std::min<std::size_t>(max_frames_ + 1, 1 << 16));
  out_.reserve(4);
}

std::span<const Segment> Segmenter::push(bool is_speech, bool speech_ended, double score) {
  out_.clear();
  const std::size_t f = frames_++;
  // Written so that a NaN score counts: without a threshold every speech frame does.
  const bool sure = is_speech && !(score <= rules_.end_threshold);
  // The detector reports the end of speech, or no frame has been sure for end_gap.
  const bool gap = has_sure_ && !sure && gap_frames_ != SIZE_MAX && f - last_sure_ >= gap_frames_;
  if (open_ && ((speech_ended && !was_ended_) || gap)) close_open();
  was_ended_ = speech_ended;
  if (is_speech) {
    if (!open_) {
      open_ = true;
      start_ = f;
      has_sure_ = false;
      since_start_.clear();
    }
    last_ = f;
  }
  if (sure) {
    last_sure_ = f;
    has_sure_ = true;
  }
  if (open_ && max_frames_ != SIZE_MAX) {
    since_start_.push_back({static_cast<float>(score), is_speech, sure});
    if (since_start_.size() > max_frames_) split();
  }
  release_settled();
  return out_;
}

std::span<const Segment> Segmenter::finish() {
  out_.clear();
  if (open_) close_open();
  if (has_pending_) {
    const double total = static_cast<double>(frames_) * frame_seconds_;
    emit(pending_.start, std::min(pending_.end + rules_.pad, total));
    has_pending_ = false;
  }
  return out_;
}

void Segmenter::close_open() {
  open_ = false;
  keep(start_, (has_sure_ ? last_sure_ : last_) + 1);
}

// The open span is one frame longer than allowed: end the segment before the lowest-scoring
// frame in the second half of the allowed span (the latest of equals), and go on with what
// follows it.
void Segmenter::split() {
  const std::size_t from = max_frames_ / 2;
  std::size_t cut = from;
  for (std::size_t i = from; i < max_frames_; ++i) {
    if (since_start_[i].score <= since_start_[cut].score) cut = i;
  }
  std::size_t last_before = 0;  // frame 0 of the span is speech: it opened the segment
  std::size_t last_sure_before = SIZE_MAX;
  for (std::size_t i = 0; i < cut; ++i) {
    if (!since_start_[i].speech) continue;
    last_before = i;
    if (since_start_[i].sure) last_sure_before = i;
  }
  keep(start_, start_ + (last_sure_before != SIZE_MAX ? last_sure_before : last_before) + 1);
  // The rest starts at its first speech frame after the cut, if any.
  std::size_t next = cut + 1;
  while (next < since_start_.size() && !since_start_[next].speech) ++next;
  if (next == since_start_.size()) {
    open_ = false;
    since_start_.clear();
    return;
  }
  start_ += next;
  has_sure_ = has_sure_ && last_sure_ >= start_;  // the latest sure frame, if in what is left
  since_start_.erase(since_start_.begin(),
                     since_start_.begin() + static_cast<std::ptrdiff_t>(next));
}

void Segmenter::keep(std::size_t first, std::size_t end_frame) {
  const double start = static_cast<double>(first) * frame_seconds_;
  const double end = static_cast<double>(end_frame) * frame_seconds_;
  if (end - start < rules_.min_speech) return;
  if (has_pending_) {
    // Neighbours: each padded end reaches at most halfway across the gap between them.
    const double reach = std::min(rules_.pad, (start - pending_.end) / 2);
    emit(pending_.start, pending_.end + reach);
  }
  pending_ = {std::max({start - rules_.pad, emitted_end_, 0.0}), end};
  has_pending_ = true;
}

// The waiting segment is final once the stream is 2·pad past its end with no segment begun in
// that reach (a segment begun there may still turn out a neighbour, or be dropped).
void Segmenter::release_settled() {
  if (!has_pending_) return;
  const double settled = pending_.end + 2 * rules_.pad;
  const double now = static_cast<double>(frames_) * frame_seconds_;
  if (now < settled) return;
  if (open_ && static_cast<double>(start_) * frame_seconds_ < settled) return;
  emit(pending_.start, pending_.end + rules_.pad);
  has_pending_ = false;
}

void Segmenter::emit(double start, double end) {
  out_.push_back({start, end});
  emitted_end_ = end;
}

}  // namespace utils::vad
