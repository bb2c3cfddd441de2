// quern serve: the streaming speech service on one port until SIGTERM or SIGINT drains it.
#include <unistd.h>

#include <cstdio>

#include "server/server.h"
#include "tools/commands.h"
#include "tools/open_files.h"
#include "tools/output.h"

namespace quern_cli {

int run_serve(const ServeCommand& command) {
  server::ServerOptions options = command.options;
  options.engines.enable_2pass = true;
  // Each session's socket, plus the health checks, scrapes and the process's own files.
  raise_open_files(options.max_sessions + 256,
                   "--max-sessions " + std::to_string(options.max_sessions));
  server::Server service(options);
  emit({{"type", "listening"},
        {"url", "http://" + options.host + ":" + std::to_string(service.port()) + "/"},
        {"port", service.port()}});
  const bool clean = service.run();
  emit({{"type", "stopped"}, {"drained", clean}});
  if (!clean) {
    // Workers may still be inside an engine: do not wait for them.
    std::fflush(stdout);
    std::fflush(stderr);
    _exit(1);
  }
  return 0;
}

}  // namespace quern_cli
