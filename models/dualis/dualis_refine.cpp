// Dualis: the offline second pass and finalize.
#include <cmath>
#include <limits>

#include "models/dualis/dualis.h"
#include "platform/quern_clock.h"
#include "platform/quern_log.h"
#include "utils/audio.h"
#include "utils/number_format.h"

namespace models::dualis {
namespace {

double ms_since(double start) { return (quern_clock::now() - start) * 1000; }

struct AudioStats {
  double min_abs = 0, max_abs = 0, mean = 0, rms = 0;
};

// A compensated (Neumaier) double sum: a plain running sum of 1600 squares of 0.001 comes out
// below 1600 * 0.001^2 and would put an RMS of exactly 0.001 under the silence threshold.
class CompensatedSum {
 public:
  void add(double x) {
    const double t = sum_ + x;
    compensation_ += std::fabs(sum_) >= std::fabs(x) ? (sum_ - t) + x : (x - t) + sum_;
    sum_ = t;
  }
  // An infinite sum stays infinite (its compensation is meaningless).
  double value() const { return std::isfinite(sum_) ? sum_ + compensation_ : sum_; }

 private:
  double sum_ = 0, compensation_ = 0;
};

// Accumulated in double for every element type: a float sum over 30 s of audio drifts in the
// sixth decimal, and integer squares overflow. A NaN sample makes every figure NaN.
AudioStats stats_of(const utils::AudioSamples& audio) {
  AudioStats s;
  audio.visit([&](auto samples) {
    CompensatedSum sum, sum_sq;
    double lo = std::numeric_limits<double>::infinity(), hi = 0;
    bool nan = false;
    for (const auto v : samples) {
      const double x = static_cast<double>(v);
      nan |= std::isnan(x);
      const double a = std::fabs(x);
      lo = a < lo ? a : lo;
      hi = a > hi ? a : hi;
      sum.add(x);
      sum_sq.add(x * x);
    }
    const double n = static_cast<double>(samples.size());
    const double quiet_nan = std::numeric_limits<double>::quiet_NaN();
    s.min_abs = nan ? quiet_nan : lo;
    s.max_abs = nan ? quiet_nan : hi;
    s.mean = sum.value() / n;
    s.rms = std::sqrt(sum_sq.value() / n);
  });
  return s;
}

std::string text_of(const TranscriptionResult& record) {
  const auto it = record.find("text");
  if (it == record.end()) return "";
  return it->is_string() ? it->get<std::string>() : it->dump();
}

}  // namespace

std::string Dualis::offline_refine(const std::string& language) {
  utils::ReaderLock refining(_refine_lock);
  return refine_locked(language).text;
}

Refinement Dualis::refine_locked(const std::string& language) {
  const double refine_start = quern_clock::now();
  if (!enable_2pass) {
    quern_log::logger.warning("offline_refine: enable_2pass is False, skipping offline processing");
    return {};
  }
  if (!offline_asr) load();

  utils::AudioSamples audio = get_audio_buffer();
  if (audio.empty()) {
    quern_log::logger.warning("offline_refine: Empty audio buffer");
    return {};
  }
  QUERN_LOG_DEBUG("offline_refine: audio shape=(" + std::to_string(audio.size()) +
                  ",), dtype=" + std::string(audio.dtype_name()));

  const AudioStats stats = stats_of(audio);
  QUERN_LOG_DEBUG("offline_refine: audio stats - min=" + utils::fixed6(stats.min_abs) +
                  ", max=" + utils::fixed6(stats.max_abs) + ", mean=" + utils::fixed6(stats.mean) +
                  ", rms=" + utils::fixed6(stats.rms));
  if (stats.rms < 0.001) {
    quern_log::logger.warning(
        "offline_refine: Audio appears to be silent (RMS=" + utils::fixed6(stats.rms) + ")");
  }

  if (audio.dtype() != utils::DType::float64) {
    quern_log::logger.warning("offline_refine: Audio dtype is " + std::string(audio.dtype_name()) +
                              ", normalizing...");
    const double norm_start = quern_clock::now();
    audio = utils::normalize_audio(audio);
    QUERN_LOG_DEBUG("offline_refine: normalize_audio time=" + utils::fixed1(ms_since(norm_start)) +
                    "ms");
  } else {
    QUERN_LOG_DEBUG("offline_refine: Audio already float64, skipping normalization");
  }

  QUERN_LOG_DEBUG("offline_refine: Calling offline_asr.transcribe...");
  _sync_hotwords();
  BaseASR* engine = offline_asr.get();
  if (!engine) {
    quern_log::logger.error("offline_refine: offline_asr is not loaded");
    return {};
  }

  const double transcribe_start = quern_clock::now();
  ResultList results = engine->transcribe(audio, language);
  const double transcribe_ms = ms_since(transcribe_start);
  // An engine that recognised nothing returns an empty list: that is an empty text.
  std::string text = results.empty() ? "" : text_of(results.front());
  QUERN_LOG_DEBUG("offline_refine: offline_asr.transcribe time=" + utils::fixed1(transcribe_ms) +
                  "ms, text='" + text + "'");

  double punc_ms = 0.0;
  PunctuationModel* punc = punc_model.get();
  if (punc && !text.empty()) {
    const double punc_start = quern_clock::now();
    text = punc->generate(text, language);
    punc_ms = ms_since(punc_start);
    QUERN_LOG_DEBUG("offline_refine: punctuation time=" + utils::fixed1(punc_ms) + "ms, text='" +
                    text + "'");
  }
  if (text.empty()) punc_ms = 0.0;

  quern_log::logger.info("offline_refine total time=" + utils::fixed1(ms_since(refine_start)) +
                         "ms (transcribe=" + utils::fixed1(transcribe_ms) +
                         "ms, punc=" + utils::fixed1(punc_ms) + "ms)");
  Refinement refined{.text = std::move(text), .offline = {}};
  if (!results.empty()) refined.offline = std::move(results.front());
  return refined;
}

std::string Dualis::finalize() { return finalize_with("zh").text; }

Refinement Dualis::finalize_with(const std::string& language) {
  // Held from the test-and-set to the end of the refinement: a reset() in between would clear
  // the utterance this call has just claimed.
  utils::ReaderLock refining(_refine_lock);
  {
    utils::MutexLock lock(_finalize_lock);
    if (_is_finalized) {
      quern_log::logger.warning("finalize: Already finalized, returning empty string");
      return {};
    }
    _is_finalized = true;
  }
  const double finalize_start = quern_clock::now();
  Refinement result = refine_locked(language);
  result.finalized = true;
  quern_log::logger.info("Dualis finalize total time=" + utils::fixed1(ms_since(finalize_start)) +
                         "ms");
  return result;
}

}  // namespace models::dualis
