// The controller under real threads: exactly-once finalize, engines called with no controller
// mutex held, a feeding thread racing a poller and a finaliser without losing samples, engines
// invisible while they load, a finalisation reason that matches the count it tested, and
// hotwords changed from another thread while a session streams.
#include <gtest/gtest.h>

#include <atomic>
#include <barrier>
#include <chrono>
#include <latch>
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
    stand_in::clear_journal();
    Dualis d({.punc_model = "", .max_audio_samples = 20000});
    std::atomic<bool> feeding{true};
    std::atomic<std::int64_t> appended{0};
    std::atomic<int> finals{0};
    stand_in::on("ParaformerOfflineASR", "transcribe", {});

    std::thread feeder([&] {
      for (int i = 0; i < 300; ++i) {
        d.stream_generate(utils::AudioSamples(std::vector<float>(160)));
        appended += 160;
      }
      feeding = false;
    });
    std::thread finaliser([&] {
      bool last_look = false;
      do {
        last_look = !feeding;  // one more look once the feeder is done
        if (d.check_finalization_needed().first && !d.finalize().empty()) ++finals;
      } while (!last_look);
    });
    feeder.join();
    finaliser.join();
    // Nothing was cleared, so the buffer holds every appended sample.
    EXPECT_EQ(d.get_audio_buffer_length(), appended.load());
    EXPECT_EQ(d.get_audio_buffer().size(), static_cast<std::size_t>(appended.load()));
    // 48000 samples pass the 20000-sample limit: exactly one refinement, of a copy that holds at
    // least what reached the limit and no more than was fed.
    EXPECT_EQ(finals.load(), 1);
    std::string audio;
    for (const auto& c : stand_in::journal_of("ParaformerOfflineASR")) {
      if (c.op == "transcribe") audio = c.arg("audio");
    }
    ASSERT_NE(audio.find("len="), std::string::npos);
    const long len = std::stol(audio.substr(audio.find("len=") + 4));
    EXPECT_GE(len, 20000);
    EXPECT_LE(len, appended.load());
  }
}

TEST_F(DualisConcurrency, NoCallReachesAnEngineWhoseLoadIsRunning) {
  Dualis d({.punc_model = ""});
  std::atomic<bool> loading{false}, reached{false};
  std::latch load_started(1);
  stand_in::on("ParaformerStreamASR", "load", {.callback = [&] {
                 loading = true;
                 load_started.count_down();
                 // Long enough for the other thread to reach the engine, were it visible.
                 for (int i = 0; i < 200 && !reached; ++i) {
                   std::this_thread::sleep_for(std::chrono::milliseconds(1));
                 }
                 loading = false;
               }});
  for (const char* op : {"hotwords", "stream_generate"}) {
    stand_in::on("ParaformerStreamASR", op, {.callback = [&] {
                   reached = true;
                   EXPECT_FALSE(loading) << op << " reached the engine during its load()";
                 }});
  }
  std::thread loader([&] { d.load(); });
  load_started.wait();
  d.stream_generate(utils::AudioSamples(std::vector<float>(16)));  // waits for the load
  loader.join();
  EXPECT_TRUE(reached);
  int constructs = 0;
  for (const auto& c : stand_in::journal()) constructs += c.op == "construct";
  EXPECT_EQ(constructs, 2);
}

TEST_F(DualisConcurrency, TheReasonShowsTheCountThatWasTested) {
  // A limit of 0 finalises any non-empty buffer; a buffer emptied between the emptiness test and
  // the limit test must not be reported as max_samples_reached(0>=0).
  Dualis d({.punc_model = "", .max_audio_samples = 0});
  std::atomic<bool> stop{false};
  std::thread churn([&] {
    while (!stop) {
      d.append_audio(utils::AudioSamples(std::vector<float>(16)));
      d.clear_audio_buffer();
    }
  });
  int wrong = 0;
  for (int i = 0; i < 200000; ++i) {
    const auto [needed, reason] = d.check_finalization_needed();
    wrong += needed ? reason != "max_samples_reached(16>=0)" : reason != "empty_buffer";
  }
  stop = true;
  churn.join();
  EXPECT_EQ(wrong, 0);
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
