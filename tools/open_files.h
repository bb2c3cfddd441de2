// The open-files limit a command needs for its sockets: raised as far as the system allows, or a
// clear error saying the system's limit is too low.
#pragma once

#include <sys/resource.h>

#include <cstddef>
#include <string>

#include "tools/commands.h"

namespace quern_cli {

// Raises the soft RLIMIT_NOFILE to at least `needed`. Throws UsageError naming `why` when the
// hard limit is lower.
inline void raise_open_files(std::size_t needed, const std::string& why) {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return;
  const auto want = static_cast<rlim_t>(needed);
  if (limit.rlim_cur >= want) return;
  if (limit.rlim_max != RLIM_INFINITY && limit.rlim_max < want) {
    throw UsageError(why + " needs " + std::to_string(needed) +
                     " open files, but this system allows " + std::to_string(limit.rlim_max) +
                     " (raise the hard limit: ulimit -Hn, or LimitNOFILE= for a service)");
  }
  limit.rlim_cur = want;
  setrlimit(RLIMIT_NOFILE, &limit);
}

}  // namespace quern_cli
