#pragma once

#include "transport/BonjourService.h"

namespace brindlet::platform {

// DNS-SD through the Avahi daemon (over the D-Bus system bus). Every browse and advertisement
// has its own Avahi client on its own poll thread; callbacks run there. Until the daemon is
// reachable a browse reports `waiting` and keeps trying.
class AvahiServiceDiscovery : public transport::ServiceDiscovery {
 public:
  std::unique_ptr<transport::DiscoveryHandle> browse(
      const std::string& type, std::function<void(transport::BrowseEvent)> onEvent) override;
  std::unique_ptr<transport::DiscoveryHandle> advertise(
      const transport::ServiceAdvertisement& service,
      std::function<void(transport::AdvertiseEvent)> onEvent) override;
};

}  // namespace brindlet::platform
