#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <boost/asio/awaitable.hpp>

#include "profiles/SigningKeyStore.h"
#include "profiles/StoredProfile.h"
#include "runtime/Clock.h"
#include "runtime/Observable.h"

namespace brindlet::runtime {
class FolderWatch;
class MainLoop;
}  // namespace brindlet::runtime

namespace brindlet::profiles {

// The app's live collection of deck profiles: every profile file of the app's own folder
// (bundled) and of the user's folder, loaded strictly, its signature checked, tagged with its
// origin and kept sorted; files that fail are kept as problems beside them, each logged when it
// comes or changes. It re-reads both folders 0.3 s after the user's folder last changed, or a
// folder holding a file that a link in it leads to (profiles kept elsewhere, in a dotfiles folder,
// and linked in). A link whose target is away for a while (a checkout, a sync tool replacing the
// file or its folder) is a problem until the target comes back, and is watched again from then;
// so is a user's folder that is itself a link to a folder still missing. Lives on the main loop and
// is touched only from it; the files and the signing key are read on the blocking workers. Made
// with std::make_shared, since a pending reload holds it weakly.
class ProfileStore final : public ProfileProviding,
                           public std::enable_shared_from_this<ProfileStore> {
 public:
  using Problems = std::map<std::string, std::string>;  // file path → message
  // What one reading of both folders found.
  struct Loaded {
    std::vector<StoredProfile> profiles;
    Problems problems;
    // Where the user folder's links lead: each folder holding (or to hold) a link's target, with
    // its files' writes watched (true); for a target whose folder is missing, the nearest folder
    // above it that exists, with its entries only (false), until the missing part comes back.
    // A user's folder that links to a missing folder has that folder's entries watched the same.
    std::map<std::filesystem::path, bool> linkedFolders;
  };

  // How long the user's folder must stay quiet before it is read again.
  static constexpr runtime::Duration reloadDelay = std::chrono::milliseconds(300);
  // Larger files are not read: a profile is a few kilobytes, and reading must never hang on or
  // exhaust memory for whatever lands in the folder.
  static constexpr std::size_t maxFileSize = 1 << 20;

  // Touches no file and no secret.
  ProfileStore(runtime::MainLoop& loop, std::filesystem::path userFolder,
               std::optional<std::filesystem::path> bundledFolder,
               std::shared_ptr<SigningKeyStore> keys, std::shared_ptr<runtime::Clock> clock);
  ~ProfileStore() override;

  // Once, at launch, on the loop: moves the former folder (only for the default user folder),
  // creates the user folder, starts watching it (or says why it can't) and loads.
  boost::asio::awaitable<void> start();
  // Reads both folders again on the blocking worker and replaces `profiles` and `problems` whole
  // on the loop. Never fails; a load begun later wins over one that ends later.
  boost::asio::awaitable<void> load();
  // Restarts the quiet period; the reload runs when it ends.
  void scheduleReload();

  std::optional<StoredProfile> profile(std::string_view bundleID,
                                       const std::optional<std::string>& windowTitle) override;
  std::optional<StoredProfile> profile(std::string_view id) override;

  // Sorted by origin word, then name; written only by a reload.
  runtime::Observable<std::vector<StoredProfile>> profiles;
  runtime::Observable<Problems> problems;

  const std::filesystem::path& userFolder() const { return userFolder_; }

  // The profile files of a folder: its entries whose extension is "json" in any letter case,
  // hidden ones included, sorted by name; nothing when it cannot be listed.
  static std::vector<std::filesystem::path> jsonFiles(const std::filesystem::path& folder);

 private:
  struct Pending;
  void watchUserFolderLate();
  std::unique_ptr<runtime::FolderWatch> watchFolder(const std::filesystem::path& folder,
                                                    bool contents);
  void watchLinkedFolders(const std::map<std::filesystem::path, bool>& folders);
  void apply(Loaded loaded);
  void logNew(const Problems& found) const;

  runtime::MainLoop& loop_;
  std::filesystem::path userFolder_;
  std::optional<std::filesystem::path> bundledFolder_;
  std::shared_ptr<SigningKeyStore> keys_;
  std::shared_ptr<runtime::Clock> clock_;
  bool started_ = false;  // watching, from start() on
  std::unique_ptr<runtime::FolderWatch> watcher_;
  struct LinkedWatch {
    std::unique_ptr<runtime::FolderWatch> watch;
    bool contents = false;
  };
  std::map<std::filesystem::path, LinkedWatch> linkedWatchers_;
  std::unique_ptr<Pending> pending_;  // the debounced reload task
  std::uint64_t loads_ = 0;           // loads begun, so that only the latest one is applied
};

// Moves `former` to `target` when the first exists and the second does not, then removes
// former's parent folder if that is left empty. Logs what it could not do.
void migrateFormerFolder(const std::filesystem::path& former, const std::filesystem::path& target);

}  // namespace brindlet::profiles
