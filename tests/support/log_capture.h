// Test helpers: capture the shared log (level and exact text, in order) and drive the manual
// clock, both restored when the helper goes out of scope.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/quern_log.h"
#include "testing/stand_ins/manual_clock.h"

namespace quern_test {

using quern_log::Level;

struct LogLine {
  Level level;
  std::string text;
  bool operator==(const LogLine&) const = default;
};

inline std::ostream& operator<<(std::ostream& os, const LogLine& l) {
  return os << quern_log::level_name(l.level) << " " << l.text;
}

class LogCapture {
 public:
  explicit LogCapture(Level level = Level::debug) : old_level_(quern_log::logger.level()) {
    quern_log::logger.set_level(level);
    old_sink_ = quern_log::logger.set_sink(
        std::make_shared<const quern_log::Sink>([this](Level lv, std::string_view text) {
          std::lock_guard lock(mutex_);
          lines_.push_back({lv, std::string(text)});
        }));
  }
  ~LogCapture() {
    quern_log::logger.set_sink(old_sink_);
    quern_log::logger.set_level(old_level_);
  }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::vector<LogLine> lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
  }
  // Lines at `level` or above.
  std::vector<LogLine> at_least(Level level) const {
    std::vector<LogLine> out;
    for (auto& l : lines()) {
      if (static_cast<int>(l.level) >= static_cast<int>(level)) out.push_back(l);
    }
    return out;
  }
  std::vector<std::string> texts() const {
    std::vector<std::string> out;
    for (auto& l : lines()) out.push_back(l.text);
    return out;
  }
  int count(const std::string& text) const {
    int n = 0;
    for (auto& l : lines()) n += l.text == text;
    return n;
  }
  void clear() {
    std::lock_guard lock(mutex_);
    lines_.clear();
  }

 private:
  mutable std::mutex mutex_;
  std::vector<LogLine> lines_;
  Level old_level_;
  std::shared_ptr<const quern_log::Sink> old_sink_;
};

// Installs the manual clock at `start` seconds for the scope.
class ManualClock {
 public:
  explicit ManualClock(double start = 1000.0) { stand_in::use_manual_clock(start); }
  ~ManualClock() { stand_in::use_default_clock(); }
  ManualClock(const ManualClock&) = delete;
  ManualClock& operator=(const ManualClock&) = delete;
  void advance(double seconds) { stand_in::advance_clock(seconds); }
  void set(double seconds) { stand_in::set_manual_clock(seconds); }
};

}  // namespace quern_test
