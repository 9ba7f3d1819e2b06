// The soft limit on descriptors raised to the hard one, in a child of the test: a lowered hard
// limit cannot be raised again without privileges.

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>

#include <gtest/gtest.h>

#include "runtime/DescriptorLimit.h"

namespace brindlet::runtime {
namespace {

// Whether, with the limits set to `soft` and `hard`, raising gives `raised` and keeps it.
bool raisesTo(rlim_t soft, rlim_t hard, std::size_t raised) {
  const pid_t child = ::fork();
  if (child == 0) {
    const rlimit set{soft, hard};
    if (::setrlimit(RLIMIT_NOFILE, &set) != 0) ::_exit(2);
    const bool kept = raiseDescriptorLimit() == raised && descriptorLimit() == raised;
    ::_exit(kept ? 0 : 1);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

TEST(DescriptorLimit, RaisesTheSoftLimitToTheHardOne) {
  rlimit now{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &now), 0);
  const rlim_t hard = std::min<rlim_t>(now.rlim_max, 4096);
  ASSERT_GE(hard, 1024u);
  EXPECT_TRUE(raisesTo(1024, hard, hard));
  EXPECT_TRUE(raisesTo(1024, 1024, 1024));
  EXPECT_TRUE(raisesTo(hard, hard, hard));
}

}  // namespace
}  // namespace brindlet::runtime
