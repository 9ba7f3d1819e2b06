#pragma once

#include <array>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include <boost/asio/awaitable.hpp>

namespace brindlet::app {

// The two rights the system needs on this computer: to capture the screen for the phone, and to
// post input and read other apps' windows.
enum class Permission { screenRecording, accessibility };

inline constexpr std::array<Permission, 2> allPermissions{Permission::screenRecording,
                                                          Permission::accessibility};
using Permissions = std::set<Permission>;

// "screenRecording", "accessibility".
std::string_view rawValue(Permission permission);
// Exactly the two raw values, case-sensitively; nothing for any other text.
std::optional<Permission> permissionFrom(std::string_view raw);
// The name on its card and in the guide: "Screen Recording", "Accessibility".
std::string_view cardName(Permission permission);
// The anchor of its privacy pane in a settings app: "Privacy_ScreenCapture".
std::string_view paneAnchor(Permission permission);
// The address of its pane: a fixed prefix followed by the anchor.
std::string settingsURL(Permission permission);

// Checks and requests the permissions. Both answer on the caller's executor; a check that
// cannot be answered reads as not granted.
class PermissionChecking {
 public:
  virtual ~PermissionChecking() = default;
  // Whether the permission is granted now, without asking the user.
  virtual boost::asio::awaitable<bool> isGranted(Permission permission) = 0;
  // Asks for the permission; the outcome shows at a later isGranted.
  virtual boost::asio::awaitable<void> request(Permission permission) = 0;
  // What the last isGranted of the permission found the system lacking, by name (the X
  // extensions screen capture needs); nothing when it found nothing missing or could not tell.
  virtual std::vector<std::string> lacking(Permission) const { return {}; }
};

}  // namespace brindlet::app
