// The descriptor limit's raise, in a child process so that the test's own
// limit stays as it was; the server's start line is checked end to end
// (tests/e2e/limits_test.cc).
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <limits>

#include "platform/descriptor_limit.h"

namespace tmb::platform {
namespace {

// Runs `body` in a child and returns its exit status: 0 when every check
// there held, else the number of the first that failed.
template <typename Body>
int InChild(Body body) {
  const pid_t child = fork();
  if (child == 0) _exit(body());
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 100;
}

TEST(DescriptorLimitTest, TheSoftLimitIsRaisedToTheHardOneAndOnlyOnce) {
  rlimit mine{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &mine), 0);
  ASSERT_GE(mine.rlim_max, 200u) << "the test needs a hard limit of 200 or more";
  EXPECT_EQ(InChild([] {
              const rlimit low{100, 200};
              if (setrlimit(RLIMIT_NOFILE, &low) != 0) return 1;
              const DescriptorLimitChange first = RaiseDescriptorLimit();
              if (first.before != 100 || first.after != 200 || first.hard != 200) return 2;
              if (first.error != 0) return 3;
              rlimit now{};
              if (getrlimit(RLIMIT_NOFILE, &now) != 0 || now.rlim_cur != 200) return 4;
              if (DescribeDescriptorLimit(first) != "raised from 100 to 200") return 5;
              // At the hard limit already: nothing to raise, and said so.
              const DescriptorLimitChange second = RaiseDescriptorLimit();
              if (second.before != 200 || second.after != 200 || second.error != 0) return 6;
              if (DescribeDescriptorLimit(second) != "stays at 200, the hard limit") return 7;
              return 0;
            }),
            0);
}

TEST(DescriptorLimitTest, ARefusedRaiseSaysWhatTheLimitStaysAt) {
  DescriptorLimitChange refused;
  refused.before = refused.after = 1024;
  refused.hard = std::numeric_limits<uint64_t>::max();
  refused.error = EPERM;
  EXPECT_EQ(DescribeDescriptorLimit(refused),
            std::string("stays at 1024: ") + std::strerror(EPERM));
  DescriptorLimitChange unlimited;
  unlimited.before = 1024;
  unlimited.after = unlimited.hard = std::numeric_limits<uint64_t>::max();
  EXPECT_EQ(DescribeDescriptorLimit(unlimited), "raised from 1024 to unlimited");
}

}  // namespace
}  // namespace tmb::platform
