#include "transport/BonjourBrowser.h"

#include <mutex>

#include <boost/asio/post.hpp>

#include "transport/DeckTransport.h"

namespace brindlet::transport {
namespace {

constexpr const char* worksAgain = "Bonjour browse works again";

// Owns the running browse. The handle may not be destroyed inside its own callback (which is
// where a failure ends the stream), so it is always let go of on the consumer's executor.
class BrowseOwner {
 public:
  explicit BrowseOwner(boost::asio::any_io_executor executor) : executor_(std::move(executor)) {}
  ~BrowseOwner() { release(std::move(handle_)); }

  // Keeps the handle unless the stream already ended while the browse was being started.
  void adopt(std::unique_ptr<DiscoveryHandle> handle) {
    {
      std::lock_guard lock(mutex_);
      if (!ended_) {
        handle_ = std::move(handle);
        return;
      }
    }
    release(std::move(handle));
  }

  void end() {
    std::unique_ptr<DiscoveryHandle> handle;
    {
      std::lock_guard lock(mutex_);
      ended_ = true;
      handle = std::move(handle_);
    }
    release(std::move(handle));
  }

 private:
  void release(std::unique_ptr<DiscoveryHandle> handle) {
    if (!handle) return;
    std::shared_ptr<DiscoveryHandle> shared(std::move(handle));
    boost::asio::post(executor_, [shared = std::move(shared)]() mutable { shared.reset(); });
  }

  boost::asio::any_io_executor executor_;
  std::mutex mutex_;
  bool ended_ = false;
  std::unique_ptr<DiscoveryHandle> handle_;
};

}  // namespace

namespace BonjourBrowser {

std::shared_ptr<BonjourSnapshots> browse(ServiceDiscovery& discovery, const std::string& type,
                                         const boost::asio::any_io_executor& executor,
                                         std::shared_ptr<runtime::FailureStreak> failures) {
  if (!failures) failures = std::make_shared<runtime::FailureStreak>(transportLog());
  auto snapshots = BonjourSnapshots::make();
  auto owner = std::make_shared<BrowseOwner>(executor);
  snapshots->onTermination([owner] { owner->end(); });
  // The callback holds the stream weakly: a dropped stream ends the browse with the owner.
  std::weak_ptr<BonjourSnapshots> weak = snapshots;
  auto onEvent = [weak, failures](BrowseEvent event) {
    auto stream = weak.lock();
    if (!stream) return;
    switch (event.kind) {
      case BrowseEvent::Kind::snapshot:
        failures->worked(worksAgain);
        sortByName(event.services);
        stream->push(std::move(event.services));
        break;
      case BrowseEvent::Kind::running:
        failures->worked(worksAgain);
        break;
      case BrowseEvent::Kind::waiting:
        failures->failed("Bonjour browse waiting: " + event.error);
        break;
      case BrowseEvent::Kind::failed:
        failures->failed("Bonjour browse failed: " + event.error);
        stream->finish();
        break;
    }
  };
  try {
    owner->adopt(discovery.browse(type, std::move(onEvent)));
  } catch (const std::exception& e) {
    // A browse that cannot even start (no descriptors for its poll thread) fails as one that
    // stopped does: whoever browses again after a failure does so after this one too.
    failures->failed(std::string("Bonjour browse failed: ") + e.what());
    snapshots->finish();
  }
  return snapshots;
}

}  // namespace BonjourBrowser
}  // namespace brindlet::transport
