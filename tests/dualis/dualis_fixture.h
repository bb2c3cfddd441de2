// Common set-up of the controller tests: a clean stand-in journal, a captured log at debug level
// and the manual clock near (never at) zero.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "models/dualis/dualis.h"
#include "testing/stand_ins/stand_in.h"
#include "tests/support/log_capture.h"

namespace quern_test {

class DualisTest : public ::testing::Test {
 protected:
  DualisTest() { stand_in::clear(); }
  ~DualisTest() override { stand_in::clear(); }

  static utils::AudioSamples chunk(std::size_t n, float value = 0.1f) {
    return utils::AudioSamples(std::vector<float>(n, value));
  }
  // The journal of one engine class as "op" strings, e.g. {"construct", "load", ...}.
  static std::vector<std::string> ops_of(std::string_view engine) {
    std::vector<std::string> ops;
    for (const auto& c : stand_in::journal_of(engine)) ops.push_back(c.op);
    return ops;
  }

  ManualClock clock{100.0};
  LogCapture log{Level::debug};
};

}  // namespace quern_test
