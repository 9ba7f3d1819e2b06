#include "profiles/ProfileStore.h"

#include <algorithm>
#include <boost/asio/io_context.hpp>

#include "profiles/ProfileError.h"
#include "profiles/ProfileFolders.h"
#include "runtime/Blocking.h"
#include "runtime/Files.h"
#include "runtime/FolderWatch.h"
#include "runtime/Log.h"
#include "runtime/MainLoop.h"
#include "runtime/Task.h"
#include "runtime/Unicode.h"

namespace brindlet::profiles {
namespace {

namespace fs = std::filesystem;

const runtime::Logger& deckLog() {
  return runtime::Logger::of("deck");
}

// Plain string order: code points after canonical normalisation, case-sensitive.
bool textBefore(std::string_view a, std::string_view b) {
  return runtime::normalizedNFC(a) < runtime::normalizedNFC(b);
}

// A file's bytes, or why they were not read.
struct FileRead {
  std::string bytes;
  std::optional<std::string> problem;
};

FileRead failedRead(std::string problem) {
  return {{}, std::move(problem)};
}

// Only regular files of at most `limit` bytes are read; a named pipe is refused at once.
FileRead readProfileFile(const fs::path& file, std::size_t limit) {
  try {
    return {runtime::readFile(file, limit), std::nullopt};
  } catch (const runtime::FileError& e) {
    if (e.kind() != runtime::FileError::Case::tooLarge) return failedRead(e.reason());
    return failedRead("File too large; profiles hold at most " + std::to_string(limit) + " bytes");
  }
}

StoredProfile::Verification verificationOf(const Profile& profile) {
  try {
    profile.verifySignature();
    return StoredProfile::Verification::verified;
  } catch (const ProfileError& e) {
    return e.as<ProfileError::Unsigned>() ? StoredProfile::Verification::unsigned_
                                          : StoredProfile::Verification::unverified;
  }
}

bool hasApp(const Profile& profile, std::string_view app) {
  return std::find(profile.apps.begin(), profile.apps.end(), app) != profile.apps.end();
}

// Where a link in the user's folder ends, followed link by link as the system does, and also
// when what it leads to is missing (a dotfiles checkout in progress).
struct LinkEnd {
  fs::path target;
  bool missing = false;
};

std::optional<LinkEnd> linkEndOf(const fs::path& file) {
  constexpr int maxHops = 40;  // the system's own limit
  std::error_code error;
  if (!fs::is_symlink(file, error)) return std::nullopt;
  fs::path target = file;
  for (int hop = 0; hop < maxHops && fs::is_symlink(target, error); ++hop) {
    const fs::path next = fs::read_symlink(target, error);
    if (error) break;
    // Resolves what exists of the path; a missing rest is kept as it is written. A path that
    // can't be resolved at all (a loop of links, a folder that can't be searched) is not a
    // missing one: the reading tells why, and the hop's own folder is where a mend would come.
    const fs::path written = target.parent_path() / next;
    target = fs::weakly_canonical(written, error);
    if (error) return LinkEnd{written, false};
  }
  const bool missing = !fs::exists(target, error) && !error;
  return LinkEnd{target, missing};
}

// What follows "Can't watch <folder>" when the folder is a link whose end is missing (a dotfiles
// checkout still to come); nothing when that is not why.
std::string whyUnwatchable(const fs::path& folder) {
  const auto end = linkEndOf(folder);
  if (!end || !end->missing) return {};
  return ": links to " + end->target.string() + ", which is missing";
}

// The folder to watch for a link: its target's, where an edit changes the profile as much as
// one in the user's folder does (with `contents`); while that folder is missing, the nearest one
// above it that exists, where it will come back.
void watchLinkEnd(const LinkEnd& end, const fs::path& own, ProfileStore::Loaded& into,
                  bool contents = true) {
  std::error_code error;
  fs::path folder = end.target.parent_path();
  while (!fs::is_directory(folder, error) && folder.has_relative_path()) {
    folder = folder.parent_path();
    contents = false;
  }
  if (folder.empty() || folder == own) return;
  into.linkedFolders[folder] |= contents;
}

void readFolder(const fs::path& folder, bool bundled, const std::optional<std::string>& ownKey,
                ProfileStore::Loaded& into) {
  auto& loaded = into.profiles;
  auto& failed = into.problems;
  std::error_code error;
  const fs::path own = fs::weakly_canonical(folder, error);
  // A user's folder that links to a missing one is read once that one comes.
  const auto ownEnd = bundled ? std::nullopt : linkEndOf(folder);
  if (ownEnd && ownEnd->missing) watchLinkEnd(*ownEnd, own, into, false);
  for (const auto& file : ProfileStore::jsonFiles(folder)) {
    const auto end = bundled ? std::nullopt : linkEndOf(file);
    if (end) watchLinkEnd(*end, own, into);
    if (end && end->missing) {
      failed[file.string()] = "Links to " + end->target.string() + ", which is missing";
      continue;
    }
    const FileRead read = readProfileFile(file, ProfileStore::maxFileSize);
    if (read.problem) {
      failed[file.string()] = *read.problem;
      continue;
    }
    try {
      StoredProfile stored{.profile = Profile::load(read.bytes), .url = file.string()};
      stored.verification = verificationOf(stored.profile);
      const bool ownSignature = stored.verification == StoredProfile::Verification::verified &&
                                ownKey && stored.profile.author->key == *ownKey;
      stored.origin = bundled        ? StoredProfile::Origin::bundled
                      : ownSignature ? StoredProfile::Origin::mine
                                     : StoredProfile::Origin::imported;
      loaded.push_back(std::move(stored));
    } catch (const ProfileError& e) {
      failed[file.string()] = e.description();
    }
  }
}

// This computer's own key, by which the user's own profiles are told; none when the secret store
// has none to give.
boost::asio::awaitable<std::optional<std::string>> ownKeyOf(std::shared_ptr<SigningKeyStore> keys) {
  std::optional<std::string> own;
  try {
    const SigningKey key = co_await keys->signingKey();
    own = key.publicKeyBase64();
  } catch (const std::exception&) {
    // Every user profile counts as imported.
  }
  co_return own;
}

// Both folders' profiles in the store's order, and the files that failed.
ProfileStore::Loaded readAll(const fs::path& user, const std::optional<fs::path>& bundled,
                             const std::optional<std::string>& ownKey) {
  ProfileStore::Loaded loaded;
  if (bundled) readFolder(*bundled, true, ownKey, loaded);
  readFolder(user, false, ownKey, loaded);
  std::stable_sort(loaded.profiles.begin(), loaded.profiles.end(),
                   [](const auto& a, const auto& b) {
                     if (a.origin != b.origin) return wordOf(a.origin) < wordOf(b.origin);
                     return textBefore(a.profile.name, b.profile.name);
                   });
  return loaded;
}

}  // namespace

std::string StoredProfile::id() const {
  return std::string(wordOf(origin)) + ":" + profile.id;
}

struct ProfileStore::Pending {
  runtime::TaskHandle task;
  std::shared_ptr<bool> cancelled = std::make_shared<bool>(false);
};

ProfileStore::ProfileStore(runtime::MainLoop& loop, fs::path userFolder,
                           std::optional<fs::path> bundledFolder,
                           std::shared_ptr<SigningKeyStore> keys,
                           std::shared_ptr<runtime::Clock> clock)
    : loop_(loop),
      userFolder_(std::move(userFolder)),
      bundledFolder_(std::move(bundledFolder)),
      keys_(std::move(keys)),
      clock_(std::move(clock)) {}

ProfileStore::~ProfileStore() {
  if (pending_) {
    *pending_->cancelled = true;
    pending_->task.cancel();
  }
}

boost::asio::awaitable<void> ProfileStore::start() {
  const auto self = shared_from_this();
  auto prepare = [user = userFolder_] {
    if (user == defaultUserProfilesFolder()) migrateFormerFolder(formerUserProfilesFolder(), user);
    std::error_code ignored;
    fs::create_directories(user, ignored);
    return whyUnwatchable(user);
  };
  const std::string why = co_await runtime::offloadBlocking(std::move(prepare));
  // Watched before the first read, so that no change made meanwhile goes unseen.
  started_ = true;
  watcher_ = watchFolder(userFolder_, true);
  if (!watcher_) deckLog().error("Can't watch %s%s", userFolder_.c_str(), why.c_str());
  co_await load();
}

// A user's folder that could not be watched at launch (a link to a folder that came later) is
// watched once it can be; what changed before the watch is read once more.
void ProfileStore::watchUserFolderLate() {
  if (watcher_) return;
  watcher_ = watchFolder(userFolder_, true);
  if (watcher_) scheduleReload();
}

// With `contents`, also a file written in place: editors that save in place only write and
// close the file.
std::unique_ptr<runtime::FolderWatch> ProfileStore::watchFolder(const fs::path& folder,
                                                                bool contents) {
  return runtime::FolderWatch::open(
      loop_.context(), folder,
      [weak = weak_from_this()] {
        if (auto self = weak.lock()) self->scheduleReload();
      },
      contents);
}

// Kept to the folders the latest reading found, so that a link removed or pointed elsewhere
// leaves no watch behind. A watch whose folder was removed or replaced sees nothing at its path
// any more, and one that could not be made is worth another try: both are made again. What
// changed between the reading and a new watch is read once more.
void ProfileStore::watchLinkedFolders(const std::map<fs::path, bool>& folders) {
  std::erase_if(linkedWatchers_, [&](const auto& entry) {
    const auto& [folder, watched] = entry;
    const auto wanted = folders.find(folder);
    return !watched.watch || watched.watch->gone() || wanted == folders.end() ||
           wanted->second != watched.contents;
  });
  bool added = false;
  for (const auto& [folder, contents] : folders) {
    if (linkedWatchers_.contains(folder)) continue;
    auto watch = watchFolder(folder, contents);
    added = added || watch != nullptr;
    linkedWatchers_[folder] = LinkedWatch{std::move(watch), contents};
  }
  if (added) scheduleReload();
}

void ProfileStore::scheduleReload() {
  if (pending_) {
    *pending_->cancelled = true;
    pending_->task.cancel();
  }
  pending_ = std::make_unique<Pending>();
  auto task = [](std::weak_ptr<ProfileStore> weak, std::shared_ptr<runtime::Clock> clock,
                 std::shared_ptr<bool> cancelled) -> boost::asio::awaitable<void> {
    co_await clock->sleep(reloadDelay);
    if (*cancelled) co_return;
    if (auto self = weak.lock()) co_await self->load();
  };
  pending_->task = runtime::spawn(loop_.context().get_executor(),
                                  task(weak_from_this(), clock_, pending_->cancelled));
}

std::vector<fs::path> ProfileStore::jsonFiles(const fs::path& folder) {
  std::vector<fs::path> files;
  std::error_code error;
  fs::directory_iterator it(folder, error);
  if (error) return files;
  for (const fs::directory_iterator end; it != end; it.increment(error)) {
    if (error) break;
    if (runtime::lowercased(it->path().extension().string()) == ".json")
      files.push_back(it->path());
  }
  std::stable_sort(files.begin(), files.end(), [](const fs::path& a, const fs::path& b) {
    return textBefore(a.filename().string(), b.filename().string());
  });
  return files;
}

boost::asio::awaitable<void> ProfileStore::load() {
  const auto self = shared_from_this();
  const auto turn = ++loads_;
  auto ownKey = co_await ownKeyOf(keys_);
  auto read = [user = userFolder_, bundled = bundledFolder_, ownKey] {
    return readAll(user, bundled, ownKey);
  };
  auto loaded = co_await runtime::offloadBlocking(std::move(read));
  // A later load began meanwhile: what it reads is newer.
  if (turn == loads_) apply(std::move(loaded));
}

void ProfileStore::apply(Loaded loaded) {
  if (started_) {
    watchUserFolderLate();
    watchLinkedFolders(loaded.linkedFolders);
  }
  logNew(loaded.problems);
  profiles.set(std::move(loaded.profiles));
  problems.set(std::move(loaded.problems));
}

// A problem is told when it comes or changes: a reload that finds it again (another file
// changed, a watch made again) says nothing new.
void ProfileStore::logNew(const Problems& found) const {
  const Problems known = problems.get();
  for (const auto& [file, message] : found) {
    const auto was = known.find(file);
    if (was == known.end() || was->second != message)
      deckLog().error("%s: %s", fs::path(file).filename().c_str(), message.c_str());
  }
}

std::optional<StoredProfile> ProfileStore::profile(std::string_view bundleID,
                                                   const std::optional<std::string>& windowTitle) {
  auto ordered = profiles.get();
  // Title rules first, then the user's profiles before the app's; otherwise the stored order.
  const auto rank = [](const StoredProfile& p) {
    return (p.profile.windowTitleContains ? 0 : 2) +
           (p.origin == StoredProfile::Origin::bundled ? 1 : 0);
  };
  std::stable_sort(ordered.begin(), ordered.end(),
                   [&](const auto& a, const auto& b) { return rank(a) < rank(b); });
  for (const auto& p : ordered)
    if (p.profile.matches(bundleID, windowTitle)) return p;
  for (const auto& p : ordered)
    if (hasApp(p.profile, Profile::anyApp)) return p;
  return std::nullopt;
}

std::optional<StoredProfile> ProfileStore::profile(std::string_view id) {
  const auto all = profiles.get();
  const StoredProfile* appCopy = nullptr;
  for (const auto& p : all) {
    if (p.profile.id != id) continue;
    if (p.origin != StoredProfile::Origin::bundled) return p;
    if (!appCopy) appCopy = &p;
  }
  if (appCopy) return *appCopy;
  return std::nullopt;
}

void migrateFormerFolder(const fs::path& former, const fs::path& target) {
  std::error_code error;
  if (!fs::exists(fs::symlink_status(former, error))) return;
  if (fs::exists(fs::symlink_status(target, error))) return;
  fs::create_directories(target.parent_path(), error);
  if (!error) fs::rename(former, target, error);
  if (error) {
    deckLog().error("Couldn't move profiles from Velvane: %s", error.message().c_str());
    return;
  }
  // The former parent goes only when nothing else was kept in it.
  const fs::path parent = former.parent_path();
  if (!fs::remove(parent, error) && error)
    deckLog().info("Left %s in place: it still holds other files", parent.c_str());
}

}  // namespace brindlet::profiles
