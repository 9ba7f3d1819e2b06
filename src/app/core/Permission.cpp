#include "app/core/Permission.h"

namespace brindlet::app {

std::string_view rawValue(Permission permission) {
  return permission == Permission::screenRecording ? "screenRecording" : "accessibility";
}

std::optional<Permission> permissionFrom(std::string_view raw) {
  for (const auto permission : allPermissions) {
    if (rawValue(permission) == raw) return permission;
  }
  return std::nullopt;
}

std::string_view cardName(Permission permission) {
  return permission == Permission::screenRecording ? "Screen Recording" : "Accessibility";
}

std::string_view paneAnchor(Permission permission) {
  return permission == Permission::screenRecording ? "Privacy_ScreenCapture"
                                                   : "Privacy_Accessibility";
}

std::string settingsURL(Permission permission) {
  return "x-apple.systempreferences:com.apple.preference.security?" +
         std::string(paneAnchor(permission));
}

}  // namespace brindlet::app
