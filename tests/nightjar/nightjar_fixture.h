// Common set-up of the Moonshine engine tests: fake runtime and stand-ins cleared, log captured
// at debug level, manual clock installed.
#pragma once

#include <gtest/gtest.h>

#include <exception>
#include <string>

#include "testing/stand_ins/stand_in.h"
#include "tests/nightjar/fake_moonshine.h"
#include "tests/support/log_capture.h"

namespace quern_test {

class NightjarTest : public ::testing::Test {
 protected:
  NightjarTest() {
    fake_moonshine::reset();
    stand_in::clear();
  }
  ~NightjarTest() override {
    fake_moonshine::reset();
    stand_in::clear();
  }
  static utils::AudioSamples chunk(std::size_t n, float value = 0.25f) {
    return utils::AudioSamples(std::vector<float>(n, value));
  }

  ManualClock clock{500.0};
  LogCapture log{Level::debug};
};

// The message of the exception nested in `e`, or "" when none is.
inline std::string nested_message(const std::exception& e) {
  try {
    std::rethrow_if_nested(e);
  } catch (const std::exception& inner) {
    return inner.what();
  } catch (...) {
    return "<non-standard>";
  }
  return "";
}

}  // namespace quern_test
