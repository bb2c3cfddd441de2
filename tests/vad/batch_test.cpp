// Many detectors in one call: process_audio_batch against one process_audio after another, on
// speech, for mixes of rates, modes, models and chunk lengths; the two frame kernels; bad input.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>

#include "tests/support/paths.h"
#include "tests/support/wav.h"
#include "utils/vad/process_audio_batch.h"
#include "utils/vad/vad_detector.h"

using quern_test::fixture;
using utils::AudioSamples;
using utils::vad::process_audio_batch;
using utils::vad::SileroVADModel;
using utils::vad::VADConfig;
using utils::vad::VADConfigFields;
using utils::vad::VADDetector;

namespace {

struct Stream {
  AudioSamples audio;
  std::shared_ptr<VADConfig> config;
  std::size_t chunk;  // samples per call
};

AudioSamples recording(const std::string& name) {
  return AudioSamples(quern_test::read_wav(fixture(name)).samples);
}

// Stream `i` of a mixed set: 16 kHz and 8 kHz speech, model and energy mode, the packaged model
// and a user path to the same file (another cached instance), chunks of several lengths (one
// shorter than a frame, some with a remainder), each stream starting at its own offset.
std::vector<Stream> mixed(std::size_t count) {
  const AudioSamples speech16 = recording("speech_16k.wav"), speech8 = recording("speech_8k.wav");
  const std::string packaged = quern_test::packaged_torchscript();
  std::vector<Stream> out;
  for (std::size_t i = 0; i < count; ++i) {
    const bool narrow = i % 3 == 1;
    const AudioSamples& audio = narrow ? speech8 : speech16;
    const int rate = narrow ? 8000 : 16000;
    VADConfigFields f{
        .sample_rate = rate, .frame_size = narrow ? 256 : 512, .use_model = i % 4 != 3};
    if (i % 5 == 2) f.model_path = packaged;
    const std::size_t offset = (i * 7919) % (audio.size() / 2);
    const std::size_t chunks[] = {1600, 512, 300, 4096, 1000};
    out.push_back({audio.slice(offset, audio.size()), std::make_shared<VADConfig>(f),
                   chunks[i % 5] * static_cast<std::size_t>(rate) / 16000});
  }
  return out;
}

struct Observed {
  std::vector<std::pair<bool, bool>> results;
  std::vector<double> probabilities;
  std::vector<std::string> states;
};

// Runs every stream for `calls` calls, batched or one detector after another, and records each
// call's results, each detector's probability and state after every call.
Observed run(const std::vector<Stream>& streams, std::size_t calls, bool batched) {
  std::vector<std::unique_ptr<VADDetector>> detectors;
  std::vector<VADDetector*> pointers;
  for (const auto& s : streams) {
    detectors.push_back(std::make_unique<VADDetector>(std::make_shared<VADConfig>(*s.config)));
    pointers.push_back(detectors.back().get());
  }
  Observed o;
  std::vector<AudioSamples> chunks(streams.size());
  for (std::size_t call = 0; call < calls; ++call) {
    for (std::size_t i = 0; i < streams.size(); ++i) {
      const auto& s = streams[i];
      const std::size_t start = std::min(call * s.chunk, s.audio.size());
      chunks[i] = s.audio.slice(start, std::min(start + s.chunk, s.audio.size()));
    }
    if (batched) {
      const auto r = process_audio_batch(pointers, chunks);
      o.results.insert(o.results.end(), r.begin(), r.end());
    } else {
      for (std::size_t i = 0; i < streams.size(); ++i) {
        o.results.push_back(pointers[i]->process_audio(chunks[i]));
      }
    }
    for (const auto* d : pointers) {
      o.probabilities.push_back(d->last_speech_prob);
      o.states.push_back(d->get_state().dump() + " " + std::to_string(d->energy_history.size()));
    }
  }
  return o;
}

TEST(ProcessAudioBatch, EqualsOneDetectorAfterAnotherOnSpeech) {
  // 1, a size that is not a multiple of the kernel's four-row tiles, and more than 64 frames a
  // step.
  for (const std::size_t count : {1u, 7u, 70u}) {
    const auto streams = mixed(count);
    const std::size_t calls = count > 10 ? 12 : 60;
    const Observed one = run(streams, calls, false), batched = run(streams, calls, true);
    EXPECT_EQ(batched.results, one.results) << count << " streams";
    EXPECT_EQ(batched.states, one.states) << count << " streams";
    // The same products row by row: equal to the last bit, not merely close.
    EXPECT_EQ(batched.probabilities, one.probabilities) << count << " streams";
    double speech = 0;
    for (double p : one.probabilities) speech += p > 0.5;
    EXPECT_GT(speech, 0.1 * static_cast<double>(one.probabilities.size())) << "speech was heard";
  }
}

TEST(ProcessAudioBatch, PortableKernelAgreesWithTheVectorisedOne) {
  if (!SileroVADModel::set_frame_kernel(SileroVADModel::FrameKernel::avx2)) {
    GTEST_SKIP() << "this CPU has no AVX2 with FMA";
  }
  const auto streams = mixed(6);
  const Observed avx2 = run(streams, 40, true);
  ASSERT_TRUE(SileroVADModel::set_frame_kernel(SileroVADModel::FrameKernel::portable));
  const Observed portable = run(streams, 40, true);
  SileroVADModel::set_frame_kernel(SileroVADModel::FrameKernel::avx2);
  ASSERT_EQ(portable.probabilities.size(), avx2.probabilities.size());
  double worst = 0;
  for (std::size_t i = 0; i < avx2.probabilities.size(); ++i) {
    worst = std::max(worst, std::fabs(portable.probabilities[i] - avx2.probabilities[i]));
  }
  // Each kernel is held to 1e-4 of ONNX Runtime, so they agree within 2e-4; a wrong tile or lane
  // is off by orders of magnitude more.
  EXPECT_LT(worst, 2e-4);
  EXPECT_GT(worst, 0.0) << "two different kernels ran";
}

TEST(ProcessAudioBatch, BadInputFailsAsOneCallAfterAnotherWould) {
  auto model = [] { return std::make_shared<VADConfig>(VADConfigFields{.use_model = true}); };
  VADDetector a(model()), b(model()), broken(model()), c;
  broken.config->frame_size = 0;
  const AudioSamples chunk = recording("speech_16k.wav").slice(16000, 17600);
  std::vector<VADDetector*> four{&a, &b, &broken, &c};
  std::vector<AudioSamples> chunks(4, chunk);

  EXPECT_THROW(process_audio_batch(four, std::span(chunks).first(3)), std::invalid_argument);
  std::vector<VADDetector*> twice{&a, &c, &a};
  EXPECT_THROW(process_audio_batch(twice, std::span(chunks).first(3)), std::invalid_argument);
  EXPECT_EQ(a.last_speech_prob, 0.0) << "nothing ran before the argument errors";

  // The detectors before the broken one run their chunks, the ones after it do not.
  EXPECT_THROW(process_audio_batch(four, chunks), std::invalid_argument);
  VADDetector fresh(model());
  fresh.process_audio(chunk);
  EXPECT_EQ(a.last_speech_prob, fresh.last_speech_prob);
  EXPECT_EQ(b.last_speech_prob, fresh.last_speech_prob);
  EXPECT_TRUE(c.energy_history.empty());

  // Empty chunks and a frame the model rejects (wrong length: 0.0 and an error line) per detector.
  b.config->frame_size = 1024;
  chunks = {AudioSamples(), chunk};
  const auto r = process_audio_batch(std::span(four).first(2), chunks);
  EXPECT_EQ(r[0], std::make_pair(false, false));
  EXPECT_EQ(b.last_speech_prob, 0.0);
}

}  // namespace
