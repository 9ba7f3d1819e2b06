#include "app/core/Updater.h"

#include "runtime/Log.h"

namespace brindlet::app {

void Updater::checkForUpdates() {
  runtime::Logger::of("updates").info("Updates are off in debug builds");
}

}  // namespace brindlet::app
