// quern loadtest URL: many concurrent streams of real speech against a running quern serve,
// one JSON report line on stdout; exit status 1 when anything was lost or went wrong.
#include <cstdio>
#include <vector>

#include "client/load_test.h"
#include "tools/audio_input.h"
#include "tools/commands.h"
#include "tools/open_files.h"
#include "tools/output.h"

namespace quern_cli {

int run_loadtest(const LoadtestCommand& command) {
  client::LoadTestOptions options = command.options;
  options.chunk_seconds = command.chunk_ms / 1000.0;
  if (!command.config.empty()) {
    options.config = nlohmann::json::parse(command.config, nullptr, false);
    if (!options.config.is_object()) throw UsageError("--config must be a JSON object");
  }
  // ws://host:port/path or http://host:port (the protocol's path then).
  const std::string& url = command.url;
  const auto bad = [&] {
    return UsageError("URL must look like ws://127.0.0.1:8080/v1/stream, not " + url);
  };
  const auto scheme_end = url.find("://");
  if (scheme_end == std::string::npos) throw bad();
  const std::string scheme = url.substr(0, scheme_end);
  if (scheme != "ws" && scheme != "http") throw bad();
  const auto path_at = url.find('/', scheme_end + 3);
  const std::string authority = url.substr(scheme_end + 3, path_at - (scheme_end + 3));
  const auto colon = authority.rfind(':');
  if (colon == std::string::npos || colon == 0) throw bad();
  options.host = authority.substr(0, colon);
  if (options.host.starts_with('[') && options.host.ends_with(']')) {
    options.host = options.host.substr(1, options.host.size() - 2);
  }
  const std::string port_text = authority.substr(colon + 1);
  if (port_text.empty() || port_text.size() > 5 ||
      port_text.find_first_not_of("0123456789") != std::string::npos) {
    throw bad();
  }
  const int port = std::stoi(port_text);
  if (port < 1 || port > 65535) throw UsageError("URL: no such port " + port_text);
  options.port = static_cast<std::uint16_t>(port);
  if (path_at != std::string::npos && url.substr(path_at) != "/")
    options.target = url.substr(path_at);

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

  const auto report = client::run_load_test(options);
  emit(report);
  const bool whole =
      report["errors"] == 0 && report["finals_expected"] == report["finals_received"];
  return whole ? 0 : 1;
}

}  // namespace quern_cli
