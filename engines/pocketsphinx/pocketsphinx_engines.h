// Real recognisers for a host, over pocketsphinx (US English, 16 kHz): a streaming engine that
// decodes each chunk as it arrives, an offline engine that decodes a whole utterance at once
// (cepstral mean over the utterance, a wider search), and a small rule-based punctuation model.
// provide() plugs them into the host seam for the default family's classes, so a Dualis session
// with model_type "paraformer_funasr" recognises English words:
//
//   engines::pocketsphinx::provide();           // before the first Dualis::load()
//   models::dualis::Dualis session({});
//   session.load();                             // throws naming the model path if unreadable
//
// Decoders are pooled process-wide, one pool per model directory and pass, and borrowed per
// utterance: a streaming engine holds one from its utterance's first chunk to reset(), the
// offline engine only while it decodes. Idle sessions hold none, so memory follows the number of
// utterances being decoded at once, not the number of sessions.
//
// Thread safety: provide() may be called from any thread. Each engine follows its session's
// discipline (one call at a time); engines of different sessions run concurrently, each on a
// decoder of its own.
#pragma once

#include <cstddef>
#include <string>

#include "utils/export.h"

namespace engines::pocketsphinx {

struct Config {
  // The model directory: en-us/ (acoustic model), en-us.lm.bin, cmudict-en-us.dict.
  std::string model_dir = "/usr/share/pocketsphinx/model/en-us";
  // Hz, the rate of the audio the host will hand in. REQUIRES: 16000, the model's own rate
  // (resample first); provide() throws std::invalid_argument otherwise.
  int sample_rate = 16000;
  // Decoders kept idle per pool for the next utterance; more are freed when returned (each holds
  // the language model, tens of MB).
  std::size_t max_idle_decoders = 32;
};

// Provides ParaformerStreamASR, ParaformerOfflineASR and PunctuationModel through the host seam
// (models/engine_seam.h). The engines' load() checks the model directory and fails with
// std::runtime_error naming it.
QUERN_POCKETSPHINX_API void provide(const Config& config = {});

// The rule-based punctuation: the first letter upper case, a lone "i" as "I", and a full stop
// unless the text already ends in . ! or ?; "" stays "".
QUERN_POCKETSPHINX_API std::string punctuate(const std::string& text);

}  // namespace engines::pocketsphinx
