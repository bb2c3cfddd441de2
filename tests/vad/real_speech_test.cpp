// Both detection modes on real speech: synthetic sentences with 2 s pauses (espeak-ng), and the
// shared recordings when present.
#include <gtest/gtest.h>

#include <fstream>

#include "tests/support/log_capture.h"
#include "tests/support/paths.h"
#include "tests/support/wav.h"
#include "utils/vad/vad_detector.h"

using quern_test::fixture;
using utils::AudioSamples;
using utils::vad::VADConfig;
using utils::vad::VADConfigFields;
using utils::vad::VADDetector;

namespace {

struct Segment {
  double start, end;  // seconds
};

std::vector<Segment> read_segments(const std::string& path) {
  std::ifstream in(path);
  std::vector<Segment> out;
  Segment s;
  while (in >> s.start >> s.end) out.push_back(s);
  return out;
}

struct ChunkResult {
  double start, end;
  bool has_speech, speech_ended;
};

// Feeds the recording in 100 ms chunks, as a host would.
std::vector<ChunkResult> run(VADDetector& detector, const quern_test::Wav& wav) {
  const std::size_t chunk = wav.sample_rate / 10;
  const AudioSamples all(std::vector<float>(wav.samples));
  std::vector<ChunkResult> out;
  for (std::size_t at = 0; at + chunk <= all.size(); at += chunk) {
    auto [speech, ended] = detector.process_audio(all.slice(at, at + chunk));
    out.push_back(
        {double(at) / wav.sample_rate, double(at + chunk) / wav.sample_rate, speech, ended});
  }
  return out;
}

// Speech in every sentence and none in the lead-in; the end of speech first reported (the
// chunk where speech_ended turns true) once in every pause after a sentence, never inside one.
void expect_sentences_and_pauses(VADConfigFields fields, const std::string& name) {
  const auto wav = quern_test::read_wav(fixture(name + ".wav"));
  const auto sentences = read_segments(fixture(name + ".segments"));
  ASSERT_EQ(sentences.size(), 3u);
  fields.sample_rate = wav.sample_rate;
  VADDetector detector(std::make_shared<VADConfig>(fields));
  ASSERT_EQ(detector.config->use_model, fields.use_model);
  const auto chunks = run(detector, wav);
  std::vector<double> ends;
  for (std::size_t i = 0; i < chunks.size(); ++i) {
    if (chunks[i].speech_ended && (i == 0 || !chunks[i - 1].speech_ended)) {
      ends.push_back(chunks[i].start);
    }
  }
  ASSERT_EQ(ends.size(), sentences.size()) << name;
  for (std::size_t s = 0; s < sentences.size(); ++s) {
    bool speech = false;
    for (const auto& c : chunks) {
      if (c.start >= sentences[s].start && c.end <= sentences[s].end) speech |= c.has_speech;
    }
    EXPECT_TRUE(speech) << name << " sentence " << s;
    const double pause_end = s + 1 < sentences.size() ? sentences[s + 1].start : 1e9;
    EXPECT_GE(ends[s], sentences[s].end) << name << " end of sentence " << s;
    EXPECT_LT(ends[s], pause_end) << name << " end of sentence " << s;
  }
  for (const auto& c : chunks) {
    if (c.end <= sentences[0].start - 0.1) {
      EXPECT_FALSE(c.has_speech) << "lead-in at " << c.start;
    }
  }
}

}  // namespace

TEST(RealSpeech, EnergyModeFindsSentencesAndPauses) {
  expect_sentences_and_pauses({}, "speech_16k");
  // 256-sample frames at 8 kHz: with 512 a 100 ms chunk holds one frame and drops the rest.
  expect_sentences_and_pauses({.frame_size = 256}, "speech_8k");
}

TEST(RealSpeech, ModelModeFindsSentencesAndPauses) {
  expect_sentences_and_pauses({.use_model = true}, "speech_16k");
  expect_sentences_and_pauses({.frame_size = 256, .use_model = true}, "speech_8k");
}

// On the recorded speech, the detector in model mode judges exactly the frames the reference
// run of the model judges to be speech (ignoring frames within 1e-4 of the threshold).
TEST(RealSpeech, ModelModeMatchesTheModelOnRecordings) {
  for (const char* name : {"speech_16k", "speech_8k"}) {
    const auto path = quern_test::shared_recording(std::string(name) + ".wav");
    if (!quern_test::have(path)) GTEST_SKIP() << path << " is absent";
    const auto wav = quern_test::read_wav(path);
    const auto reference =
        quern_test::read_numbers(fixture(std::string("shared_") + name + ".ort.txt"));
    const int frame = wav.sample_rate == 16000 ? 512 : 256;
    VADDetector detector(std::make_shared<VADConfig>(
        VADConfigFields{.sample_rate = wav.sample_rate, .frame_size = frame, .use_model = true}));
    const AudioSamples all(std::vector<float>(wav.samples));
    int checked = 0, speech = 0;
    for (std::size_t i = 0; i < reference.size(); ++i) {
      const bool has_speech = detector.process_audio(all.slice(i * frame, (i + 1) * frame)).first;
      if (std::fabs(reference[i] - 0.5) < 1e-4) continue;
      ASSERT_EQ(has_speech, reference[i] > 0.5) << name << " frame " << i;
      ++checked;
      speech += has_speech;
    }
    EXPECT_GT(speech, 100);
    EXPECT_GT(checked, 1000);
  }
}
