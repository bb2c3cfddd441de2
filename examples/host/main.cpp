// An example host: one quern::Stream over a 16 kHz mono WAV file, its engines the host's own,
// plugged in through the host seam, and its utterances ended by the Silero VAD. Audio arrives in
// 100 ms chunks, as from a client; the stream does the rest.
//   example_host FILE.wav                   one line per utterance: what the host's offline
//                                           engine measured (its length and level)
//   example_host FILE.wav --probabilities   one line per frame: its start (s) and probability
#include <sndfile.h>

#include <cmath>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "models/paraformer_asr.h"
#include "platform/quern_log.h"
#include "stream/stream.h"

namespace {

// The host's streaming engine: no partial results.
class QuietStream : public models::BaseASR {
 public:
  explicit QuietStream(const models::ParaformerStreamASROptions& o)
      : BaseASR({.model = o.model, .device = o.device}) {}
  void load() override { _is_loaded = true; }
  void reset() override {}
  models::ResultList stream_generate(const utils::AudioSamples&, bool,
                                     const std::string&) override {
    return {};
  }
};

// The host's offline engine: reports the utterance's length and RMS level as its "text".
class LevelMeter : public models::BaseASR {
 public:
  explicit LevelMeter(const models::ParaformerOfflineASROptions& o)
      : BaseASR({.model = o.model, .device = o.device}) {}
  void load() override { _is_loaded = true; }
  void reset() override {}
  models::ResultList transcribe(const utils::AudioSamples& audio, const std::string&) override {
    double sum = 0;
    for (float v : audio.as<float>()) sum += static_cast<double>(v) * v;
    const double rms = audio.empty() ? 0 : std::sqrt(sum / static_cast<double>(audio.size()));
    char text[64];
    std::snprintf(text, sizeof text, "%zu samples, rms %.4f", audio.size(), rms);
    return {{{"text", text}}};
  }
};

}  // namespace

int main(int argc, char** argv) {
  const bool probabilities = argc == 3 && std::string(argv[2]) == "--probabilities";
  if (argc != 2 && !probabilities) {
    std::fprintf(stderr, "usage: example_host FILE.wav [--probabilities] (16 kHz mono)\n");
    return 2;
  }
  SF_INFO info{};
  SNDFILE* file = sf_open(argv[1], SFM_READ, &info);
  if (!file || info.samplerate != 16000 || info.channels != 1) {
    std::fprintf(stderr, "example_host: %s is not a readable 16 kHz mono file\n", argv[1]);
    return 1;
  }

  quern_log::logger.set_level(quern_log::Level::warning);
  // Plug in the host's engines before the first load().
  models::provide<models::ParaformerStreamASR>(
      [](const models::ParaformerStreamASROptions& o) -> std::unique_ptr<models::BaseASR> {
        return std::make_unique<QuietStream>(o);
      });
  models::provide<models::ParaformerOfflineASR>(
      [](const models::ParaformerOfflineASROptions& o) -> std::unique_ptr<models::BaseASR> {
        return std::make_unique<LevelMeter>(o);
      });
  // This host has no punctuation model.
  quern::Stream stream({.engines = {.punc_model = ""}, .vad = {.use_model = true}});
  if (!stream.detector().config->use_model) {
    std::fprintf(stderr, "example_host: the packaged Silero model was not found\n");
    return 1;
  }
  stream.load();

  std::vector<float> chunk(1600);  // 100 ms
  std::size_t frames_judged = 0;
  int utterances = 0;
  auto print = [&](const quern::Update& update) {
    for (const quern::Final& f : update.finals) {
      if (!probabilities) std::printf("utterance %d: %s\n", ++utterances, f.text.c_str());
    }
  };
  while (const sf_count_t n = sf_readf_float(file, chunk.data(), 1600)) {
    const std::span<const float> audio(chunk.data(), static_cast<std::size_t>(n));
    if (!probabilities) {
      print(stream.feed(audio));
      continue;
    }
    // The detector's frames judged here, one at a time, to print each one's probability.
    const utils::AudioSamples frames = stream.prepare(audio);
    auto& vad = stream.detector();
    const auto frame = static_cast<std::size_t>(vad.config->frame_size);
    for (std::size_t f = 0; f + frame <= frames.size(); f += frame, ++frames_judged) {
      stream.verdicts().push_back(vad.process_frame(frames.slice(f, f + frame)));
      std::printf("%.17g %.17g\n", static_cast<double>(frames_judged * frame) / 16000,
                  vad.last_speech_prob);
    }
    print(stream.feed_judged());
  }
  print(stream.finish());
  sf_close(file);
  return utterances > 0 || probabilities ? 0 : 1;
}
