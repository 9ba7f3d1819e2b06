#include "app/core/Updater.h"

#include "runtime/Log.h"

namespace brindlet::app {

void Updater::checkForUpdates() {
  static const runtime::Logger log("updates");
  log.info("Updates are off in debug builds");
}

}  // namespace brindlet::app
