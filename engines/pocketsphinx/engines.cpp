// The pocketsphinx engines behind the default family's classes: the streaming pass, the offline
// pass with word timings, the rule-based punctuation, and provide().
#include <pocketsphinx.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "engines/pocketsphinx/decoder_pool.h"
#include "engines/pocketsphinx/pcm.h"
#include "engines/pocketsphinx/pocketsphinx_engines.h"
#include "models/paraformer_asr.h"
#include "models/punctuation.h"

namespace engines::pocketsphinx {
namespace {

constexpr double kFramesPerSecond = 100.0;  // the decoders' default frame rate

// A dictionary word without its pronunciation number ("read(2)" -> "read"), or "" for what is not
// a word (<s>, </s>, <sil>, [NOISE], fillers).
std::string_view word_of(std::string_view w) {
  if (w.empty() || w.front() == '<' || w.front() == '[' || w.front() == '+') return {};
  if (const auto paren = w.find('('); paren != std::string_view::npos) w = w.substr(0, paren);
  return w;
}

models::ResultList text_result(const char* hyp) {
  if (!hyp || !*hyp) return {};
  return {{{"text", hyp}}};
}

// Chunk by chunk, on a decoder borrowed from the utterance's first chunk until reset().
class StreamEngine : public models::BaseASR {
 public:
  StreamEngine(const models::ParaformerStreamASROptions& o, const Config& c)
      : BaseASR({.model = o.model, .revision = o.revision, .device = o.device}),
        pool_(DecoderPool::of(c.model_dir, Pass::streaming, c.max_idle_decoders)) {}
  ~StreamEngine() override { StreamEngine::reset(); }

  void load() override {
    pool_.check();
    _is_loaded = true;
  }

  void reset() override {
    if (!lease_) return;
    ps_end_utt(lease_.get());
    lease_.reset();
  }

  models::ResultList stream_generate(const utils::AudioSamples& audio, bool,
                                     const std::string&) override {
    if (!lease_) {
      if (audio.empty()) return {};
      lease_ = pool_.borrow();
      // A new stream: the noise level and cepstral mean the decoder tracked for another session
      // start over, so no session's words depend on another's audio.
      if (ps_start_stream(lease_.get()) < 0 || ps_start_utt(lease_.get()) < 0) {
        lease_.reset();
        throw std::runtime_error("pocketsphinx: cannot start an utterance");
      }
    }
    to_pcm(audio, pcm_);
    if (!pcm_.empty() && ps_process_raw(lease_.get(), pcm_.data(), pcm_.size(), FALSE, FALSE) < 0) {
      throw std::runtime_error("pocketsphinx: decoding a chunk failed");
    }
    return text_result(ps_get_hyp(lease_.get(), nullptr));
  }

 private:
  DecoderPool& pool_;
  Lease lease_;
  std::vector<std::int16_t> pcm_;  // reused chunk to chunk
};

// The whole utterance at once: {"text", "words": [{"word", "start", "end", "confidence"}]}
// (seconds of the utterance; the confidence is the word's posterior probability in the lattice).
class OfflineEngine : public models::BaseASR {
 public:
  OfflineEngine(const models::ParaformerOfflineASROptions& o, const Config& c)
      : BaseASR({.model = o.model, .revision = o.revision, .device = o.device}),
        pool_(DecoderPool::of(c.model_dir, Pass::offline, c.max_idle_decoders)) {}

  void load() override {
    pool_.check();
    _is_loaded = true;
  }
  void reset() override {}

  models::ResultList transcribe(const utils::AudioSamples& audio, const std::string&) override {
    to_pcm(audio, pcm_);
    if (pcm_.empty()) return {};
    Lease lease = pool_.borrow();
    ps_decoder_t* d = lease.get();
    // Each utterance from a fresh noise estimate: the same audio gives the same words, whatever
    // the decoder heard before.
    if (ps_start_stream(d) < 0 || ps_start_utt(d) < 0) {
      throw std::runtime_error("pocketsphinx: cannot start an utterance");
    }
    const int processed = ps_process_raw(d, pcm_.data(), pcm_.size(), FALSE, TRUE);
    ps_end_utt(d);
    if (processed < 0) throw std::runtime_error("pocketsphinx: decoding the utterance failed");
    auto result = text_result(ps_get_hyp(d, nullptr));
    if (result.empty()) return result;
    auto words = nlohmann::ordered_json::array();
    logmath_t* log_base = ps_get_logmath(d);
    for (ps_seg_t* s = ps_seg_iter(d); s; s = ps_seg_next(s)) {
      const std::string_view w = word_of(ps_seg_word(s));
      if (w.empty()) continue;
      int first = 0, last = 0;
      ps_seg_frames(s, &first, &last);
      int32 acoustic = 0, language = 0, backoff = 0;
      const double posterior =
          logmath_exp(log_base, ps_seg_prob(s, &acoustic, &language, &backoff));
      words.push_back({{"word", w},
                       {"start", first / kFramesPerSecond},
                       {"end", (last + 1) / kFramesPerSecond},
                       {"confidence", std::clamp(posterior, 0.0, 1.0)}});
    }
    result[0]["words"] = std::move(words);
    return result;
  }

 private:
  DecoderPool& pool_;
  std::vector<std::int16_t> pcm_;
};

class RulePunctuation : public models::PunctuationModel {
 public:
  void load() override {}
  void reset() override {}
  std::string generate(const std::string& text, const std::string&) override {
    return punctuate(text);
  }
};

}  // namespace

std::string punctuate(const std::string& text) {
  std::string out = text;
  const auto first = out.find_first_not_of(' ');
  if (first == std::string::npos) return text;
  out[first] = static_cast<char>(std::toupper(static_cast<unsigned char>(out[first])));
  for (std::size_t i = 0; i < out.size(); ++i) {
    const bool alone = out[i] == 'i' && (i == 0 || out[i - 1] == ' ') &&
                       (i + 1 == out.size() || out[i + 1] == ' ' || out[i + 1] == '\'');
    if (alone) out[i] = 'I';
  }
  const char last = out[out.find_last_not_of(' ')];
  if (last != '.' && last != '!' && last != '?') out += '.';
  return out;
}

void provide(const Config& config) {
  if (config.sample_rate != 16000) {
    throw std::invalid_argument("pocketsphinx: the en-us model takes 16000 Hz audio, not " +
                                std::to_string(config.sample_rate) +
                                " Hz; resample the audio to 16000 Hz first");
  }
  models::provide<models::ParaformerStreamASR>(
      [config](const models::ParaformerStreamASROptions& o) -> std::unique_ptr<models::BaseASR> {
        return std::make_unique<StreamEngine>(o, config);
      });
  models::provide<models::ParaformerOfflineASR>(
      [config](const models::ParaformerOfflineASROptions& o) -> std::unique_ptr<models::BaseASR> {
        return std::make_unique<OfflineEngine>(o, config);
      });
  models::provide<models::PunctuationModel>(
      [](const models::PunctuationModelOptions&) -> std::unique_ptr<models::PunctuationModel> {
        return std::make_unique<RulePunctuation>();
      });
}

}  // namespace engines::pocketsphinx
