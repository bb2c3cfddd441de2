// quern loadtest URL: many concurrent streams of real speech against a running quern serve,
// one JSON report line on stdout; exit status 1 when anything was lost or went wrong.
#include <cstdio>
#include <regex>
#include <vector>

#include "server/load_test.h"
#include "tools/audio_input.h"
#include "tools/commands.h"
#include "tools/open_files.h"
#include "tools/output.h"

namespace quern_cli {

int run_loadtest(const LoadtestCommand& command) {
  server::LoadTestOptions options = command.options;
  options.chunk_seconds = command.chunk_ms / 1000.0;
  // ws://host:port/path or http://host:port (the protocol's path then).
  static const std::regex url(R"(^(ws|http)://([^/:]+|\[[^\]]+\]):(\d+)(/.*)?$)");
  std::smatch m;
  if (!std::regex_match(command.url, m, url)) {
    throw UsageError("URL must look like ws://127.0.0.1:8080/v1/stream, not " + command.url);
  }
  options.host = m[2].str();
  if (options.host.starts_with('[')) options.host = options.host.substr(1, options.host.size() - 2);
  const int port = std::stoi(m[3].str());
  if (port < 1 || port > 65535) throw UsageError("URL: no such port " + m[3].str());
  options.port = static_cast<std::uint16_t>(port);
  if (m[4].matched && m[4].str() != "/") options.target = m[4].str();

  AudioReader reader(command.file);
  reader.set_target_rate(16000);
  std::vector<float> block(16000);
  while (const std::size_t n = reader.read(block)) {
    for (std::size_t i = 0; i < n; ++i) {
      options.audio.push_back(static_cast<std::int16_t>(std::lround(block[i] * 32767.0f)));
    }
  }
  if (options.audio.empty()) throw UsageError(command.file + " holds no audio");
  raise_open_files(options.streams + 256, "--streams " + std::to_string(options.streams));

  const auto report = server::run_load_test(options);
  emit(report);
  const bool whole = report["errors"] == 0 && report["finals_expected"] == report["finals_received"];
  return whole ? 0 : 1;
}

}  // namespace quern_cli
