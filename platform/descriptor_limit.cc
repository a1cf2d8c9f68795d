#include "platform/descriptor_limit.h"

#include <sys/resource.h>

#include <cerrno>
#include <cstring>
#include <limits>

namespace tmb::platform {
namespace {

constexpr uint64_t kUsualSoftLimit = 1024;

uint64_t Count(rlim_t value) {
  return value == RLIM_INFINITY ? std::numeric_limits<uint64_t>::max()
                                : static_cast<uint64_t>(value);
}

std::string Number(uint64_t value) {
  return value == std::numeric_limits<uint64_t>::max() ? "unlimited" : std::to_string(value);
}

}  // namespace

DescriptorLimitChange RaiseDescriptorLimit() {
  DescriptorLimitChange change;
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) {
    change.error = errno;
    change.before = change.after = change.hard = kUsualSoftLimit;
    return change;
  }
  change.before = change.after = Count(limit.rlim_cur);
  change.hard = Count(limit.rlim_max);
  if (limit.rlim_cur == limit.rlim_max) return change;
  rlimit raised = limit;
  raised.rlim_cur = limit.rlim_max;
  if (setrlimit(RLIMIT_NOFILE, &raised) == 0) {
    change.after = change.hard;
  } else {
    change.error = errno;
  }
  return change;
}

std::string DescribeDescriptorLimit(const DescriptorLimitChange& change) {
  if (change.error != 0) {
    return "stays at " + Number(change.after) + ": " + std::strerror(change.error);
  }
  if (change.after != change.before) {
    return "raised from " + Number(change.before) + " to " + Number(change.after);
  }
  return "stays at " + Number(change.after) + ", the hard limit";
}

}  // namespace tmb::platform
