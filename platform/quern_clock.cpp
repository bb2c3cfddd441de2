// The replaceable clock, monotonic by default.
#include "platform/quern_clock.h"

#include <atomic>
#include <chrono>

namespace quern_clock {
namespace {

// A monotonic clock: a step of the system's wall clock (NTP, a resumed VM) must neither finalise
// an utterance early nor hold its silence timeout off. Its origin (the machine's start) is never
// 0.0, which callers read as "no time yet".
double system_now() {
  using namespace std::chrono;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}

std::atomic<ClockFn> hook{&system_now};

}  // namespace

double now() { return hook.load(std::memory_order_acquire)(); }

ClockFn set_clock(ClockFn fn) noexcept {
  return hook.exchange(fn ? fn : &system_now, std::memory_order_acq_rel);
}

}  // namespace quern_clock
