#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

#include "profiles/Profile.h"
#include "profiles/Words.h"

namespace brindlet::profiles {

// One loaded profile with where it came from and how far it can be trusted.
struct StoredProfile {
  enum class Origin {
    bundled,   // shipped with the app
    mine,      // from the user's folder, verified with this computer's own key
    imported,  // every other profile of the user's folder
  };
  enum class Verification { verified, unverified, unsigned_ };

  Profile profile;
  Origin origin = Origin::bundled;
  Verification verification = Verification::unsigned_;
  std::optional<std::string> url{};  // the file it was read from

  // The origin's word, a colon and the profile's id.
  std::string id() const;

  friend bool operator==(const StoredProfile&, const StoredProfile&) = default;
};

template <>
struct Words<StoredProfile::Origin> {
  static constexpr auto list = std::to_array<std::string_view>({"bundled", "mine", "imported"});
};

template <>
struct Words<StoredProfile::Verification> {
  static constexpr auto list =
      std::to_array<std::string_view>({"verified", "unverified", "unsigned"});
};

// What the deck engine asks of the profile store.
class ProfileProviding {
 public:
  virtual ~ProfileProviding() = default;
  // The profile that serves the front app and its focused window (title absent when unknown).
  virtual std::optional<StoredProfile> profile(std::string_view bundleID,
                                               const std::optional<std::string>& windowTitle) = 0;
  // The profile with this id, the user's copy before the app's.
  virtual std::optional<StoredProfile> profile(std::string_view id) = 0;
};

}  // namespace brindlet::profiles
