// The clock of the engine layer: seconds as a double, behind one process-wide hook so that tests
// can drive time by hand. Timings and the controller's silence timeout read it; nothing else in
// the libraries reads the time. Only differences of its readings mean anything: by default it is
// the monotonic clock (seconds since an arbitrary origin, never 0.0), not seconds since the epoch,
// so that a step of the system's wall clock neither ends an utterance early nor delays its end.
//
// Thread safety: every function may be called concurrently.
#pragma once

#include "utils/export.h"

namespace quern_clock {

using ClockFn = double (*)();

// The current time in seconds through the installed hook (the monotonic clock by default).
QUERN_PLATFORM_API double now();

// Installs `fn` (nullptr restores the monotonic clock) and returns the previous hook. Tests
// install a manual clock this way.
QUERN_PLATFORM_API ClockFn set_clock(ClockFn fn) noexcept;

}  // namespace quern_clock
