#pragma once

#include <filesystem>
#include <functional>
#include <memory>

namespace boost::asio {
class io_context;
}

namespace brindlet::runtime {

// Tells the main loop when entries of one folder are added, removed or renamed, or when the
// folder itself is deleted or moved (inotify); with `contents`, also when a file of it was written
// and closed. Changes in sub-folders are not reported. The watch is bound to the folder that was
// opened, not to its path.
class FolderWatch {
 public:
  // Nothing when the folder cannot be watched (missing, not a folder, no permission).
  // `changed` runs on the loop, once per batch of events read together.
  static std::unique_ptr<FolderWatch> open(boost::asio::io_context& loop,
                                           const std::filesystem::path& folder,
                                           std::function<void()> changed, bool contents = false);
  ~FolderWatch();
  // Whether the folder was deleted or moved away (or events were lost, which may have hidden
  // that) since the watch began: what happens at its path from then on goes unseen. Set before
  // `changed` runs for that batch.
  bool gone() const;
  FolderWatch(const FolderWatch&) = delete;
  FolderWatch& operator=(const FolderWatch&) = delete;

 private:
  struct State;
  explicit FolderWatch(std::shared_ptr<State> state);
  std::shared_ptr<State> state_;
};

}  // namespace brindlet::runtime
