// Compiled into every test binary: a blocking call made on a main loop fails the test that makes
// it.
#include "runtime/Blocking.h"

namespace {
const bool checkOn = [] {
  brindlet::runtime::checkBlocking(true);
  return true;
}();
}  // namespace
