#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <thread>

#include "profiles/ProfileFolders.h"
#include "profiles/ProfileStore.h"
#include "profiles/ProfileTestSupport.h"
#include "runtime/Log.h"
#include "runtime/MainLoop.h"
#include "runtime/ManualClock.h"
#include "secrets/MemorySecretStore.h"
#include "support/Loop.h"
#include "support/TempDir.h"

namespace brindlet::profiles {
namespace {

namespace fs = std::filesystem;
using Origin = StoredProfile::Origin;
using Verification = StoredProfile::Verification;
using runtime::LogLevel;
using namespace std::chrono_literals;

struct Sample {
  std::string id;
  std::string name;
  std::vector<std::string> apps = {"com.example.app"};
  std::optional<std::string> rule{};
};

Profile profileOf(const Sample& sample) {
  Profile profile = Profile::load(test::contents(test::fixture("minimal.json")));
  profile.id = sample.id;
  profile.name = sample.name;
  profile.apps = sample.apps;
  profile.windowTitleContains = sample.rule;
  return profile;
}

void writeFile(const fs::path& path, const std::string& text) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

void put(const fs::path& path, const Sample& sample) {
  writeFile(path, profileOf(sample).canonicalData());
}

// The store's own key store, counting how often it is asked: once a reload.
class CountingKeys final : public SigningKeyStore {
 public:
  explicit CountingKeys(std::shared_ptr<SigningKeyStore> keys) : keys_(std::move(keys)) {}
  boost::asio::awaitable<SigningKey> signingKey() override {
    ++asked;
    const SigningKey key = co_await keys_->signingKey();
    co_return key;
  }
  std::size_t asked = 0;

 private:
  std::shared_ptr<SigningKeyStore> keys_;
};

class ProfileStoreTest : public ::testing::Test {
 protected:
  ProfileStoreTest() { fs::create_directories(bundled); }

  std::shared_ptr<ProfileStore> makeStore(const fs::path& userFolder) {
    counted = std::make_shared<CountingKeys>(keys);
    return std::make_shared<ProfileStore>(loop, userFolder, bundled, counted, clock);
  }
  void start() {
    store = makeStore(user);
    startStore();
  }
  void startStore() { testing::runUntilDone(loop.context(), store->start()); }
  // Lets the loop take in what the folder watch has queued.
  void settle() {
    for (int i = 0; i < 5; ++i) {
      std::this_thread::sleep_for(2ms);
      testing::drain(loop.context());
    }
  }
  void advance(runtime::Duration by) {
    clock->advance(by);
    testing::drain(loop.context());
  }
  std::vector<std::string> deckErrors() const { return log.messages("deck", LogLevel::error); }
  std::size_t reloads() const { return counted->asked; }
  // How often this line was logged: a problem is logged once each time it comes.
  std::size_t logged(const std::string& line) const {
    const auto errors = deckErrors();
    return std::size_t(std::count(errors.begin(), errors.end(), line));
  }
  std::string nameOf(std::string_view id) const {
    const auto found = store->profile(id);
    return found ? found->profile.name : "(none)";
  }
  std::vector<std::string> summary() const {
    std::vector<std::string> out;
    for (const auto& p : store->profiles.get())
      out.push_back(std::string(wordOf(p.origin)) + "/" + std::string(wordOf(p.verification)) +
                    "/" + p.profile.name);
    return out;
  }

  testsupport::TempDir dir;
  fs::path user = fs::path(dir.path()) / "data/Brindlet/Profiles";
  fs::path bundled = fs::path(dir.path()) / "app/Profiles";
  runtime::MainLoop loop;
  runtime::LogCapture log;
  std::shared_ptr<runtime::ManualClock> clock = std::make_shared<runtime::ManualClock>();
  std::shared_ptr<secrets::MemorySecretStore> secrets =
      std::make_shared<secrets::MemorySecretStore>();
  std::shared_ptr<KeychainSigningKeyStore> keys =
      std::make_shared<KeychainSigningKeyStore>(secrets);
  std::shared_ptr<CountingKeys> counted;
  std::shared_ptr<ProfileStore> store;
};

TEST_F(ProfileStoreTest, OriginsVerificationAndOrder) {
  put(bundled / "c.json", {"com.app.c", "Zed"});
  put(bundled / "a.json", {"com.app.a", "Alpha"});
  put(bundled / "b.json", {"com.app.b", "Alpha"});
  const SigningKey own = test::signingKeyOf(*keys);
  const SigningKey other = SigningKey::generate();
  const Profile mine = profileOf({"com.user.mine", "Mine"}).sign(own);
  Profile edited = mine;
  edited.name = "Mine edited";
  Profile stripped = mine;
  stripped.name = "Mine stripped";
  stripped.signature.reset();
  writeFile(user / "mine.json", mine.canonicalData());
  writeFile(user / "edited.json", edited.canonicalData());
  writeFile(user / "stripped.json", stripped.canonicalData());
  writeFile(user / "other.json",
            profileOf({"com.user.other", "Other"}).sign(other).canonicalData());
  start();
  EXPECT_THAT(summary(),
              ::testing::ElementsAre("bundled/unsigned/Alpha", "bundled/unsigned/Alpha",
                                     "bundled/unsigned/Zed", "imported/unverified/Mine edited",
                                     "imported/unsigned/Mine stripped", "imported/verified/Other",
                                     "mine/verified/Mine"));
  // Equal names keep file-name order.
  EXPECT_EQ(store->profiles.get()[0].id(), "bundled:com.app.a");
  EXPECT_EQ(store->profiles.get()[0].url, (bundled / "a.json").string());
  EXPECT_TRUE(store->problems.get().empty());

  // The own key once had is kept: a keyring locked since changes nothing at a reload.
  secrets->failReads(secrets::SecretError::locked());
  testing::runUntilDone(loop.context(), store->load());
  EXPECT_EQ(summary().back(), "mine/verified/Mine");
  // Without the own key, nothing is the user's own.
  keys = std::make_shared<KeychainSigningKeyStore>(secrets);
  store = makeStore(user);
  testing::runUntilDone(loop.context(), store->load());
  EXPECT_THAT(summary(), ::testing::Contains("imported/verified/Mine"));
  EXPECT_EQ(summary().back(), "imported/verified/Other");
}

TEST_F(ProfileStoreTest, WhichFilesAreReadAndWhatFails) {
  put(user / "a.JSON", {"com.x.upper", "Upper"});
  put(user / ".hidden.json", {"com.x.hidden", "Hidden"});
  for (const char* skipped : {"a.json.bak", "notes.txt", "sub/inner.json"})
    put(user / skipped, {"com.x.skipped", skipped});
  writeFile(user / "dup.json", R"({"name":"a","name":"b"})");
  fs::create_directories(user / "folder.json");
  ASSERT_EQ(::mkfifo((user / "pipe.json").c_str(), 0600), 0);
  writeFile(user / "huge.json", std::string(ProfileStore::maxFileSize + 1, ' '));
  fs::create_symlink("loopB.json", user / "loopA.json");
  fs::create_symlink("loopA.json", user / "loopB.json");
  fs::create_symlink(std::string(300, 'n') + "/deck.json", user / "long.json");
  const fs::path away = fs::path(dir.path()) / "away/deck.json";
  fs::create_symlink(away, user / "dangling.json");
  fs::create_symlink("notes.txt/deck.json", user / "through.json");
  start();
  EXPECT_THAT(summary(),
              ::testing::ElementsAre("imported/unsigned/Hidden", "imported/unsigned/Upper"));
  const auto missing = [](const fs::path& target) {
    return "Links to " + fs::weakly_canonical(target).string() + ", which is missing";
  };
  const ProfileStore::Problems expected = {
      {(user / "dangling.json").string(), missing(away)},
      {(user / "dup.json").string(), "Duplicate key \"name\""},
      {(user / "folder.json").string(), "Is a directory"},
      {(user / "huge.json").string(), "File too large; profiles hold at most 1048576 bytes"},
      {(user / "long.json").string(), "File name too long"},
      {(user / "loopA.json").string(), "Too many levels of symbolic links"},
      {(user / "loopB.json").string(), "Too many levels of symbolic links"},
      {(user / "pipe.json").string(), "Not a regular file"},
      {(user / "through.json").string(), missing(user / "notes.txt/deck.json")},
  };
  EXPECT_EQ(store->problems.get(), expected);
  // Each problem is logged when it comes, not again at a reload that finds it unchanged.
  testing::runUntilDone(loop.context(), store->load());
  for (const auto& [file, message] : expected)
    EXPECT_EQ(logged(fs::path(file).filename().string() + ": " + message), 1u) << file;
  fs::remove(user / "pipe.json");
  testing::runUntilDone(loop.context(), store->load());
  ASSERT_EQ(::mkfifo((user / "pipe.json").c_str(), 0600), 0);
  testing::runUntilDone(loop.context(), store->load());
  EXPECT_EQ(logged("pipe.json: Not a regular file"), 2u);
  // The reload the watch queued meanwhile runs, rather than waiting on the clock past the test.
  settle();
  advance(ProfileStore::reloadDelay);
  EXPECT_EQ(logged("pipe.json: Not a regular file"), 2u);
}

TEST_F(ProfileStoreTest, LookupForAFrontApp) {
  put(bundled / "titled.json", {"com.app.titled", "Titled", {"com.mail"}, "Inbox"});
  put(bundled / "default.json", {"com.app.default", "Default", {"*"}, "never"});
  put(user / "plain.json", {"com.user.plain", "Plain", {"com.mail"}});
  put(user / "b.json", {"com.user.b", "B", {"com.zoom"}});
  put(bundled / "zoom.json", {"com.app.zoom", "A zoom", {"com.zoom"}});
  start();
  const struct {
    const char* app;
    std::optional<std::string> title;
    const char* expected;  // a stored id, or "" for none
  } cases[] = {
      {"com.mail", "My INBOX", "bundled:com.app.titled"},
      {"com.mail", "Drafts", "imported:com.user.plain"},
      {"com.mail", std::nullopt, "imported:com.user.plain"},
      {"com.zoom", std::nullopt, "imported:com.user.b"},  // the user's before the app's
      {"com.other", "anything", "bundled:com.app.default"},
  };
  for (const auto& c : cases) {
    const auto found = store->profile(c.app, c.title);
    EXPECT_EQ(found ? found->id() : "", c.expected) << c.app;
  }
  fs::remove(bundled / "default.json");
  testing::runUntilDone(loop.context(), store->load());
  EXPECT_FALSE(store->profile("com.other", std::nullopt));
}

TEST_F(ProfileStoreTest, LookupById) {
  put(bundled / "meeting.json", {"com.app.meeting", "App copy"});
  put(user / "meeting.json", {"com.app.meeting", "User copy"});
  start();
  EXPECT_EQ(store->profile("com.app.meeting")->profile.name, "User copy");
  EXPECT_FALSE(store->profile("com.app.nothing"));
  fs::remove(user / "meeting.json");
  settle();
  advance(ProfileStore::reloadDelay);
  EXPECT_EQ(store->profile("com.app.meeting")->profile.name, "App copy");
}

TEST_F(ProfileStoreTest, BurstOfChangesGivesOneReload) {
  put(user / "old.json", {"com.user.old", "Old"});
  start();
  ASSERT_EQ(reloads(), 1u);
  const fs::path source = fs::path(dir.path()) / "source.json";
  put(source, {"com.user.copied", "Copied"});
  for (int i = 0; i < 10; ++i) fs::copy_file(source, user / ("copy" + std::to_string(i) + ".json"));
  fs::rename(user / "copy0.json", user / "moved.json");
  fs::remove(user / "copy1.json");
  put(user / ".old.json.swp", {"com.user.old", "Saved"});
  fs::rename(user / ".old.json.swp", user / "old.json");  // an editor's save
  settle();
  advance(ProfileStore::reloadDelay - 1ms);
  EXPECT_EQ(reloads(), 1u);
  advance(1ms);
  EXPECT_EQ(reloads(), 2u);
  EXPECT_EQ(store->profiles.get().size(), 10u);  // 8 copies, the moved one, the saved one
  EXPECT_EQ(store->profile("com.user.old")->profile.name, "Saved");
  advance(10s);
  EXPECT_EQ(reloads(), 2u);
}

TEST_F(ProfileStoreTest, QuietPeriodRestartsWithEachChange) {
  start();
  const struct {
    runtime::Duration gap;
    std::size_t reloads;
  } cases[] = {{200ms, 1}, {500ms, 2}};
  int file = 0;
  for (const auto& c : cases) {
    const std::size_t before = reloads();
    writeFile(user / (std::to_string(file++) + ".json"), "{}");
    settle();
    advance(c.gap);
    writeFile(user / (std::to_string(file++) + ".json"), "{}");
    settle();
    advance(ProfileStore::reloadDelay - 1ms);
    advance(1ms);
    EXPECT_EQ(reloads() - before, c.reloads) << c.gap.count();
  }
}

// Editors that save in place (nano, `cat >`) change no entry of the folder, only the file; a
// profile kept in another folder (dotfiles) and linked in changes nothing in the user's folder
// at all, however it is saved.
TEST_F(ProfileStoreTest, AProfileRewrittenInPlaceIsSeen) {
  const fs::path dotfiles = fs::path(dir.path()) / "dotfiles/deck";
  const struct {
    const char* name;
    bool linked;
    bool renamed;  // saved as a new file renamed over the old one
  } cases[] = {{"in the folder", false, false},
               {"linked in from elsewhere", true, false},
               {"linked in, saved by renaming", true, true}};
  int turn = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string name = "deck" + std::to_string(turn++) + ".json";
    const fs::path file = c.linked ? dotfiles / name : user / name;
    put(file, {"com.user." + name, "Before"});
    if (c.linked) fs::create_symlink(file, user / name);
    if (!store) start();
    settle();
    advance(ProfileStore::reloadDelay);
    const std::size_t before = reloads();
    const auto edited = profileOf({"com.user." + name, "After"}).canonicalData();
    if (c.renamed) {
      writeFile(dotfiles / ".swap", edited);
      fs::rename(dotfiles / ".swap", file);
    } else {
      const auto shell = "printf '%s' '" + edited + "' > '" + file.string() + "'";
      ASSERT_EQ(std::system(shell.c_str()), 0);
      writeFile(file, edited);  // written twice: a burst
    }
    settle();
    advance(ProfileStore::reloadDelay);
    EXPECT_EQ(reloads() - before, 1u);
    EXPECT_EQ(store->profile("com.user." + name)->profile.name, "After");
  }
}

// A dotfiles checkout or a sync tool takes a linked profile's file or folder away for a while, or
// puts a new folder in place of its folder: the link is a problem meanwhile, and once the file is
// back it is read, and so is every later edit.
TEST_F(ProfileStoreTest, ALinkedProfileIsWatchedAgainWhenItsTargetComesBack) {
  const auto renameAway = [](const fs::path& folder) {
    fs::rename(folder, folder.string() + ".old");
    fs::create_directories(folder);
  };
  const struct {
    const char* name;
    std::function<void(const fs::path& folder)> takeAway;  // the target's folder
    bool away;  // missing for a second; else it comes back at once
  } cases[] = {
      {"file away", [](const fs::path& folder) { fs::remove(folder / "deck.json"); }, true},
      {"folder away", [](const fs::path& folder) { fs::remove_all(folder); }, true},
      {"folder renamed away, an empty one in its place", renameAway, true},
      {"folder replaced", renameAway, false},
  };
  start();
  int turn = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string id = "com.user.linked" + std::to_string(turn);
    const fs::path folder = fs::path(dir.path()) / "dotfiles" / std::to_string(turn) / "deck";
    const fs::path link = user / ("linked" + std::to_string(turn++) + ".json");
    put(folder / "deck.json", {id, "Before"});
    fs::create_symlink(folder / "deck.json", link);
    settle();
    advance(ProfileStore::reloadDelay);
    ASSERT_EQ(store->profile(id)->profile.name, "Before");
    c.takeAway(folder);
    if (c.away) {
      settle();
      testing::runFor(loop, *clock, 2s);
      EXPECT_FALSE(store->profile(id));
      const auto target = fs::weakly_canonical(folder / "deck.json").string();
      EXPECT_EQ(logged(link.filename().string() + ": Links to " + target + ", which is missing"),
                1u);
    }
    for (const char* name : {"Back", "Edited"}) {
      put(folder / "deck.json", {id, name});
      settle();
      advance(ProfileStore::reloadDelay);
      EXPECT_EQ(nameOf(id), name);
    }
  }
}

// The profiles folder is a link into a dotfiles folder that a checkout brings only later.
TEST_F(ProfileStoreTest, ALinkedProfilesFolderIsReadWhenItsTargetComes) {
  const fs::path target = fs::path(dir.path()) / "dotfiles/Profiles";
  fs::create_directories(user.parent_path());
  fs::create_symlink(target, user);
  start();
  EXPECT_THAT(deckErrors(),
              ::testing::ElementsAre("Can't watch " + user.string() + ": links to " +
                                     fs::weakly_canonical(target).string() + ", which is missing"));
  put(target / "deck.json", {"com.user.deck", "Checked out"});
  for (auto waited = 0ms; nameOf("com.user.deck") == "(none)" && waited < 1s; waited += 100ms) {
    settle();
    advance(100ms);
  }
  EXPECT_EQ(nameOf("com.user.deck"), "Checked out");
  // From then on the folder itself is watched.
  testing::runFor(loop, *clock, 1s);
  put(target / "deck.json", {"com.user.deck", "Edited"});
  settle();
  advance(ProfileStore::reloadDelay);
  EXPECT_EQ(nameOf("com.user.deck"), "Edited");
}

TEST_F(ProfileStoreTest, DeletedUserFolder) {
  put(bundled / "app.json", {"com.app.a", "App"});
  put(user / "user.json", {"com.user.u", "User"});
  writeFile(user / "bad.json", "");
  start();
  ASSERT_EQ(store->profiles.get().size(), 2u);
  fs::remove_all(user);
  settle();
  advance(ProfileStore::reloadDelay);
  EXPECT_THAT(summary(), ::testing::ElementsAre("bundled/unsigned/App"));
  EXPECT_TRUE(store->problems.get().empty());
}

TEST_F(ProfileStoreTest, UnwatchableFolderStillServesTheAppsProfiles) {
  put(bundled / "app.json", {"com.app.a", "App"});
  writeFile(fs::path(dir.path()) / "file", "");
  const fs::path impossible = fs::path(dir.path()) / "file/Profiles";
  store = makeStore(impossible);
  startStore();
  EXPECT_THAT(deckErrors(), ::testing::ElementsAre("Can't watch " + impossible.string()));
  EXPECT_THAT(summary(), ::testing::ElementsAre("bundled/unsigned/App"));
}

class MigrationTest : public ProfileStoreTest {
 protected:
  MigrationTest() { ::setenv("XDG_DATA_HOME", (fs::path(dir.path()) / "data").c_str(), 1); }
  ~MigrationTest() override { ::unsetenv("XDG_DATA_HOME"); }
  fs::path former = fs::path(dir.path()) / "data/Velvane/Profiles";
};

TEST_F(MigrationTest, FormerFolderMovesOnce) {
  ASSERT_EQ(defaultUserProfilesFolder(), user);
  put(former / "old.json", {"com.user.old", "Old"});
  start();
  EXPECT_TRUE(fs::exists(user / "old.json"));
  EXPECT_FALSE(fs::exists(former.parent_path()));
  EXPECT_THAT(summary(), ::testing::ElementsAre("imported/unsigned/Old"));
}

TEST_F(MigrationTest, FormerParentWithOtherFilesIsKept) {
  writeFile(former / "old.json", "{}");
  writeFile(former.parent_path() / "settings.plist", "keep me");
  start();
  EXPECT_TRUE(fs::exists(user / "old.json"));
  EXPECT_TRUE(fs::exists(former.parent_path() / "settings.plist"));
  EXPECT_THAT(log.messages("deck", LogLevel::info),
              ::testing::ElementsAre("Left " + former.parent_path().string() +
                                     " in place: it still holds other files"));
}

// A user folder that already exists, or one that is not the default, takes nothing over.
TEST_F(MigrationTest, FormerFolderIsLeftAloneWhereItWouldOverwriteOrIsNotAsked) {
  writeFile(former / "old.json", "{}");
  store = makeStore(fs::path(dir.path()) / "elsewhere");
  startStore();
  EXPECT_TRUE(fs::exists(former / "old.json"));
  writeFile(user / "new.json", "{}");
  start();
  EXPECT_TRUE(fs::exists(former / "old.json"));
  EXPECT_FALSE(fs::exists(user / "old.json"));
  EXPECT_TRUE(log.messages("deck", LogLevel::info).empty());
}

}  // namespace
}  // namespace brindlet::profiles
