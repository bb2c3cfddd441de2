// A manual clock for tests, installed through quern_clock's hook: time stands still until a test
// or a stand-in engine moves it. Part of the test doubles, not of any installed library.
//
// Thread safety: every function may be called concurrently.
#pragma once

#include "utils/export.h"

namespace stand_in {

// Installs the manual clock at `start_seconds`.
QUERN_STAND_IN_API void use_manual_clock(double start_seconds);
// Restores the default (monotonic) clock.
QUERN_STAND_IN_API void use_default_clock() noexcept;
QUERN_STAND_IN_API bool manual_clock_in_use() noexcept;
// Move the manual time forward by `seconds`, or set it; both act on the manual time even while
// it is not installed. Stand-in engines advance it by their scripted elapsed time.
QUERN_STAND_IN_API void advance_clock(double seconds);
QUERN_STAND_IN_API void set_manual_clock(double seconds);

}  // namespace stand_in
