#include "app/linux/permissions/SystemPermissions.h"

#include <X11/Xlib.h>

#include <array>
#include <string>
#include <vector>

#include "desktop/DesktopError.h"
#include "platform/linux/atspi/AtspiTree.h"
#include "platform/linux/x11/X11Connection.h"

namespace brindlet::platform {
namespace {

constexpr std::array<const char*, 3> captureExtensions{"MIT-SHM", "XFIXES", "DAMAGE"};
constexpr std::array<const char*, 1> inputExtensions{"XTEST"};

// The extensions of `names` the display does not offer.
template <std::size_t N>
std::vector<std::string> missing(Display* display, const std::array<const char*, N>& names) {
  std::vector<std::string> absent;
  for (const char* name : names) {
    int opcode = 0, event = 0, error = 0;
    if (!XQueryExtension(display, name, &opcode, &event, &error)) absent.emplace_back(name);
  }
  return absent;
}

}  // namespace

SystemPermissions::SystemPermissions(std::string display, std::shared_ptr<AtspiTree> tree)
    : display_(std::move(display)), tree_(std::move(tree)) {}

SystemPermissions::~SystemPermissions() = default;

boost::asio::awaitable<std::shared_ptr<X11Connection>> SystemPermissions::connection() {
  if (connection_ && !connection_->isLost()) co_return connection_;
  connection_.reset();
  std::shared_ptr<X11Connection> opened;
  try {
    auto display = display_;
    std::string thread = "x11-permissions";
    opened = co_await X11Connection::open(std::move(display), std::move(thread));
  } catch (const desktop::DesktopError&) {
    co_return nullptr;
  }
  // Another check may have opened one meanwhile; the later one is kept.
  connection_ = opened;
  co_return opened;
}

boost::asio::awaitable<bool> SystemPermissions::isGranted(app::Permission permission) {
  auto x = co_await connection();
  if (!x) co_return false;
  if (askedOn_ != x) {
    try {
      auto query = [](Display* display) {
        return Lacking{missing(display, captureExtensions), missing(display, inputExtensions)};
      };
      lacking_ = co_await x->call(std::move(query));
    } catch (const desktop::DesktopError&) {
      co_return false;
    }
    askedOn_ = x;
  }
  if (permission == app::Permission::screenRecording) co_return lacking_.capture.empty();
  if (!lacking_.input.empty()) co_return false;
  const bool enabled = co_await tree_->treesEnabled();
  co_return enabled;
}

std::vector<std::string> SystemPermissions::lacking(app::Permission permission) const {
  return permission == app::Permission::screenRecording ? lacking_.capture
                                                        : std::vector<std::string>();
}

boost::asio::awaitable<void> SystemPermissions::request(app::Permission permission) {
  if (permission == app::Permission::accessibility) co_await tree_->enableTrees();
}

}  // namespace brindlet::platform
