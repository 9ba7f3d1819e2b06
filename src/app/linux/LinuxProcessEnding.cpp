#include "app/linux/LinuxProcessEnding.h"

#include <unistd.h>

#include <cstdio>
#include <exception>
#include <thread>

#include "app/core/Lifetime.h"
#include "platform/linux/x11/RandrLeftovers.h"
#include "runtime/Blocking.h"
#include "runtime/ExitCleanup.h"
#include "runtime/Log.h"
#include "runtime/ProcessTable.h"

namespace brindlet::app {

void LinuxProcessEnding::cleanUp() {
  // The exit may come on the main loop's own thread (an exit() there); its waits are the point.
  runtime::AllowBlocking exiting;
  // The first pass refuses new files from now on; a discovery file's writing may be on the
  // blocking worker meanwhile, and the second pass, once it is done, takes the file it renamed
  // into place too.
  runtime::cleanUpForExit();
  for (int i = 0; i < 60 && runtime::blockingCallsInFlight() > 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  runtime::cleanUpForExit();
  // The children's children in groups of their own, which the registry's walk does not reach.
  try {
    runtime::ProcFsProcessTable table;
    killChildGroups(table);
  } catch (const std::exception& error) {
    runtime::Logger::of("app").error("Exit clean-up: %s", error.what());
  }
}

void LinuxProcessEnding::switchOffOutputs(runtime::Duration limit) {
  platform::switchOffOurOutputs("", std::chrono::duration_cast<std::chrono::milliseconds>(limit));
}

void LinuxProcessEnding::end(int status) {
  std::fflush(nullptr);
  ::_exit(status);
}

}  // namespace brindlet::app
