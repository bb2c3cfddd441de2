// The quern command-line host, run as a user runs it: segments, probabilities, sessions (also
// in real time), conversion of other formats and piped input, and one-line errors.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <nlohmann/json.hpp>
#include <sstream>

#include "tests/support/paths.h"
#include "tests/support/wav.h"

namespace {

struct Run {
  int status;
  std::vector<nlohmann::json> lines;  // stdout, one JSON value per line
  std::string err;
};

std::string slurp(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

Run quern(const std::string& args) {
  // Per process: CTest runs these tests in parallel.
  const std::string base = testing::TempDir() + "/quern." + std::to_string(getpid());
  const std::string out = base + ".out", err = base + ".err";
  const std::string cmd = std::string(QUERN_BINARY) + " " + args + " >" + out + " 2>" + err;
  const int raw = std::system(cmd.c_str());
  Run r{WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, {}, slurp(err)};
  std::istringstream lines(slurp(out));
  for (std::string line; std::getline(lines, line);) r.lines.push_back(nlohmann::json::parse(line));
  return r;
}

std::vector<std::pair<double, double>> segments(const Run& r) {
  std::vector<std::pair<double, double>> out;
  for (const auto& l : r.lines) {
    if (l.contains("start") && !l.contains("type")) out.emplace_back(l["start"], l["end"]);
  }
  return out;
}

// The sample's sentences, from the file that made it.
std::vector<std::pair<double, double>> sentences() {
  std::ifstream in(quern_test::fixture("sample.segments"));
  std::vector<std::pair<double, double>> out;
  double a, b;
  while (in >> a >> b) out.emplace_back(a, b);
  return out;
}

const std::string kSample = quern_test::fixture("sample.wav");

}  // namespace

TEST(QuernVad, OneSegmentPerSentenceInBothModes) {
  const auto expected = sentences();
  ASSERT_EQ(expected.size(), 3u);
  for (const char* mode : {"--model", "--energy"}) {
    const auto r = quern(std::string("vad ") + mode + " " + kSample);
    ASSERT_EQ(r.status, 0) << r.err;
    const auto found = segments(r);
    ASSERT_EQ(found.size(), 3u) << mode;
    for (std::size_t i = 0; i < 3; ++i) {
      EXPECT_NEAR(found[i].first, expected[i].first, 0.3) << mode << " start " << i;
      EXPECT_LT(found[i].second, expected[i].second + 0.3) << mode << " end " << i;
      EXPECT_GT(found[i].second, found[i].first + 1.0) << mode << " end " << i;
    }
  }
}

TEST(QuernVad, SegmentRulesPadDropAndSplit) {
  const auto plain = segments(quern("vad " + kSample));
  ASSERT_EQ(plain.size(), 3u);
  // Frame-accurate: every boundary on the 32 ms frame grid.
  for (const auto& [start, end] : plain) {
    EXPECT_NEAR(std::remainder(start, 0.032), 0.0, 1e-6);
    EXPECT_NEAR(std::remainder(end, 0.032), 0.0, 1e-6);
  }
  // Ends at the last sure frame: the detector's own ends (end threshold 0) run later, in energy
  // mode, whose smoothing lags most, for every sentence.
  for (const std::string mode : {"", "--energy "}) {
    const auto sure = segments(quern("vad " + mode + kSample));
    const auto own = segments(quern("vad --end-threshold 0 " + mode + kSample));
    ASSERT_EQ(sure.size(), own.size()) << mode;
    int earlier = 0;
    for (std::size_t i = 0; i < own.size(); ++i) {
      EXPECT_EQ(sure[i].first, own[i].first) << mode;
      EXPECT_LE(sure[i].second, own[i].second) << mode;
      earlier += sure[i].second < own[i].second;
    }
    EXPECT_GE(earlier, mode.empty() ? 1 : 3) << mode;
  }
  const auto padded = segments(quern("vad --pad 0.2 " + kSample));
  ASSERT_EQ(padded.size(), 3u);
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_NEAR(padded[i].first, plain[i].first - 0.2, 1e-9);
    EXPECT_NEAR(padded[i].second, plain[i].second + 0.2, 1e-9);
  }
  // The shortest sentence is dropped; every other longer than 1.5 s is cut into parts no longer.
  double shortest = 1e9;
  for (const auto& [start, end] : plain) shortest = std::min(shortest, end - start);
  EXPECT_EQ(
      segments(quern("vad --min-speech " + std::to_string(shortest + 0.01) + " " + kSample)).size(),
      2u);
  const auto split = segments(quern("vad --max-speech 1.5 " + kSample));
  EXPECT_GT(split.size(), plain.size());
  for (const auto& [start, end] : split) EXPECT_LE(end - start, 1.5 + 1e-9);
  EXPECT_EQ(split.front().first, plain.front().first);
  EXPECT_EQ(split.back().second, plain.back().second);
}

TEST(QuernVad, ProbabilitiesAreFramesInOrderWithinZeroAndOne) {
  const auto r = quern("vad --probabilities --chunk-ms 30 " + kSample);
  ASSERT_EQ(r.status, 0) << r.err;
  double last_time = -0.032;
  int frames = 0;
  for (const auto& l : r.lines) {
    if (!l.contains("probability")) continue;
    ++frames;
    EXPECT_GE(l["probability"].get<double>(), 0.0);
    EXPECT_LE(l["probability"].get<double>(), 1.0);
    EXPECT_NEAR(l["time"].get<double>(), last_time + 0.032, 1e-9);
    last_time = l["time"];
  }
  // Every whole frame of the file is judged, whatever the chunk size.
  std::ifstream wav(kSample, std::ios::binary | std::ios::ate);
  EXPECT_EQ(frames, (static_cast<long>(wav.tellg()) - 44) / 2 / 512);
}

TEST(QuernSession, OneFinalLinePerSpokenSentence) {
  const auto r = quern("session " + kSample);
  ASSERT_EQ(r.status, 0) << r.err;
  std::vector<nlohmann::json> finals;
  int partials = 0;
  for (const auto& l : r.lines) {
    if (l["type"] == "final") finals.push_back(l);
    if (l["type"] == "partial") ++partials;
  }
  ASSERT_EQ(finals.size(), 3u);
  for (const auto& f : finals) {
    EXPECT_EQ(f["reason"], "speech_ended");
#ifdef QUERN_HAVE_POCKETSPHINX
    // Real words by default: each sentence's final names what it is about.
    const std::string text = f["text"];
    EXPECT_TRUE(text.find("welcome") != std::string::npos ||
                text.find("sample") != std::string::npos || text.find("Each") == 0)
        << text;
    // Each word in order, timed within its sentence's span, with a confidence.
    ASSERT_GE(f["words"].size(), 3u) << f;
    double at = f["start"], least_sure = 1;
    for (const auto& w : f["words"]) {
      EXPECT_GE(w["start"].get<double>(), at) << w;
      EXPECT_GE(w["end"].get<double>(), w["start"].get<double>()) << w;
      EXPECT_LE(w["end"].get<double>(), f["end"].get<double>()) << w;
      EXPECT_GE(w["confidence"].get<double>(), 0.0);
      EXPECT_LE(w["confidence"].get<double>(), 1.0);
      least_sure = std::min(least_sure, w["confidence"].get<double>());
      at = w["start"];
    }
    EXPECT_LT(least_sure, 1.0) << "confidences are the decoder's posteriors, not a constant";
#else
    EXPECT_NE(f["text"].get<std::string>().find("stand-in"), std::string::npos);
#endif
  }
  EXPECT_GT(partials, 100);

  // The sample limit finalises too, with the controller's reason.
  const auto limited =
      quern("session --engines stand-in --max-samples 32000 --no-2pass " + kSample);
  ASSERT_EQ(limited.status, 0) << limited.err;
  bool by_limit = false;
  for (const auto& l : limited.lines) {
    if (l["type"] == "final" &&
        l["reason"].get<std::string>().rfind("max_samples_reached(", 0) == 0) {
      by_limit = true;
      EXPECT_EQ(l["text"], "");  // no second pass
    }
  }
  EXPECT_TRUE(by_limit);
}

TEST(QuernSession, RealtimeFinalisesEachUtteranceOnce) {
  // The sample limit ends an utterance with every 100 ms chunk while the timer thread polls the
  // same session: exactly one final line per utterance, each with the second pass's text.
  const std::string part = testing::TempDir() + "/part." + std::to_string(getpid()) + ".wav";
  ASSERT_EQ(std::system(("sox " + kSample + " " + part + " trim 0 4.2").c_str()), 0);
  const auto r =
      quern("session --engines stand-in --realtime --max-samples 1600 --max-silence 0.5 " + part);
  ASSERT_EQ(r.status, 0) << r.err;
  std::vector<double> starts;
  for (const auto& l : r.lines) {
    if (l["type"] != "final") continue;
    starts.push_back(l["start"]);
    EXPECT_NE(l["text"], "") << l.dump();
  }
  ASSERT_GE(starts.size(), 40u);
  EXPECT_TRUE(std::adjacent_find(starts.begin(), starts.end()) == starts.end()) << r.err;
}

TEST(QuernStreams, ThreadsSplittingTheBatchJudgeEveryChunkAlike) {
  // Each stream starts at its own offset; however the streams are shared out into batches, every
  // chunk's judgement stays what one detector alone would make of it.
  const auto one = quern("streams --streams 5 " + kSample);
  const auto two = quern("streams --streams 5 --threads 2 " + kSample);
  ASSERT_EQ(one.lines.size(), 1u) << one.err;
  ASSERT_EQ(two.lines.size(), 1u) << two.err;
  EXPECT_EQ(one.lines[0]["streams"], 5);
  EXPECT_EQ(two.lines[0]["threads"], 2);
  EXPECT_GT(one.lines[0]["chunks_with_speech"].get<int>(), 5 * 10);
  EXPECT_EQ(one.lines[0]["chunks_with_speech"], two.lines[0]["chunks_with_speech"]);
  EXPECT_GT(one.lines[0]["streams_per_core"].get<double>(), 5.0);
}

TEST(QuernCli, ConvertsStereoAt44100) {
  const std::string stereo = testing::TempDir() + "/stereo." + std::to_string(getpid()) + ".wav";
  ASSERT_EQ(std::system(("sox " + kSample + " -r 44100 -c 2 " + stereo).c_str()), 0);
  const auto r = quern("vad " + stereo);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("converting"), std::string::npos);
  EXPECT_EQ(segments(r).size(), 3u);
  // The same from standard input, read once as a stream.
  EXPECT_EQ(segments(quern("vad - < " + stereo)), segments(r));
}

TEST(QuernCli, BadSamplesAreCleanedAsAHostWouldWithOneNote) {
  // A 32-bit float WAV of the sample with runs of NaN, infinity and 1e20.
  auto wav = quern_test::read_wav(kSample);
  for (std::size_t i = 0; i < 100; ++i) {
    wav.samples[20000 + i] = std::numeric_limits<float>::quiet_NaN();
    wav.samples[90000 + i] = std::numeric_limits<float>::infinity();
    wav.samples[150000 + i] = 1e20f;
  }
  const std::string bad = testing::TempDir() + "/bad." + std::to_string(getpid()) + ".wav";
  {
    const auto bytes = static_cast<std::uint32_t>(wav.samples.size() * 4);
    std::ofstream out(bad, std::ios::binary);
    auto put = [&](std::uint32_t v, int n) { out.write(reinterpret_cast<const char*>(&v), n); };
    out << "RIFF";
    put(36 + bytes, 4);
    out << "WAVEfmt ";
    for (auto [v, n] :
         {std::pair{16u, 4}, {3u, 2}, {1u, 2}, {16000u, 4}, {64000u, 4}, {4u, 2}, {32u, 2}}) {
      put(v, n);
    }
    out << "data";
    put(bytes, 4);
    out.write(reinterpret_cast<const char*>(wav.samples.data()), bytes);
  }
  const auto r = quern("vad --log-level info " + bad);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(segments(r).size(), 3u);
  EXPECT_EQ(r.err.find("Error in VAD prediction"), std::string::npos) << r.err;
  const auto note = r.err.find("not finite or outside [-1, 1]");
  ASSERT_NE(note, std::string::npos) << r.err;
  EXPECT_EQ(r.err.find("not finite", note + 1), std::string::npos) << "said once";
}

TEST(QuernCli, ErrorsAreOneLineAndNonZero) {
  const std::string junk = testing::TempDir() + "/junk.wav";
  std::ofstream(junk) << "not audio";
  for (const std::string& args : std::vector<std::string>{
           "vad /no/such/file.wav", "vad " + junk, "vad --sample-rate 44100 " + kSample,
           "vad --chunk-ms 0 " + kSample, "vad --threshold abc " + kSample, "session", "frobnicate",
           "vad --energy --probabilities " + kSample, "vad --threshold nan " + kSample,
           "vad --frame-size 1024 " + kSample, "session --realtime --max-silence nan " + kSample,
           "vad " + testing::TempDir(), "streams --streams 0 " + kSample,
           "vad --max-speech 0.01 " + kSample, "vad --pad -1 " + kSample}) {
    const auto r = quern(args);
    EXPECT_NE(r.status, 0) << args;
    EXPECT_TRUE(r.lines.empty()) << args;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << args << ": " << r.err;
    EXPECT_EQ(r.err.rfind("quern: ", 0), 0u) << args << ": " << r.err;
  }
}
