#include "runtime/Thread.h"

#include <pthread.h>

#include "runtime/ExitCleanup.h"

namespace brindlet::runtime::detail {

void nameThisThread(const std::string& name) {
  coverThisThread();
  pthread_setname_np(pthread_self(), name.substr(0, 15).c_str());
}

}  // namespace brindlet::runtime::detail
