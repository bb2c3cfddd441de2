// libquern_host: the shared logger (level gating, sinks, swapping sinks while threads log) and
// the clock.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>

#include "platform/quern_clock.h"
#include "platform/quern_log.h"
#include "testing/stand_ins/manual_clock.h"
#include "tests/support/log_capture.h"

using quern_test::Level;
using quern_test::LogCapture;
using quern_test::LogLine;

TEST(Logger, CapturesLevelAndExactTextInOrder) {
  LogCapture log(Level::info);
  quern_log::logger.debug("hidden");
  quern_log::logger.info("one");
  quern_log::logger.warning("two");
  quern_log::logger.error("Moonshine\xe7\xa6\xbb");
  EXPECT_EQ(log.lines(), (std::vector<LogLine>{{Level::info, "one"},
                                               {Level::warning, "two"},
                                               {Level::error, "Moonshine\xe7\xa6\xbb"}}));
}

TEST(Logger, DisabledLevelFormatsNothing) {
  LogCapture log(Level::info);
  int built = 0;
  auto build = [&] {
    ++built;
    return std::string("expensive");
  };
  QUERN_LOG_DEBUG(build());
  EXPECT_EQ(built, 0);
  QUERN_LOG_INFO(build());
  EXPECT_EQ(built, 1);
  EXPECT_FALSE(quern_log::logger.enabled(Level::debug));
  EXPECT_TRUE(quern_log::logger.enabled(Level::error));
}

TEST(Logger, SinkCanBeSwappedWhileThreadsLogAndNoMessageIsLostOrDoubled) {
  LogCapture log(Level::info);
  std::atomic<int> elsewhere{0};
  auto counting = std::make_shared<const quern_log::Sink>(
      [&elsewhere](Level, std::string_view) { elsewhere.fetch_add(1); });
  std::thread writer([] {
    for (int i = 0; i < 2000; ++i) quern_log::logger.info("x");
  });
  for (int i = 0; i < 200; ++i) {
    auto previous = quern_log::logger.set_sink(counting);
    quern_log::logger.set_sink(previous);
  }
  writer.join();
  // Each message went to exactly one of the two sinks.
  EXPECT_EQ(log.count("x") + elsewhere.load(), 2000);
}

TEST(Logger, ASinkThatThrowsNeverReachesTheCaller) {
  LogCapture log(Level::info);
  auto previous = quern_log::logger.set_sink(std::make_shared<const quern_log::Sink>(
      [](Level, std::string_view) { throw std::runtime_error("sink down"); }));
  testing::internal::CaptureStderr();
  EXPECT_NO_THROW(quern_log::logger.error("first"));
  EXPECT_NO_THROW(quern_log::logger.error("second"));
  const std::string err = testing::internal::GetCapturedStderr();
  quern_log::logger.set_sink(previous);
  EXPECT_EQ(err, "quern_log: the log sink failed: sink down (later failures are not reported)\n");
  quern_log::logger.info("after");
  EXPECT_EQ(log.texts(), std::vector<std::string>{"after"});
}

TEST(WallClock, ManualClockIsInstalledAndRestoredOverAMonotonicDefault) {
  {
    quern_test::ManualClock clock(5.0);
    EXPECT_EQ(quern_clock::now(), 5.0);
    clock.advance(0.25);
    EXPECT_EQ(quern_clock::now(), 5.25);
    EXPECT_TRUE(stand_in::manual_clock_in_use());
  }
  EXPECT_FALSE(stand_in::manual_clock_in_use());
  // The default clock is monotonic, never 0.0 (which means "no chunk yet"), and moves on.
  const double t = quern_clock::now();
  EXPECT_GT(t, 0.0);
  std::this_thread::sleep_for(std::chrono::milliseconds(2));
  EXPECT_GE(quern_clock::now() - t, 0.002);
}
