// The shared logger: level gating, sinks, thread safety of swapping sinks.
#include <gtest/gtest.h>

#include <thread>

#include "platform/quern_log.h"
#include "platform/wall_clock.h"
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

TEST(Logger, SinkCanBeSwappedWhileThreadsLog) {
  LogCapture log(Level::info);
  std::thread writer([] {
    for (int i = 0; i < 2000; ++i) quern_log::logger.info("x");
  });
  for (int i = 0; i < 200; ++i) {
    auto counted = std::make_shared<const quern_log::Sink>([](Level, std::string_view) {});
    auto previous = quern_log::logger.set_sink(counted);
    quern_log::logger.set_sink(previous);
  }
  writer.join();
  quern_log::logger.info("last");
  EXPECT_EQ(log.lines().back().text, "last");
}

TEST(WallClock, ManualClockIsInstalledAndRestored) {
  {
    quern_test::ManualClock clock(5.0);
    EXPECT_EQ(quern_clock::now(), 5.0);
    clock.advance(0.25);
    EXPECT_EQ(quern_clock::now(), 5.25);
    EXPECT_TRUE(quern_clock::manual_in_use());
  }
  EXPECT_FALSE(quern_clock::manual_in_use());
  EXPECT_GT(quern_clock::now(), 1.6e9);  // seconds since the epoch
}
