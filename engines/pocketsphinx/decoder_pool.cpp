// Pools of pocketsphinx decoders, and the two search settings: a live first pass for partial
// results, and a whole-utterance pass for the final text.
#include "engines/pocketsphinx/decoder_pool.h"

#include <pocketsphinx.h>
#include <sphinxbase/err.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <stdexcept>
#include <utility>

#include "platform/quern_log.h"

namespace engines::pocketsphinx {
namespace {

struct Paths {
  std::string hmm, lm, dict;
};

Paths paths_of(const std::string& dir) {
  return {dir + "/en-us", dir + "/en-us.lm.bin", dir + "/cmudict-en-us.dict"};
}

cmd_ln_t* config_for(const Paths& p, Pass pass) {
  // Each decoder logs its whole configuration and every utterance to stderr by default; the
  // engine layer speaks through quern_log only.
  static const bool quiet = [] {
    err_set_logfp(nullptr);
    return true;
  }();
  (void)quiet;
  if (pass == Pass::streaming) {
    // The live search alone: its hypothesis after each chunk is the partial result, and ending
    // an utterance costs nothing more.
    return cmd_ln_init(nullptr, ps_args(), TRUE, "-hmm", p.hmm.c_str(), "-lm", p.lm.c_str(),
                       "-dict", p.dict.c_str(), "-cmn", "live", "-fwdflat", "no", "-bestpath", "no",
                       nullptr);
  }
  // The whole utterance: cepstral mean over all of it, then every search pass (the flat-lexicon
  // search and the best path through the word lattice). Wider beams than the defaults cost five
  // times the time here for no better words.
  return cmd_ln_init(nullptr, ps_args(), TRUE, "-hmm", p.hmm.c_str(), "-lm", p.lm.c_str(), "-dict",
                     p.dict.c_str(), "-cmn", "batch", nullptr);
}

}  // namespace

Lease::Lease(Lease&& other) noexcept
    : pool_(std::exchange(other.pool_, nullptr)),
      decoder_(std::exchange(other.decoder_, nullptr)) {}

Lease& Lease::operator=(Lease&& other) noexcept {
  if (this != &other) {
    reset();
    pool_ = std::exchange(other.pool_, nullptr);
    decoder_ = std::exchange(other.decoder_, nullptr);
  }
  return *this;
}

Lease::~Lease() { reset(); }

void Lease::reset() noexcept {
  if (decoder_) pool_->give_back(std::exchange(decoder_, nullptr));
}

DecoderPool::DecoderPool(std::string model_dir, Pass pass, std::size_t max_idle)
    : model_dir_(std::move(model_dir)), pass_(pass), max_idle_(max_idle) {
  idle_.reserve(max_idle_);  // give_back() never allocates
}

DecoderPool& DecoderPool::of(const std::string& model_dir, Pass pass, std::size_t max_idle) {
  // Never destroyed: decoders may be given back by host threads while the process exits.
  static auto* mutex = new utils::Mutex;
  static auto* pools = new std::map<std::pair<std::string, Pass>, DecoderPool*>;
  utils::MutexLock lock(*mutex);
  auto& pool = (*pools)[{model_dir, pass}];
  if (!pool) pool = new DecoderPool(model_dir, pass, max_idle);
  return *pool;
}

void DecoderPool::check() const {
  const Paths p = paths_of(model_dir_);
  std::error_code ec;
  for (const std::string* f : {&p.hmm, &p.lm, &p.dict}) {
    if (!std::filesystem::exists(*f, ec)) {
      throw std::runtime_error("pocketsphinx: no model at '" + model_dir_ + "' (" + *f +
                               " is missing)");
    }
  }
}

Lease DecoderPool::borrow() {
  {
    utils::MutexLock lock(mutex_);
    if (!idle_.empty()) {
      ps_decoder_t* d = idle_.back();
      idle_.pop_back();
      return Lease(this, d);
    }
  }
  check();
  const auto start = std::chrono::steady_clock::now();
  ps_decoder_t* d = nullptr;
  {
    // One load at a time: the library's loaders share process-wide state (its log, its
    // configuration tables), and a load is rare.
    static utils::Mutex loading;
    utils::MutexLock lock(loading);
    cmd_ln_t* config = config_for(paths_of(model_dir_), pass_);
    d = config ? ps_init(config) : nullptr;
    if (config) cmd_ln_free_r(config);  // the decoder keeps its own reference
  }
  if (!d) {
    throw std::runtime_error("pocketsphinx: cannot load the model at '" + model_dir_ + "'");
  }
  std::size_t made;
  {
    utils::MutexLock lock(mutex_);
    made = ++made_;
  }
  QUERN_LOG_INFO(
      "pocketsphinx: " + std::string(pass_ == Pass::streaming ? "streaming" : "offline") +
      " decoder " + std::to_string(made) + " loaded from " + model_dir_ + " in " +
      std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(
                         std::chrono::steady_clock::now() - start)
                         .count()) +
      " ms");
  return Lease(this, d);
}

void DecoderPool::give_back(ps_decoder_t* decoder) noexcept {
  {
    utils::MutexLock lock(mutex_);
    if (idle_.size() < max_idle_) {
      idle_.push_back(decoder);
      return;
    }
  }
  ps_free(decoder);
}

}  // namespace engines::pocketsphinx
