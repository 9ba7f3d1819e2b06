// Not a test of the system: cases that skip for known reasons, run by skipped-cases-test.
#include <gtest/gtest.h>

TEST(Probe, Passes) {}
TEST(Probe, SkipsForAListedReason) {
  GTEST_SKIP() << "the listed reason";
}
TEST(Probe, SkipsForAnUnlistedReason) {
  GTEST_SKIP() << "a reason nobody listed";
}
TEST(Probe, SkipsWithoutAReason) {
  GTEST_SKIP();
}
