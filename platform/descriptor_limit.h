// The process's limit of open descriptors (RLIMIT_NOFILE): its soft limit
// raised as far as the hard limit lets an unprivileged process go.
#pragma once

#include <cstdint>
#include <string>

namespace tmb::platform {

struct DescriptorLimitChange {
  uint64_t before = 0;  // the soft limit found; UINT64_MAX for none
  uint64_t after = 0;   // the soft limit now in force
  uint64_t hard = 0;    // the hard limit; UINT64_MAX for none
  int error = 0;        // errno of a refused raise, else 0
};

// Sets the soft limit to the hard limit when it is lower. A limit that
// cannot be read is reported as 1024 before and after (the usual soft
// limit) with the errno of the read.
DescriptorLimitChange RaiseDescriptorLimit();

// One line for the start-up report, without its line end: "raised from A to
// B", "stays at B, the hard limit", or "stays at A: REASON".
std::string DescribeDescriptorLimit(const DescriptorLimitChange& change);

}  // namespace tmb::platform
