// Number formats of log messages and reasons.
#include "utils/number_format.h"

#include <gtest/gtest.h>

#include <limits>

TEST(NumberFormat, FixedRoundsTheBinaryValue) {
  EXPECT_EQ(utils::fixed1(3.04), "3.0");
  EXPECT_EQ(utils::fixed1(2.25), "2.2");  // exact tie: round half to even
  EXPECT_EQ(utils::fixed1(0.05), "0.1");  // 0.05 is slightly above the tie in binary
  EXPECT_EQ(utils::fixed1(12.34), "12.3");
  EXPECT_EQ(utils::fixed1(0.0), "0.0");
  EXPECT_EQ(utils::fixed6(0.001), "0.001000");
  EXPECT_EQ(utils::fixed6(0.0), "0.000000");
  EXPECT_EQ(utils::fixed6(-0.5), "-0.500000");
  EXPECT_EQ(utils::fixed1(1e300).size(), 303u);
}

TEST(NumberFormat, ShortestReadsBackInPythonLayout) {
  EXPECT_EQ(utils::shortest(3.0), "3.0");
  EXPECT_EQ(utils::shortest(0.75), "0.75");
  EXPECT_EQ(utils::shortest(0.01), "0.01");
  EXPECT_EQ(utils::shortest(2.5), "2.5");
  EXPECT_EQ(utils::shortest(1e-05), "1e-05");
  EXPECT_EQ(utils::shortest(0.0001), "0.0001");
  EXPECT_EQ(utils::shortest(100000.0), "100000.0");
  EXPECT_EQ(utils::shortest(1e16), "1e+16");
  EXPECT_EQ(utils::shortest(1234567890123456.0), "1234567890123456.0");
  EXPECT_EQ(utils::shortest(0.1 + 0.2), "0.30000000000000004");
  EXPECT_EQ(utils::shortest(-1.5), "-1.5");
  EXPECT_EQ(utils::shortest(0.0), "0.0");
  EXPECT_EQ(utils::shortest(-0.0), "-0.0");
  EXPECT_EQ(utils::shortest(123.456), "123.456");
  EXPECT_EQ(utils::shortest(1.5e300), "1.5e+300");
  EXPECT_EQ(utils::shortest(std::numeric_limits<double>::infinity()), "inf");
  EXPECT_EQ(utils::shortest(std::numeric_limits<double>::quiet_NaN()), "nan");
}
