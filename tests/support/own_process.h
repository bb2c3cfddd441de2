// Tests of what happens once per process (a cache's first load, a flag decided on first use):
// QUERN_OWN_PROCESS_TEST(Suite, Name) { ... } (and QUERN_OWN_PROCESS_TEST_F) runs its body in a
// fresh run of the test program, so it sees that first time whatever ran before it, shuffled or
// repeated.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

namespace quern_test {

// In the fresh process: what failed goes to stderr, where the parent shows it, and the exit
// status says whether anything did.
[[noreturn]] inline void report_and_exit() {
  const auto* result = testing::UnitTest::GetInstance()->current_test_info()->result();
  for (int i = 0; i < result->total_part_count(); ++i) {
    const auto& part = result->GetTestPartResult(i);
    if (part.failed()) {
      std::fprintf(stderr, "%s:%d: %s\n", part.file_name() ? part.file_name() : "?",
                   part.line_number(), part.message());
    }
  }
  std::fflush(nullptr);
  std::_Exit(result->Failed() ? 1 : 0);
}

inline void in_own_process(void (*body)()) {
  // "threadsafe": the child is the program started anew with this test alone, not a fork.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        body();
        report_and_exit();
      },
      testing::ExitedWithCode(0), "");
}

}  // namespace quern_test

#define QUERN_OWN_PROCESS_TEST(suite, name)                                   \
  static void suite##_##name##_body();                                        \
  TEST(suite, name) { ::quern_test::in_own_process(&suite##_##name##_body); } \
  static void suite##_##name##_body()

// The same for a test with a fixture: the fresh process builds its own fixture for the body.
#define QUERN_OWN_PROCESS_TEST_F(fixture, name)                                          \
  class fixture##_##name##_InOwnProcess : public fixture {                               \
   public:                                                                               \
    void TestBody() override;                                                            \
  };                                                                                     \
  TEST_F(fixture, name) {                                                                \
    ::quern_test::in_own_process(+[] { fixture##_##name##_InOwnProcess().TestBody(); }); \
  }                                                                                      \
  void fixture##_##name##_InOwnProcess::TestBody()
