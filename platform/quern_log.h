// quern_log: the host's shared logger, one per process. Every library of the engine layer writes
// its messages here, one string per message, at one of four levels.
//
// The level is atomic and the sink is swapped under a mutex, so a test may change either while
// other threads log.
// Messages that need formatting are written through QUERN_LOG_DEBUG and friends, which test the
// level first: a disabled line costs one atomic load, no formatting and no allocation.
//
// Thread safety: every member may be called concurrently from any thread.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "utils/export.h"
#include "utils/thread_annotations.h"

namespace quern_log {

enum class Level { debug = 10, info = 20, warning = 30, error = 40 };

// "DEBUG", "INFO", "WARNING", "ERROR".
QUERN_PLATFORM_API std::string_view level_name(Level level) noexcept;

// Receives each enabled message with its level. A sink may be called from several threads at
// once and must not log itself. If it throws, that message is lost and the sink's first failure
// is reported on stderr: log() does not pass it on.
using Sink = std::function<void(Level, std::string_view)>;

class QUERN_PLATFORM_API Logger {
 public:
  constexpr Logger() noexcept = default;
  Logger(const Logger&) = delete;
  Logger& operator=(const Logger&) = delete;

  void debug(std::string_view message) const { log(Level::debug, message); }
  void info(std::string_view message) const { log(Level::info, message); }
  void warning(std::string_view message) const { log(Level::warning, message); }
  void error(std::string_view message) const { log(Level::error, message); }
  void log(Level level, std::string_view message) const;

  bool enabled(Level level) const noexcept {
    return static_cast<int>(level) >= level_.load(std::memory_order_relaxed);
  }
  // Messages below `level` are dropped. The default is info.
  void set_level(Level level) noexcept {
    level_.store(static_cast<int>(level), std::memory_order_relaxed);
  }
  Level level() const noexcept {
    return static_cast<Level>(level_.load(std::memory_order_relaxed));
  }

  // Replaces the sink and returns the previous one; nullptr restores the default sink, which
  // writes "LEVEL message" lines to stderr.
  std::shared_ptr<const Sink> set_sink(std::shared_ptr<const Sink> sink);

 private:
  std::atomic<int> level_{static_cast<int>(Level::info)};
  // A plain mutex rather than std::atomic<std::shared_ptr>: libstdc++ 12 implements the latter
  // with a lock bit that ThreadSanitizer cannot see. Only enabled lines take it.
  mutable utils::Mutex sink_mutex_;
  std::shared_ptr<const Sink> sink_ QUERN_GUARDED_BY(sink_mutex_);
  mutable std::atomic<bool> sink_failure_reported_{false};  // by the installed sink
};

// The process-wide logger.
extern QUERN_PLATFORM_API Logger logger;

}  // namespace quern_log

// Log with a message built only when the level is enabled, e.g.
//   QUERN_LOG_DEBUG("Audio buffer size: " + std::to_string(n));
#define QUERN_LOG_AT(level, ...)                   \
  do {                                             \
    if (::quern_log::logger.enabled(level)) {      \
      ::quern_log::logger.log(level, __VA_ARGS__); \
    }                                              \
  } while (0)
#define QUERN_LOG_DEBUG(...) QUERN_LOG_AT(::quern_log::Level::debug, __VA_ARGS__)
#define QUERN_LOG_INFO(...) QUERN_LOG_AT(::quern_log::Level::info, __VA_ARGS__)
#define QUERN_LOG_WARNING(...) QUERN_LOG_AT(::quern_log::Level::warning, __VA_ARGS__)
#define QUERN_LOG_ERROR(...) QUERN_LOG_AT(::quern_log::Level::error, __VA_ARGS__)
