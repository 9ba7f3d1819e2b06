#include "runtime/DescriptorLimit.h"

#include <sys/resource.h>

#include <algorithm>

namespace brindlet::runtime {
namespace {

std::size_t withinCeiling(rlim_t limit) {
  if (limit == RLIM_INFINITY) return kDescriptorCeiling;
  return std::size_t(std::min<rlim_t>(limit, kDescriptorCeiling));
}

}  // namespace

std::size_t raiseDescriptorLimit() {
  rlimit files{};
  if (::getrlimit(RLIMIT_NOFILE, &files) != 0) return descriptorLimit();
  const rlim_t wanted = withinCeiling(files.rlim_max);
  if (files.rlim_cur != RLIM_INFINITY && files.rlim_cur < wanted) {
    files.rlim_cur = wanted;
    ::setrlimit(RLIMIT_NOFILE, &files);
  }
  return descriptorLimit();
}

std::size_t descriptorLimit() {
  rlimit files{};
  if (::getrlimit(RLIMIT_NOFILE, &files) != 0) return kDescriptorCeiling;
  return withinCeiling(files.rlim_cur);
}

}  // namespace brindlet::runtime
