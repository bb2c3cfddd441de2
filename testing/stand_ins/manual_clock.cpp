// The manual clock that tests install in place of the monotonic one.
#include "testing/stand_ins/manual_clock.h"

#include <atomic>

#include "platform/quern_clock.h"

namespace stand_in {
namespace {

std::atomic<double> manual_time{0.0};
std::atomic<bool> installed{false};  // by use_manual_clock, until use_default_clock

double manual_now() { return manual_time.load(); }

}  // namespace

void use_manual_clock(double start_seconds) {
  manual_time.store(start_seconds);
  quern_clock::set_clock(&manual_now);
  installed.store(true);
}

void use_default_clock() noexcept {
  installed.store(false);
  quern_clock::set_clock(nullptr);
}

bool manual_clock_in_use() noexcept { return installed.load(); }

void advance_clock(double seconds) {
  double t = manual_time.load();
  while (!manual_time.compare_exchange_weak(t, t + seconds)) {
  }
}

void set_manual_clock(double seconds) { manual_time.store(seconds); }

}  // namespace stand_in
