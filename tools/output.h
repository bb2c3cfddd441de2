// JSON lines on stdout, whole lines only, from any thread.
#pragma once

#include <cmath>
#include <cstdio>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>

namespace quern_cli {

inline void emit(const nlohmann::ordered_json& line) {
  static std::mutex mutex;
  const std::string text = line.dump() + "\n";
  std::lock_guard lock(mutex);
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

// Seconds rounded to 10 ms, for segment and utterance times.
inline double seconds(double s) { return std::round(s * 100.0) / 100.0; }

// Milliseconds rounded to 0.1 ms, for timings.
inline double millis(double ms) { return std::round(ms * 10.0) / 10.0; }

}  // namespace quern_cli
