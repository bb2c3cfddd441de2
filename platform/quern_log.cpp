// The process-wide logger and its default stderr sink.
#include "platform/quern_log.h"

#include <cstdio>
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

}  // namespace

void Logger::log(Level level, std::string_view message) const {
  if (!enabled(level)) return;
  std::shared_ptr<const Sink> sink;
  {
    utils::MutexLock lock(sink_mutex_);
    sink = sink_;
  }
  if (sink) {
    (*sink)(level, message);
  } else {
    write_stderr(level, message);
  }
}

std::shared_ptr<const Sink> Logger::set_sink(std::shared_ptr<const Sink> sink) {
  utils::MutexLock lock(sink_mutex_);
  std::swap(sink_, sink);
  return sink;
}

}  // namespace quern_log
