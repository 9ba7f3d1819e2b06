// The profiles that ship with the app, read by the store from the source tree's copy of the
// installed folder: every file loads, and the meeting deck's profile has its seven keys.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "profiles/ProfileStore.h"
#include "runtime/MainLoop.h"
#include "runtime/ManualClock.h"
#include "secrets/MemorySecretStore.h"
#include "support/Loop.h"
#include "support/TempDir.h"

namespace brindlet::profiles {
namespace {

TEST(ShippedProfiles, LoadAndCarryTheMeetingKeys) {
  testsupport::TempDir dir;
  runtime::MainLoop loop;
  auto store = std::make_shared<ProfileStore>(
      loop, std::filesystem::path(dir.path()) / "user", std::filesystem::path(SHIPPED_PROFILES),
      std::make_shared<KeychainSigningKeyStore>(std::make_shared<secrets::MemorySecretStore>()),
      std::make_shared<runtime::ManualClock>());
  brindlet::testing::runUntilDone(loop.context(), store->load());
  EXPECT_THAT(store->problems.get(), ::testing::IsEmpty());
  EXPECT_EQ(store->profiles.get().size(), ProfileStore::jsonFiles(SHIPPED_PROFILES).size());

  const auto meeting = store->profile("com.velvane.profile.meeting");
  ASSERT_TRUE(meeting);
  EXPECT_EQ(meeting->origin, StoredProfile::Origin::bundled);
  // Only its id reaches it: a meeting app is not served the meeting deck as its own profile.
  EXPECT_FALSE(store->profile("zoom", "Zoom Meeting 1"));
  const std::pair<const char*, MeetingIntent> keys[] = {
      {"mute", MeetingIntent::mute},   {"camera", MeetingIntent::camera},
      {"hand", MeetingIntent::hand},   {"share", MeetingIntent::share},
      {"chat", MeetingIntent::chat},   {"participants", MeetingIntent::participants},
      {"leave", MeetingIntent::leave},
  };
  EXPECT_EQ(meeting->profile.keys.size(), std::size(keys));
  for (const auto& [id, intent] : keys) {
    const auto key = meeting->profile.keys.find(id);
    ASSERT_NE(key, meeting->profile.keys.end()) << id;
    EXPECT_EQ(key->second.intent, intent) << id;
    EXPECT_FALSE(key->second.label.empty() || key->second.symbol.empty()) << id;
  }
  EXPECT_EQ(meeting->profile.layouts.regular.size(), std::size(keys));
}

}  // namespace
}  // namespace brindlet::profiles
