// Detectors sharing one cached model keep their own stream state: interleaved, concurrent or at
// different sample rates, each stream gets the probabilities it gets alone.
#include <gtest/gtest.h>

#include <limits>
#include <thread>

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

struct Stream {
  AudioSamples samples;
  int sample_rate;
  std::size_t frame;
  std::size_t frames() const { return samples.size() / frame; }
  AudioSamples at(std::size_t i) const { return samples.slice(i * frame, (i + 1) * frame); }
};

Stream load(const std::string& name, std::size_t max_frames = 600) {
  auto wav = quern_test::read_wav(fixture(name));
  const std::size_t frame = wav.sample_rate == 16000 ? 512 : 256;
  wav.samples.resize(std::min(wav.samples.size(), max_frames * frame));
  return {AudioSamples(std::move(wav.samples)), wav.sample_rate, frame};
}

std::unique_ptr<VADDetector> detector_for(const Stream& s,
                                          std::optional<std::string> model_path = std::nullopt) {
  return std::make_unique<VADDetector>(
      std::make_shared<VADConfig>(VADConfigFields{.sample_rate = s.sample_rate,
                                                  .frame_size = static_cast<int>(s.frame),
                                                  .use_model = true,
                                                  .model_path = std::move(model_path)}));
}

std::vector<double> solo(const Stream& s, std::optional<std::string> model_path = std::nullopt) {
  auto d = detector_for(s, std::move(model_path));
  std::vector<double> out;
  for (std::size_t i = 0; i < s.frames(); ++i) out.push_back(d->_predict_speech(s.at(i)));
  return out;
}

void expect_equal(const std::vector<double>& a, const std::vector<double>& b) {
  ASSERT_EQ(a.size(), b.size());
  // A stream's frames do not depend on other streams: equal to the last bit.
  for (std::size_t i = 0; i < a.size(); ++i) ASSERT_EQ(a[i], b[i]) << "frame " << i;
}

// Two streams fed frame by frame alternately through two detectors.
std::pair<std::vector<double>, std::vector<double>> interleaved(
    const Stream& s1, const Stream& s2, std::optional<std::string> model_path = std::nullopt) {
  auto d1 = detector_for(s1, model_path);
  auto d2 = detector_for(s2, model_path);
  EXPECT_EQ(d1->vad_model, d2->vad_model) << "one shared instance";
  std::vector<double> p1, p2;
  for (std::size_t i = 0; i < std::max(s1.frames(), s2.frames()); ++i) {
    if (i < s1.frames()) p1.push_back(d1->_predict_speech(s1.at(i)));
    if (i < s2.frames()) p2.push_back(d2->_predict_speech(s2.at(i)));
  }
  return {p1, p2};
}

}  // namespace

TEST(SharedModel, InterleavedStreamsMatchTheirSoloRuns) {
  const auto a = load("speech_16k.wav");
  const auto b = load("sample.wav");
  auto [pa, pb] = interleaved(a, b);
  expect_equal(pa, solo(a));
  expect_equal(pb, solo(b));
  // reset() leaves the stream's model state alone, as it leaves the model alone.
  auto d = detector_for(a);
  std::vector<double> with_reset;
  for (std::size_t i = 0; i < a.frames(); ++i) {
    if (i == a.frames() / 2) d->reset();
    with_reset.push_back(d->_predict_speech(a.at(i)));
  }
  expect_equal(with_reset, pa);
}

TEST(SharedModel, EightAndSixteenKilohertzStreamsDoNotDisturbEachOther) {
  const auto a = load("speech_16k.wav");
  const auto b = load("speech_8k.wav");
  auto [pa, pb] = interleaved(a, b);
  expect_equal(pa, solo(a));
  expect_equal(pb, solo(b));
}

TEST(SharedModel, ConcurrentDetectorsMatchTheirSoloRuns) {
  const auto a = load("speech_16k.wav", 300);
  const auto b = load("sample.wav", 300);
  const auto expected_a = solo(a), expected_b = solo(b);
  std::vector<double> pa, pb;
  auto da = detector_for(a), db = detector_for(b);
  ASSERT_EQ(da->vad_model, db->vad_model);
  std::thread ta([&] {
    for (std::size_t i = 0; i < a.frames(); ++i) pa.push_back(da->_predict_speech(a.at(i)));
  });
  std::thread tb([&] {
    for (std::size_t i = 0; i < b.frames(); ++i) pb.push_back(db->_predict_speech(b.at(i)));
  });
  ta.join();
  tb.join();
  expect_equal(pa, expected_a);
  expect_equal(pb, expected_b);
}

TEST(SharedModel, ModelsWithoutExplicitStateGetAClonePerDetector) {
  // The recurrent test model averages each frame's first sample with the previous frame's.
  const auto path = fixture("recurrent.jit");
  const auto a = load("speech_16k.wav", 200);
  const auto b = load("sample.wav", 200);
  auto [pa, pb] = interleaved(a, b, path);
  expect_equal(pa, solo(a, path));
  expect_equal(pb, solo(b, path));

  // The wrapper's own predict() keeps working on the shared instance's state.
  auto model = utils::vad::SileroVADModel::get_instance(path);
  std::vector<float> one(512, 0.0f), two(512, 0.0f);
  one[0] = 0.2f;
  two[0] = 0.6f;
  model->predict(AudioSamples(std::move(one)));
  EXPECT_NEAR(model->predict(AudioSamples(std::move(two))), 0.4, 1e-7);

  // A frame without a finite result is answered with 0.0 and leaves that state as it was...
  auto frame = [](float first) {
    std::vector<float> f(512, 0.0f);
    f[0] = first;
    return AudioSamples(std::move(f));
  };
  EXPECT_EQ(model->predict(frame(std::numeric_limits<float>::quiet_NaN())), 0.0);
  EXPECT_NEAR(model->predict(frame(0.2f)), 0.4, 1e-7);  // (0.2 + 0.6) / 2
  // ...and a stream made now starts from zeros, not from the instance's state (0.2).
  auto stream = model->new_stream();
  EXPECT_NEAR(model->predict(frame(0.8f), 16000, stream), 0.4, 1e-7);
  // A stream's clone keeps its state past such a frame too, and recovers on the next one.
  quern_test::LogCapture log;
  EXPECT_EQ(model->predict(frame(std::numeric_limits<float>::infinity()), 16000, stream), 0.0);
  ASSERT_EQ(log.lines().size(), 1u);
  EXPECT_EQ(log.lines()[0].text.rfind("Error in VAD prediction: model returned ", 0), 0u);
  EXPECT_NEAR(model->predict(frame(0.2f), 16000, stream), 0.5, 1e-7);  // (0.2 + 0.8) / 2
}
