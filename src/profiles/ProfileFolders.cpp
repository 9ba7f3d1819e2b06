#include "profiles/ProfileFolders.h"

#include <cstdlib>

namespace brindlet::profiles {

std::filesystem::path userDataFolder() {
  const char* data = std::getenv("XDG_DATA_HOME");
  if (data != nullptr && std::filesystem::path(data).is_absolute()) return data;
  const char* home = std::getenv("HOME");
  return std::filesystem::path(home != nullptr ? home : "/") / ".local/share";
}

std::filesystem::path defaultUserProfilesFolder() {
  return userDataFolder() / "Brindlet" / "Profiles";
}

std::filesystem::path formerUserProfilesFolder() {
  return userDataFolder() / "Velvane" / "Profiles";
}

}  // namespace brindlet::profiles
