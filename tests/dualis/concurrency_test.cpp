// The controller under real threads: exactly-once finalize, engines called with no controller
// mutex held, a feeding thread racing a poller and a finaliser without losing samples, and
// hotwords changed from another thread while a session streams.
#include <gtest/gtest.h>

#include <atomic>
#include <barrier>
#include <thread>

#include "tests/dualis/dualis_fixture.h"

using models::dualis::Dualis;

class DualisConcurrency : public ::testing::Test {
 protected:
  DualisConcurrency() {
    stand_in::clear();
    quern_log::logger.set_level(quern_log::Level::warning);
    // Keep stand-in journals small: these tests only count.
    quiet_ = quern_log::logger.set_sink(
        std::make_shared<const quern_log::Sink>([](quern_log::Level, std::string_view) {}));
  }
  ~DualisConcurrency() override {
    quern_log::logger.set_sink(quiet_);
    quern_log::logger.set_level(quern_log::Level::info);
    stand_in::clear();
  }
  std::shared_ptr<const quern_log::Sink> quiet_;
};

TEST_F(DualisConcurrency, FinalizeFromManyThreadsRefinesExactlyOnce) {
  Dualis d({.punc_model = ""});
  d.load();
  constexpr int kThreads = 8;
  for (int round = 0; round < 200; ++round) {
    d.reset();
    d.append_audio(utils::AudioSamples(std::vector<float>(160, 0.1f)));
    stand_in::clear_journal();
    std::atomic<int> texts{0};
    std::barrier start(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&] {
        start.arrive_and_wait();
        if (!d.finalize().empty()) ++texts;
      });
    }
    for (auto& t : threads) t.join();
    ASSERT_EQ(texts.load(), 1) << "round " << round;
    ASSERT_EQ(stand_in::journal_of("ParaformerOfflineASR").size(), 2u);  // hotwords, transcribe
  }
}

TEST_F(DualisConcurrency, EnginesRunWithNoControllerMutexHeld) {
  Dualis d;
  std::atomic<int> checks{0};
  auto assert_unlocked = [&] {
    // Another thread must be able to take both mutexes while the engine runs.
    std::thread probe([&] {
      EXPECT_TRUE(d.audio_lock.try_lock());
      d.audio_lock.unlock();
      EXPECT_TRUE(d._finalize_lock.try_lock());
      d._finalize_lock.unlock();
      ++checks;
    });
    probe.join();
  };
  for (const char* engine : {"ParaformerStreamASR", "ParaformerOfflineASR"}) {
    for (const char* op :
         {"construct", "load", "reset", "stream_generate", "transcribe", "hotwords"}) {
      stand_in::on(engine, op, {.callback = assert_unlocked});
    }
  }
  stand_in::on("PunctuationModel", "generate", {.callback = assert_unlocked});
  stand_in::on("normalize_audio", "call", {.callback = assert_unlocked});
  d.stream_generate(utils::AudioSamples(std::vector<float>(100)));
  d.finalize();
  d.reset();
  EXPECT_GE(checks.load(), 12);
}

TEST_F(DualisConcurrency, FeederPollerAndFinaliserLoseNoSamples) {
  for (int round = 0; round < 20; ++round) {
    Dualis d({.punc_model = "", .max_audio_samples = 20000});
    std::atomic<bool> feeding{true};
    std::atomic<std::int64_t> appended{0};
    std::atomic<std::int64_t> refined{0};
    std::atomic<int> finals{0};
    stand_in::on("ParaformerOfflineASR", "transcribe", {});

    std::thread feeder([&] {
      for (int i = 0; i < 300; ++i) {
        auto [results, needs] = d.stream_generate(utils::AudioSamples(std::vector<float>(160)));
        appended += 160;
        (void)needs;
      }
      feeding = false;
    });
    std::thread finaliser([&] {
      while (feeding) {
        if (d.check_finalization_needed().first) {
          const auto before = d.get_audio_buffer_length();
          if (!d.finalize().empty()) {
            ++finals;
            refined = std::max<std::int64_t>(refined, before);
          }
        }
      }
    });
    feeder.join();
    finaliser.join();
    // Nothing was cleared, so the buffer holds every appended sample.
    EXPECT_EQ(d.get_audio_buffer_length(), appended.load());
    EXPECT_EQ(d.get_audio_buffer().size(), static_cast<std::size_t>(appended.load()));
    EXPECT_LE(finals.load(), 1);
  }
}

TEST_F(DualisConcurrency, ConcurrentLoadsCreateEachEngineOnce) {
  for (int round = 0; round < 50; ++round) {
    stand_in::clear_journal();
    Dualis d;
    std::thread a([&] { d.stream_generate(utils::AudioSamples(std::vector<float>(16))); });
    std::thread b([&] { d.offline_refine(); });
    a.join();
    b.join();
    ASSERT_EQ(stand_in::journal_of("ParaformerStreamASR")[1].op, "construct");
    int constructs = 0;
    for (const auto& c : stand_in::journal()) constructs += c.op == "construct";
    ASSERT_EQ(constructs, 3);
  }
}

TEST_F(DualisConcurrency, HotwordsChangedWhileStreaming) {
  Dualis d({.hotwords = "start"});
  d.load();
  std::thread feeder([&] {
    for (int i = 0; i < 200; ++i) d.stream_generate(utils::AudioSamples(std::vector<float>(16)));
  });
  std::thread changer([&] {
    for (int i = 0; i < 200; ++i) d.set_hotwords({"w" + std::to_string(i), "x"});
  });
  feeder.join();
  changer.join();
  d.set_hotwords({"last"});
  stand_in::clear_journal();
  d.stream_generate(utils::AudioSamples(std::vector<float>(16)));
  EXPECT_EQ(stand_in::journal_of("ParaformerStreamASR")[0].arg("hotwords"), "['last']");
  EXPECT_EQ(d.get_audio_buffer_length(), 201 * 16);
}
