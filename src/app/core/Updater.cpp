#include "app/core/Updater.h"

#include "runtime/Log.h"

namespace brindlet::app {

void Updater::checkForUpdates() {
  runtime::Logger::of("updates").info("Updates come with the source tree or the package manager");
}

}  // namespace brindlet::app
