// The pocketsphinx engines through the seam: real words from a flite voice, decoders lent per
// utterance and reused across sessions and threads, and clear failures for a bad model path or
// a rate the model does not take.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "engines/pocketsphinx/pocketsphinx_engines.h"
#include "models/dualis/dualis.h"
#include "tests/support/log_capture.h"
#include "tests/support/paths.h"
#include "tests/support/wav.h"

using models::dualis::Dualis;
using utils::AudioSamples;

namespace {

std::vector<std::string> words_of(const std::string& text) {
  std::vector<std::string> out;
  std::string w;
  for (const char c : text + " ") {
    if (std::isalnum(static_cast<unsigned char>(c)) || c == '\'') {
      w += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    } else if (!w.empty()) {
      out.push_back(w);
      w.clear();
    }
  }
  return out;
}

// Word edits (substitutions, insertions, deletions) from `truth` to `said`.
std::size_t word_errors(const std::vector<std::string>& truth,
                        const std::vector<std::string>& said) {
  std::vector<std::size_t> row(said.size() + 1);
  for (std::size_t j = 0; j <= said.size(); ++j) row[j] = j;
  for (std::size_t i = 1; i <= truth.size(); ++i) {
    std::size_t diagonal = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= said.size(); ++j) {
      const std::size_t up = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (truth[i - 1] != said[j - 1])});
      diagonal = up;
    }
  }
  return row[said.size()];
}

struct Sentence {
  AudioSamples audio;
  std::string text;
};

// The demo sample's sentences (flite's slt voice), each with 0.3 s around it.
std::vector<Sentence> sentences() {
  const auto wav = quern_test::read_wav(quern_test::fixture("sample.wav"));
  std::ifstream spans(quern_test::fixture("sample.segments")),
      texts(quern_test::fixture("sample.txt"));
  std::vector<Sentence> out;
  double start, end;
  std::string text;
  while (spans >> start >> end && std::getline(texts, text)) {
    const auto a = static_cast<std::size_t>(std::max(0.0, start - 0.3) * 16000);
    const auto b = std::min(wav.samples.size(), static_cast<std::size_t>((end + 0.3) * 16000));
    out.push_back(
        {AudioSamples(std::vector<float>(wav.samples.begin() + a, wav.samples.begin() + b)), text});
  }
  return out;
}

// One utterance through a session: 100 ms chunks, then the final text; the last partial too.
std::pair<std::string, std::string> recognise(Dualis& session, const AudioSamples& audio) {
  std::string partial;
  for (std::size_t at = 0; at < audio.size(); at += 1600) {
    const auto [results, needs] =
        session.stream_generate(audio.slice(at, std::min(audio.size(), at + 1600)));
    (void)needs;
    if (!results.empty()) partial = results[0]["text"];
  }
  std::string final_text = session.finalize();
  session.reset();
  return {partial, final_text};
}

}  // namespace

TEST(Pocketsphinx, AFliteVoiceDecodesToMostOfItsWordsInBothPasses) {
  engines::pocketsphinx::provide();
  Dualis session(models::dualis::DualisOptions{});
  session.load();
  std::size_t words = 0, streaming_errors = 0, final_errors = 0;
  for (const auto& s : sentences()) {
    const auto [partial, final_text] = recognise(session, s.audio);
    const auto truth = words_of(s.text);
    words += truth.size();
    streaming_errors += word_errors(truth, words_of(partial));
    final_errors += word_errors(truth, words_of(final_text));
    // The punctuation model: sentence case and a full stop.
    ASSERT_FALSE(final_text.empty());
    EXPECT_TRUE(std::isupper(static_cast<unsigned char>(final_text.front()))) << final_text;
    EXPECT_EQ(final_text.back(), '.') << final_text;
  }
  ASSERT_EQ(words, 25u);
  // A decoder fed wrong samples (scale, rate, byte order) or a broken search gets nearly every
  // word wrong; on this clean voice both passes get most of them right.
  EXPECT_LT(streaming_errors * 2, words) << streaming_errors << " of " << words;
  EXPECT_LT(final_errors * 2, words) << final_errors << " of " << words;
}

TEST(Pocketsphinx, DecodersAreLentPerUtteranceAndReusedAcrossSessionsAndThreads) {
  engines::pocketsphinx::provide();
  const auto all = sentences();
  quern_test::LogCapture log(quern_test::Level::info);
  auto loads = [&] {
    int n = 0;
    for (const auto& t : log.texts())
      n += t.rfind("pocketsphinx: ", 0) == 0 && t.find(" loaded") != std::string::npos;
    return n;
  };
  // Two sessions on two threads, twice over: each final is its own sentence's, and the second
  // round loads no decoder (at most one per pass and thread in all).
  std::vector<std::string> finals(2);
  for (int round = 0; round < 2; ++round) {
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t) {
      threads.emplace_back([&, t] {
        Dualis session(models::dualis::DualisOptions{});
        session.load();
        finals[t] = recognise(session, all[t].audio).second;
      });
    }
    for (auto& t : threads) t.join();
    EXPECT_NE(finals[0].find("welcome"), std::string::npos) << finals[0];
    EXPECT_NE(finals[1].find("pauses"), std::string::npos) << finals[1];
    if (round == 0) {
      EXPECT_LE(loads(), 4);
    }
  }
  const int after_first = loads();
  Dualis idle(
      models::dualis::DualisOptions{});  // an idle session holds no decoder: loading it loads none
  idle.load();
  EXPECT_EQ(loads(), after_first);
  EXPECT_LE(after_first, 4);
}

TEST(Pocketsphinx, BadModelPathsAndRatesFailClearly) {
  engines::pocketsphinx::provide({.model_dir = "/no/such/models"});
  Dualis session(models::dualis::DualisOptions{});
  try {
    session.load();
    FAIL() << "loaded";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("/no/such/models"), std::string::npos) << e.what();
  }
  try {
    engines::pocketsphinx::provide({.sample_rate = 8000});
    FAIL() << "provided";
  } catch (const std::invalid_argument& e) {
    EXPECT_NE(std::string(e.what()).find("16000"), std::string::npos) << e.what();
  }
  EXPECT_EQ(engines::pocketsphinx::punctuate("i think i'm here"), "I think I'm here.");
  EXPECT_EQ(engines::pocketsphinx::punctuate(""), "");
}
