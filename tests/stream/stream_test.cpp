// quern::Stream on the stand-in engines: where utterances end, what each final carries, and that
// the chunking, the batched detection and deferred finals change none of it.
#include "stream/stream.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <numbers>
#include <string>
#include <thread>
#include <vector>

#include "testing/stand_ins/manual_clock.h"
#include "testing/stand_ins/stand_in.h"
#include "tests/support/log_capture.h"
#include "tests/support/paths.h"
#include "tests/support/wav.h"
#include "utils/vad/process_audio_batch.h"

namespace {

using quern::EndReason;
using quern::Final;
using quern::Stream;
using quern::StreamOptions;
using quern::Update;
using ::testing::ElementsAre;

// Stretches of a 440 Hz tone (speech to the energy detector) and of silence, at 16 kHz.
std::vector<float> audio(std::initializer_list<std::pair<double, float>> stretches) {
  std::vector<float> out;
  for (const auto& [seconds, level] : stretches) {
    const auto n = static_cast<std::size_t>(seconds * 16000);
    for (std::size_t i = 0; i < n; ++i) {
      out.push_back(level * static_cast<float>(std::sin(2 * std::numbers::pi * 440 * i / 16000)));
    }
  }
  return out;
}

// Three sentences and trailing silence.
const std::vector<float> kSpeech =
    audio({{0.3, 0}, {1.0, 0.5}, {0.8, 0}, {0.6, 0.5}, {0.8, 0}, {1.2, 0.5}, {1.0, 0}});

StreamOptions options() {
  return {.vad = {.silence_duration = 0.3, .speech_padding = 0.1},
          .language = "en",
          .hotwords = "alpha  beta"};
}

struct Results {
  std::vector<Final> finals;
  std::vector<quern::Partial> partials;
};

void collect(Results& run, Update u) {
  for (auto& f : u.finals) run.finals.push_back(std::move(f));
  if (u.partial) run.partials.push_back(std::move(*u.partial));
}

// Feeds `samples` in chunks of `size`, then finishes.
Results feed_all(Stream& stream, const std::vector<float>& samples, std::size_t size) {
  Results run;
  for (std::size_t at = 0; at < samples.size(); at += size) {
    const std::size_t n = std::min(size, samples.size() - at);
    collect(run, stream.feed(std::span(samples).subspan(at, n)));
    while (stream.final_due()) collect(run, stream.finalize_due());
  }
  collect(run, stream.finish());
  while (stream.final_due()) collect(run, stream.finalize_due());
  return run;
}

std::vector<std::string> summary(const std::vector<Final>& finals) {
  std::vector<std::string> out;
  for (const auto& f : finals) {
    out.push_back(std::to_string(f.segment) + " " + std::to_string(f.start) + "-" +
                  std::to_string(f.end) + " " + f.reason_text + " " + f.text);
  }
  return out;
}

class StreamTest : public ::testing::Test {
 protected:
  StreamTest() { stand_in::clear(); }
  ~StreamTest() override { stand_in::clear(); }
  quern_test::LogCapture log{quern_test::Level::error};
};

TEST_F(StreamTest, FinalsTileTheStreamAndEveryUtteranceHasTheStreamsHotwordsAndLanguage) {
  Stream stream(options());
  const Results run = feed_all(stream, kSpeech, 1600);

  // Three sentences, each ended where the detector heard its end; the trailing silence held no
  // speech and gets no final.
  ASSERT_EQ(run.finals.size(), 3u);
  double end = 0;
  for (std::size_t i = 0; i < run.finals.size(); ++i) {
    const Final& f = run.finals[i];
    EXPECT_EQ(f.segment, static_cast<std::int64_t>(i));
    EXPECT_EQ(f.reason, EndReason::speech_ended);
    EXPECT_EQ(f.reason_text, "speech_ended");
    EXPECT_DOUBLE_EQ(f.start, end) << "finals tile the stream";
    EXPECT_GT(f.end, f.start);
    EXPECT_TRUE(f.error.empty());
    end = f.end;
    const auto samples = std::llround((f.end - f.start) * 16000);
    EXPECT_EQ(f.text, "[stand-in ParaformerOfflineASR: " + std::to_string(samples) +
                          " samples, language=en].");
  }
  EXPECT_LT(end, static_cast<double>(kSpeech.size()) / 16000);
  EXPECT_TRUE(stream.finished());

  // Every offline pass ran with the stream's hotwords, not only the first.
  std::vector<std::string> offline_hotwords;
  for (const auto& call : stand_in::journal_of("ParaformerOfflineASR")) {
    if (call.op == "hotwords") offline_hotwords.push_back(call.arg("hotwords"));
    if (call.op == "transcribe") {
      ASSERT_FALSE(offline_hotwords.empty());
      EXPECT_EQ(offline_hotwords.back(), "['alpha', 'beta']");
      EXPECT_EQ(call.arg("language"), "en");
    }
  }
  for (const auto& call : stand_in::journal_of("ParaformerStreamASR")) {
    if (call.op == "stream_generate") {
      EXPECT_EQ(call.arg("language"), "en");
    }
  }
}

TEST_F(StreamTest, TheControllersReasonsTheLimitExactlyAndTheEndOfTheStream) {
  stand_in::use_manual_clock(100.0);
  StreamOptions o = options();
  o.endpoint = {.silence_timeout = 2.0, .max_utterance = 1.0};
  o.engines.punc_model = "";
  Stream stream(o);
  Results run;
  // 2.5 s of unbroken speech in one chunk: cut exactly at the limit, twice.
  collect(run, stream.feed(audio({{2.5, 0.5}})));
  ASSERT_EQ(run.finals.size(), 2u);
  EXPECT_EQ(run.finals[0].reason, EndReason::max_samples_reached);
  EXPECT_EQ(run.finals[0].reason_text, "max_samples_reached(16000>=16000)");
  EXPECT_DOUBLE_EQ(run.finals[1].start, 1.0);
  EXPECT_DOUBLE_EQ(run.finals[1].end, 2.0);
  ASSERT_EQ(run.partials.back().segment, 2);

  // No audio for the timeout: poll() ends the utterance.
  stand_in::advance_clock(1.9);
  collect(run, stream.poll());
  EXPECT_EQ(run.finals.size(), 2u);
  stand_in::advance_clock(0.2);
  collect(run, stream.poll());
  ASSERT_EQ(run.finals.size(), 3u);
  EXPECT_EQ(run.finals[2].reason, EndReason::silence_timeout);
  EXPECT_EQ(run.finals[2].reason_text, "silence_timeout(2.1s>=2.0s)");
  EXPECT_DOUBLE_EQ(run.finals[2].end, 2.5);

  // A failing offline pass still gives its utterance a final, and the next one is recognised.
  stand_in::once("ParaformerOfflineASR", "transcribe", {.error = "decoder on fire"});
  collect(run, stream.feed(audio({{0.5, 0.5}, {0.5, 0}})));
  collect(run, stream.feed(audio({{0.5, 0.5}})));
  collect(run, stream.finish(EndReason::shutdown));
  ASSERT_EQ(run.finals.size(), 5u);
  EXPECT_EQ(run.finals[3].error, "decoder on fire");
  EXPECT_EQ(run.finals[3].text, "");
  EXPECT_EQ(run.finals[4].reason, EndReason::shutdown);
  EXPECT_EQ(run.finals[4].reason_text, "shutdown");
  EXPECT_DOUBLE_EQ(run.finals[4].end, 4.0);  // the part frame at the end is finalised too
  EXPECT_THAT(stream.finish().finals, ElementsAre());
  EXPECT_THROW(stream.feed(kSpeech), std::logic_error);
  // The streaming engine heard of the end with the last audio.
  std::string last_is_final;
  for (const auto& call : stand_in::journal_of("ParaformerStreamASR")) {
    if (call.op == "stream_generate") last_is_final = call.arg("is_final");
  }
  EXPECT_EQ(last_is_final, "true");
  stand_in::use_default_clock();
}

TEST_F(StreamTest, APauseAfterASentenceWaitsForTheNextOneInsteadOfTimingOut) {
  stand_in::use_manual_clock(100.0);
  Stream stream(options());
  // The sentence's end is heard inside the chunk: the silence after it opens the next utterance.
  Results run;
  collect(run, stream.feed(audio({{1.0, 0.5}, {1.0, 0}})));
  ASSERT_EQ(run.finals.size(), 1u);
  stand_in::advance_clock(10);
  collect(run, stream.poll());
  EXPECT_EQ(run.finals.size(), 1u) << "no final for a pause";
  collect(run, stream.feed(audio({{1.0, 0.5}, {1.0, 0}})));
  ASSERT_EQ(run.finals.size(), 2u);
  EXPECT_DOUBLE_EQ(run.finals[1].start, run.finals[0].end);
  stand_in::use_default_clock();
}

TEST_F(StreamTest, AFailedEngineEndsTheStreamButNotTheFinalsItMade) {
  // A reset that fails after a final: the final arrives, every later call reports the failure.
  stand_in::once("ParaformerStreamASR", "reset", {.error = "reset refused"});
  Stream stream(options());
  const Update u = stream.feed(kSpeech);
  ASSERT_EQ(u.finals.size(), 1u);
  EXPECT_TRUE(u.finals[0].error.empty());
  ASSERT_TRUE(stream.failure());
  EXPECT_THROW(stream.feed(kSpeech), std::runtime_error);
  EXPECT_THROW(stream.finish(), std::runtime_error);

  // A streaming pass that fails with no final before it: the call itself throws.
  stand_in::once("ParaformerStreamASR", "stream_generate", {.error = "decoder lost"});
  Stream other(options());
  EXPECT_THROW(other.feed(audio({{0.5, 0.5}})), std::runtime_error);
  EXPECT_THROW(other.poll(), std::runtime_error);
}

TEST_F(StreamTest, AFinaliserThreadBesideTheFeedingThreadLosesNothing) {
  stand_in::set_journal(false);
  Stream reference(options());
  const auto expected = summary(feed_all(reference, kSpeech, 1600).finals);
  // Offline passes that take real time, run by a second thread while the first feeds on.
  stand_in::on("ParaformerOfflineASR", "transcribe", {.elapsed = 0.02});
  StreamOptions o = options();
  o.defer_finals = true;
  Stream stream(o);
  std::atomic<bool> fed{false};
  Results run;
  std::thread finaliser([&] {
    while (!fed || stream.final_due()) {
      collect(run, stream.finalize_due());
      collect(run, stream.poll());
    }
  });
  for (std::size_t at = 0; at < kSpeech.size(); at += 1600) {
    stream.feed(std::span(kSpeech).subspan(at, std::min<std::size_t>(1600, kSpeech.size() - at)));
  }
  fed = true;
  finaliser.join();
  collect(run, stream.finish());
  while (stream.final_due()) collect(run, stream.finalize_due());
  EXPECT_EQ(summary(run.finals), expected);
  stand_in::set_journal(true);
}

TEST_F(StreamTest, AnyChunkingBatchedDetectionAndDeferredFinalsGiveTheSameFinals) {
  stand_in::set_journal(false);  // a million calls
  Stream reference(options());
  const auto expected = summary(feed_all(reference, kSpeech, 1600).finals);
  ASSERT_EQ(expected.size(), 3u);
  for (const std::size_t size : {std::size_t{1}, std::size_t{777}, std::size_t{160000}}) {
    Stream stream(options());
    EXPECT_EQ(summary(feed_all(stream, kSpeech, size).finals), expected) << size;
  }
  StreamOptions deferred = options();
  deferred.defer_finals = true;
  Stream later(deferred);
  Update u = later.feed(kSpeech);
  EXPECT_TRUE(u.final_due);
  EXPECT_TRUE(u.finals.empty());
  EXPECT_TRUE(later.feed(audio({{0.5, 0}})).final_due) << "audio waits behind the final";
  Results run;
  while (later.final_due()) collect(run, later.finalize_due());
  collect(run, later.finish());
  while (later.final_due()) collect(run, later.finalize_due());
  EXPECT_EQ(summary(run.finals), expected);
  stand_in::set_journal(true);
}

TEST_F(StreamTest, BatchedDetectionGivesTheSameAsTheStreamAlone) {
  const std::string path = quern_test::fixture("sample.wav");
  if (!quern_test::have(path)) GTEST_SKIP() << "no " << path;
  const std::vector<float> speech = quern_test::read_wav(path).samples;
  StreamOptions o = options();
  o.vad = {.use_model = true};
  stand_in::set_journal(false);
  Stream alone(o), batched(o), other(o);
  ASSERT_TRUE(alone.detector().config->use_model);
  Results a, b;
  for (std::size_t at = 0; at < speech.size(); at += 1600) {
    const auto chunk =
        std::span(speech).subspan(at, std::min<std::size_t>(1600, speech.size() - at));
    collect(a, alone.feed(chunk));
    // Beside another stream, as a server's tick would run them.
    std::vector<utils::AudioSamples> frames = {batched.prepare(chunk), other.prepare(chunk)};
    std::vector<utils::vad::VADDetector*> detectors = {&batched.detector(), &other.detector()};
    std::vector<std::vector<std::pair<bool, bool>>*> verdicts = {&batched.verdicts(),
                                                                 &other.verdicts()};
    utils::vad::process_audio_batch(detectors, frames, verdicts);
    collect(b, batched.feed_judged());
    other.feed_judged();
  }
  collect(a, alone.finish());
  collect(b, batched.finish());
  EXPECT_GE(a.finals.size(), 2u);
  EXPECT_EQ(summary(b.finals), summary(a.finals));
  ASSERT_EQ(b.partials.size(), a.partials.size());
  for (std::size_t i = 0; i < a.partials.size(); ++i) {
    EXPECT_EQ(b.partials[i].segment, a.partials[i].segment);
    EXPECT_EQ(b.partials[i].time, a.partials[i].time);
  }
  stand_in::set_journal(true);
}

TEST_F(StreamTest, WordsAreOrderedWithinTheirFinalAndConfidencesInRange) {
  // The engine's words in its own order, one past the utterance's end, odd entries among them.
  models::ResultList result = {
      {{"text", "b a c"},
       {"words",
        {{{"word", "b"}, {"start", 0.5}, {"end", 0.9}, {"confidence", 1.5}},
         {{"word", "a"}, {"start", 0.1}, {"end", 0.4}, {"confidence", 0.7}},
         {{"word", "c"}, {"start", 0.9}, {"end", 99.0}},
         {{"start", 0.2}},
         "d"}}}};
  stand_in::on("ParaformerOfflineASR", "transcribe", {.results = result});
  Stream stream(options());
  Results run = feed_all(stream, kSpeech, 4000);
  ASSERT_EQ(run.finals.size(), 3u);
  const Final& f = run.finals[1];
  ASSERT_EQ(f.words.size(), 3u);
  EXPECT_EQ(f.words[0].word, "a");
  EXPECT_EQ(f.words[1].word, "b");
  EXPECT_EQ(f.words[2].word, "c");
  EXPECT_DOUBLE_EQ(f.words[0].start, f.start + 0.1);
  for (const auto& w : f.words) {
    EXPECT_GE(w.start, f.start);
    EXPECT_LE(w.start, w.end);
    EXPECT_LE(w.end, f.end);
  }
  EXPECT_EQ(f.words[0].confidence, 0.7);
  EXPECT_EQ(f.words[1].confidence, 1.0);
  EXPECT_FALSE(f.words[2].confidence.has_value());
}

TEST_F(StreamTest, BadSettingsAndMisuseAreRefusedClearly) {
  EXPECT_THROW(Stream({.sample_rate = 0}), std::invalid_argument);
  EXPECT_THROW(Stream({.endpoint = {.max_utterance = std::nan("")}}), std::invalid_argument);
  EXPECT_THROW(Stream({.endpoint = {.silence_timeout = -1}}), std::invalid_argument);
  EXPECT_THROW(Stream({.vad = {.silence_duration = INFINITY}}), std::invalid_argument);
  Stream stream(options());
  EXPECT_THROW(stream.feed_judged(), std::logic_error);
  stream.prepare(kSpeech);
  EXPECT_THROW(stream.feed(kSpeech), std::logic_error);
  EXPECT_THROW(stream.feed_judged(), std::invalid_argument);  // no verdicts given
  EXPECT_THROW(stream.finish(EndReason::speech_ended), std::invalid_argument);
}

}  // namespace
