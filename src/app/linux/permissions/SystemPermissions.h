#pragma once

#include <memory>
#include <string>
#include <vector>

#include "app/core/Permission.h"

namespace brindlet::platform {

class AtspiTree;
class X11Connection;

// The two permissions as this desktop has them. X11 asks no one's leave to capture or to post
// input, so screen recording is granted when the display answers with the extensions capture
// uses (MIT-SHM, XFIXES, DAMAGE), and accessibility when it offers XTEST and the accessibility
// bus is switched on (its IsEnabled), which apps need before they publish their trees.
// Requesting accessibility switches the bus on; screen recording has nothing to ask.
class SystemPermissions : public app::PermissionChecking {
 public:
  // `display` empty: $DISPLAY.
  SystemPermissions(std::string display, std::shared_ptr<AtspiTree> tree);
  ~SystemPermissions() override;

  boost::asio::awaitable<bool> isGranted(app::Permission permission) override;
  boost::asio::awaitable<void> request(app::Permission permission) override;
  std::vector<std::string> lacking(app::Permission permission) const override;

 private:
  // The open connection, opened again once lost; none when the display does not answer.
  boost::asio::awaitable<std::shared_ptr<X11Connection>> connection();

  std::string display_;
  std::shared_ptr<AtspiTree> tree_;
  std::shared_ptr<X11Connection> connection_;
  // What the display lacks, asked once per connection (`askedOn`): a display's extensions do not
  // change while a connection to it lasts, and the onboarding asks twice a second.
  struct Lacking {
    std::vector<std::string> capture, input;
  };
  std::shared_ptr<X11Connection> askedOn_;
  Lacking lacking_;
};

}  // namespace brindlet::platform
