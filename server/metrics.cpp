// Prometheus text exposition of the server's metrics and of the process's CPU, memory and files.
#include "server/metrics.h"

#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

namespace server {
namespace {

void append_number(std::string& out, double v) {
  char text[32];
  const int n = std::snprintf(text, sizeof text, "%.17g", v);
  out.append(text, static_cast<std::size_t>(n));
}

void header(std::string& out, std::string_view name, std::string_view type, std::string_view help) {
  out.append("# HELP ").append(name).append(" ").append(help).append("\n");
  out.append("# TYPE ").append(name).append(" ").append(type).append("\n");
}

void sample(std::string& out, std::string_view name, double v) {
  out.append(name).append(" ");
  append_number(out, v);
  out.append("\n");
}

double cpu_seconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  auto s = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
  return s(usage.ru_utime) + s(usage.ru_stime);
}

double resident_bytes() {
  std::ifstream statm("/proc/self/statm");
  double size = 0, resident = 0;
  statm >> size >> resident;
  return resident * static_cast<double>(sysconf(_SC_PAGESIZE));
}

double open_fds() {
  std::error_code ec;
  double n = 0;
  for (std::filesystem::directory_iterator it("/proc/self/fd", ec), end; !ec && it != end;
       it.increment(ec)) {
    ++n;
  }
  return n;
}

}  // namespace

template <std::size_t N>
void Histogram<N>::render(std::string& out, std::string_view name, std::string_view help) const {
  header(out, name, "histogram", help);
  std::uint64_t cumulative = 0;
  for (std::size_t i = 0; i <= N; ++i) {
    cumulative += counts_[i].load(std::memory_order_relaxed);
    out.append(name).append("_bucket{le=\"");
    if (i < N) {
      append_number(out, bounds_[i]);
    } else {
      out.append("+Inf");
    }
    out.append("\"} ").append(std::to_string(cumulative)).append("\n");
  }
  sample(out, std::string(name) + "_sum", sum_.load(std::memory_order_relaxed));
  sample(out, std::string(name) + "_count", static_cast<double>(cumulative));
}

std::string_view name_of(ErrorKind kind) noexcept {
  static constexpr std::string_view names[] = {"protocol",    "too_big",  "timeout",
                                               "slow_client", "capacity", "engine"};
  return names[static_cast<std::size_t>(kind)];
}

std::string Metrics::render() const {
  std::string out;
  out.reserve(4096);
  auto gauge = [&](std::string_view name, std::string_view help, double v) {
    header(out, name, "gauge", help);
    sample(out, name, v);
  };
  auto counter = [&](std::string_view name, std::string_view help, double v) {
    header(out, name, "counter", help);
    sample(out, name, v);
  };
  gauge("quern_sessions_open", "Open streaming sessions.",
        static_cast<double>(sessions_open.load()));
  counter("quern_sessions_total", "Streaming sessions opened.",
          static_cast<double>(sessions_total.load()));
  gauge("quern_draining", "1 while the server drains before exiting.", draining.load() ? 1 : 0);
  counter("quern_audio_messages_total", "Audio messages received.",
          static_cast<double>(audio_messages_total.load()));
  counter("quern_chunks_total", "Chunks fed to the recognition sessions.",
          static_cast<double>(chunks_total.load()));
  counter("quern_audio_seconds_total", "Seconds of audio fed to the recognition sessions.",
          static_cast<double>(audio_samples_total.load()) / 16000.0);
  header(out, "quern_finals_total", "counter", "Finals sent, by why the utterance ended.");
  for (std::size_t i = 0; i < finals.size(); ++i) {
    out.append("quern_finals_total{reason=\"")
        .append(quern::name_of(static_cast<quern::EndReason>(i)));
    out.append("\"} ").append(std::to_string(finals[i].load())).append("\n");
  }
  header(out, "quern_errors_total", "counter", "Sessions ended or refused by a fault, by kind.");
  for (std::size_t i = 0; i < errors.size(); ++i) {
    out.append("quern_errors_total{kind=\"").append(name_of(static_cast<ErrorKind>(i)));
    out.append("\"} ").append(std::to_string(errors[i].load())).append("\n");
  }
  vad_batch_size.render(out, "quern_vad_batch_size",
                        "Sessions whose detection ran in one batch per tick.");
  partial_latency.render(out, "quern_partial_latency_seconds",
                         "From a chunk's newest audio arriving to its partial being sent.");
  final_latency.render(out, "quern_final_latency_seconds",
                       "From an utterance's end being decided to its final being sent.");
  counter("process_cpu_seconds_total", "User and system CPU time of the process.", cpu_seconds());
  gauge("process_resident_memory_bytes", "Resident memory of the process.", resident_bytes());
  gauge("process_open_fds", "Open file descriptors of the process.", open_fds());
  return out;
}

}  // namespace server
