// The process-wide logger and its default stderr sink.
#include "platform/quern_log.h"

#include <atomic>
#include <cstdio>
#include <exception>
#include <mutex>

namespace quern_log {

constinit Logger logger;

std::string_view level_name(Level level) noexcept {
  switch (level) {
    case Level::debug:
      return "DEBUG";
    case Level::info:
      return "INFO";
    case Level::warning:
      return "WARNING";
    case Level::error:
      return "ERROR";
  }
  return "LOG";
}

namespace {

void write_stderr(Level level, std::string_view message) {
  // One fwrite per line under a mutex keeps lines from different threads whole.
  static std::mutex mutex;
  std::string line;
  line.reserve(message.size() + 10);
  line.append(level_name(level)).append(" ").append(message).append("\n");
  std::lock_guard lock(mutex);
  std::fwrite(line.data(), 1, line.size(), stderr);
}

// Says on stderr why a sink threw.
void report_sink_failure(const std::exception_ptr& failure) noexcept {
  auto say = [](const char* what) {
    std::fprintf(stderr, "quern_log: the log sink failed: %s (later failures are not reported)\n",
                 what);
  };
  try {
    std::rethrow_exception(failure);
  } catch (const std::exception& e) {
    say(e.what());
  } catch (...) {
    say("not a std::exception");
  }
}

}  // namespace

void Logger::log(Level level, std::string_view message) const {
  if (!enabled(level)) return;
  std::shared_ptr<const Sink> sink;
  {
    utils::MutexLock lock(sink_mutex_);
    sink = sink_;
  }
  if (!sink) {
    write_stderr(level, message);
    return;
  }
  // Logging is called from error paths that must go on (a failed frame answers 0.0): a sink that
  // throws loses that message and is reported on stderr once per installed sink; it never
  // throws into the library.
  try {
    (*sink)(level, message);
  } catch (...) {
    if (!sink_failure_reported_.exchange(true)) report_sink_failure(std::current_exception());
  }
}

std::shared_ptr<const Sink> Logger::set_sink(std::shared_ptr<const Sink> sink) {
  utils::MutexLock lock(sink_mutex_);
  std::swap(sink_, sink);
  sink_failure_reported_.store(false);
  return sink;
}

}  // namespace quern_log
