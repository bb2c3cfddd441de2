// The process-wide pools of pocketsphinx decoders: one per model directory and pass, decoders
// lent for one utterance at a time. Internal to libquern_pocketsphinx.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "utils/thread_annotations.h"

struct ps_decoder_s;

namespace engines::pocketsphinx {

enum class Pass {
  streaming,  // chunk by chunk, live cepstral mean, the first search only: low latency
  offline,    // the whole utterance at once, its own cepstral mean, every search pass
};

class DecoderPool;

// A borrowed decoder; given back to its pool when the lease ends.
class Lease {
 public:
  Lease() = default;
  Lease(Lease&& other) noexcept;
  Lease& operator=(Lease&& other) noexcept;
  ~Lease();

  ps_decoder_s* get() const noexcept { return decoder_; }
  explicit operator bool() const noexcept { return decoder_ != nullptr; }
  // Gives the decoder back now. REQUIRES: it is not in an utterance.
  void reset() noexcept;

 private:
  friend class DecoderPool;
  Lease(DecoderPool* pool, ps_decoder_s* decoder) : pool_(pool), decoder_(decoder) {}
  DecoderPool* pool_ = nullptr;
  ps_decoder_s* decoder_ = nullptr;
};

// Thread safety: every member may be called concurrently; a lent decoder is its borrower's alone.
class DecoderPool {
 public:
  // The pool for this model directory and pass, made on first use and never destroyed.
  static DecoderPool& of(const std::string& model_dir, Pass pass, std::size_t max_idle);

  // Throws std::runtime_error naming the directory when its model files are not readable.
  void check() const;
  // An idle decoder, or a new one (loading the model: hundreds of milliseconds). Throws
  // std::runtime_error naming the directory when the model cannot be loaded.
  Lease borrow();

 private:
  DecoderPool(std::string model_dir, Pass pass, std::size_t max_idle);
  friend class Lease;
  void give_back(ps_decoder_s* decoder) noexcept;

  const std::string model_dir_;
  const Pass pass_;
  const std::size_t max_idle_;
  utils::Mutex mutex_;
  std::vector<ps_decoder_s*> idle_ QUERN_GUARDED_BY(mutex_);
  std::size_t made_ QUERN_GUARDED_BY(mutex_) = 0;
};

}  // namespace engines::pocketsphinx
