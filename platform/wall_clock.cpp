// The replaceable clock (monotonic by default) and the manual clock that tests install.
#include "platform/wall_clock.h"

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

std::atomic<double> manual_time{0.0};

double manual_now() { return manual_time.load(); }

std::atomic<ClockFn> hook{&system_now};

}  // namespace

double now() { return hook.load(std::memory_order_acquire)(); }

ClockFn set_clock(ClockFn fn) noexcept {
  return hook.exchange(fn ? fn : &system_now, std::memory_order_acq_rel);
}

void use_manual(double start_seconds) {
  manual_time.store(start_seconds);
  set_clock(&manual_now);
}

void use_system() noexcept { set_clock(nullptr); }

bool manual_in_use() noexcept { return hook.load() == &manual_now; }

void advance(double seconds) {
  double t = manual_time.load();
  while (!manual_time.compare_exchange_weak(t, t + seconds)) {
  }
}

void set_manual(double seconds) { manual_time.store(seconds); }

}  // namespace quern_clock
