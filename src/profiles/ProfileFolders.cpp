#include "profiles/ProfileFolders.h"

#include "runtime/Files.h"

namespace brindlet::profiles {

std::filesystem::path defaultUserProfilesFolder() {
  return runtime::userFolder(runtime::UserFolder::data) / "Brindlet" / "Profiles";
}

std::filesystem::path formerUserProfilesFolder() {
  return runtime::userFolder(runtime::UserFolder::data) / "Velvane" / "Profiles";
}

}  // namespace brindlet::profiles
