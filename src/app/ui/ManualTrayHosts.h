#pragma once

#include "app/ui/TrayHosts.h"

namespace brindlet::app::ui {

// Tray hosts set by hand, for tests: the current hosts go to the watcher at once, then every
// change.
class ManualTrayHosts : public TrayHostWatching {
 public:
  void watch(Changed changed) override {
    changed_ = std::move(changed);
    changed_(hosts_);
  }
  void set(TrayHosts hosts) {
    if (hosts == hosts_) return;
    hosts_ = std::move(hosts);
    if (changed_) changed_(hosts_);
  }

 private:
  Changed changed_;
  TrayHosts hosts_;
};

}  // namespace brindlet::app::ui
