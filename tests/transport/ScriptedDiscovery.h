#pragma once

// A DNS-SD browser whose results the test scripts: it records every browse, hands the test's
// events to the running ones, and notices a browse torn down from inside its own callback.

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "transport/BonjourService.h"

namespace brindlet::transport::testing {

class ScriptedDiscovery : public ServiceDiscovery {
 public:
  struct Browse {
    std::string type;
    std::function<void(BrowseEvent)> onEvent;
    bool running = true;
  };

  std::unique_ptr<DiscoveryHandle> browse(const std::string& type,
                                          std::function<void(BrowseEvent)> onEvent) override {
    auto record = std::make_shared<Browse>(Browse{type, std::move(onEvent)});
    {
      std::lock_guard lock(mutex_);
      browses_.push_back(record);
      if (refusal_) {
        record->running = false;
        throw std::runtime_error(*refusal_);
      }
    }
    return std::make_unique<Handle>(this, record);
  }

  std::unique_ptr<DiscoveryHandle> advertise(const ServiceAdvertisement&,
                                             std::function<void(AdvertiseEvent)>) override {
    return std::make_unique<DiscoveryHandle>();
  }

  // Hands the event to every running browse, as the implementation's thread would.
  void emit(const BrowseEvent& event) {
    std::vector<std::shared_ptr<Browse>> running;
    {
      std::lock_guard lock(mutex_);
      for (auto& b : browses_)
        if (b->running) running.push_back(b);
    }
    for (auto& b : running) {
      inCallback_ = true;
      b->onEvent(event);
      inCallback_ = false;
    }
  }
  void show(std::vector<BonjourService> services) {
    emit({BrowseEvent::Kind::snapshot, std::move(services), {}});
  }
  void fail(std::string error) { emit({BrowseEvent::Kind::failed, {}, std::move(error)}); }
  // From now on a browse cannot start (as with no descriptors for a poll thread): it throws
  // `error`, and is recorded all the same; none: browses start again.
  void refuse(std::optional<std::string> error) {
    std::lock_guard lock(mutex_);
    refusal_ = std::move(error);
  }

  std::size_t browseCount() const {
    std::lock_guard lock(mutex_);
    return browses_.size();
  }
  std::size_t runningCount() const {
    std::lock_guard lock(mutex_);
    std::size_t n = 0;
    for (auto& b : browses_) n += b->running ? 1 : 0;
    return n;
  }
  std::string lastType() const {
    std::lock_guard lock(mutex_);
    return browses_.empty() ? std::string() : browses_.back()->type;
  }
  bool tornDownInCallback() const { return tornDownInCallback_; }

 private:
  struct Handle : DiscoveryHandle {
    Handle(ScriptedDiscovery* owner, std::shared_ptr<Browse> record)
        : owner(owner), record(std::move(record)) {}
    ~Handle() override {
      if (owner->inCallback_) owner->tornDownInCallback_ = true;
      std::lock_guard lock(owner->mutex_);
      record->running = false;
    }
    ScriptedDiscovery* owner;
    std::shared_ptr<Browse> record;
  };

  mutable std::mutex mutex_;
  std::vector<std::shared_ptr<Browse>> browses_;
  std::optional<std::string> refusal_;
  std::atomic<bool> inCallback_{false};
  std::atomic<bool> tornDownInCallback_{false};
};

}  // namespace brindlet::transport::testing
