#pragma once

#include <filesystem>

namespace brindlet::profiles {

// Where profiles live on this system, under the user's data folder.
// <data>/Brindlet/Profiles: the folder the user's profiles are kept and watched in.
std::filesystem::path defaultUserProfilesFolder();
// <data>/Velvane/Profiles: where earlier versions kept them; moved once into the new folder.
std::filesystem::path formerUserProfilesFolder();

}  // namespace brindlet::profiles
