// Resampler: one mono stream's libsoxr resampler (float samples, high quality), its state carried
// from block to block, for the hosts that take audio at other rates (quern's file input, the
// server's audio messages). Its output is cleaned as clean_samples does: resampling may ring a
// little past full scale. Header-only; whoever includes it links libsoxr.
//
// Thread safety: one resampler per stream; calls must not overlap.
#pragma once

#include <soxr.h>

#include <cstddef>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "utils/clean_samples.h"

namespace utils {

class Resampler {
 public:
  // REQUIRES: both rates >= 1 (Hz). Throws std::runtime_error when libsoxr refuses.
  Resampler(int from, int to) : ratio_(static_cast<double>(to) / from) {
    soxr_error_t error = nullptr;
    const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
    const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
    handle_ = soxr_create(from, to, 1, &error, &io, &quality, nullptr);
    if (error) throw std::runtime_error(std::string("cannot make a resampler: ") + error);
  }
  ~Resampler() { soxr_delete(handle_); }
  Resampler(const Resampler&) = delete;
  Resampler& operator=(const Resampler&) = delete;

  // Takes all of `in` and appends what the resampler gives out for it to `out`.
  void process(std::span<const float> in, std::vector<float>& out) {
    run(in.data(), in.size(), out);
  }
  // The end of the stream: appends what the resampler still holds.
  void flush(std::vector<float>& out) { run(nullptr, 0, out); }

 private:
  void run(const float* in, std::size_t count, std::vector<float>& out) {
    const std::size_t start = out.size();
    std::size_t consumed = 0;
    for (;;) {
      const auto room =
          static_cast<std::size_t>(static_cast<double>(count - consumed) * ratio_) + 64;
      const std::size_t at = out.size();
      out.resize(at + room);
      std::size_t used = 0, made = 0;
      const soxr_error_t error =
          soxr_process(handle_, in ? in + consumed : nullptr, in ? count - consumed : 0, &used,
                       out.data() + at, room, &made);
      out.resize(at + made);
      if (error) throw std::runtime_error(std::string("resampling failed: ") + error);
      consumed += used;
      // Input: until every sample went in. End of input: until the resampler is drained.
      if (in ? consumed >= count : made < room) break;
    }
    clean_samples({out.data() + start, out.size() - start});
  }

  double ratio_;
  soxr_t handle_ = nullptr;
};

}  // namespace utils
