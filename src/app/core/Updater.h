#pragma once

#include "runtime/Observable.h"

namespace brindlet::app {

// Updates come with the source tree or a package manager, so no build has an update
// controller: checking is never possible, and asking only says so in the log.
class Updater {
 public:
  // Whether a check may start now; enables the menu's item.
  runtime::Observable<bool> canCheck{false};
  void checkForUpdates();
};

}  // namespace brindlet::app
