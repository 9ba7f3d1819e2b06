#include "streaming/FakeDisplayBackend.h"

namespace brindlet::streaming {

using boost::asio::awaitable;

class FakeDisplayBackend::Handle : public DisplayHandle {
 public:
  Handle(std::shared_ptr<Displays> displays, std::uint32_t id)
      : displays_(std::move(displays)), id_(id) {}
  ~Handle() override {
    displays_->calls.push_back("remove " + std::to_string(id_));
    auto found = displays_->active.find(id_);
    if (found == displays_->active.end()) return;
    if (found->second.goneIn == 0) {
      displays_->active.erase(found);
    } else {
      found->second.released = true;
    }
  }
  std::uint32_t id() const override { return id_; }

 private:
  std::shared_ptr<Displays> displays_;
  std::uint32_t id_;
};

FakeDisplayBackend::FakeDisplayBackend() : displays_(std::make_shared<Displays>()) {}

awaitable<VirtualDisplayAvailability> FakeDisplayBackend::probe() {
  co_return availability;
}

awaitable<std::unique_ptr<DisplayHandle>> FakeDisplayBackend::create(VirtualDisplayConfig config) {
  displays_->calls.push_back("create " + config.name);
  if (createFailure) throw *createFailure;
  const std::uint32_t id = reuseIds ? 1 : ++lastId_;
  Display display{config, pollsUntilReady, pollsUntilGone, false, std::nullopt};
  if (hasCurrentMode) display.mode = DisplayMode{0, config.pointWidth, config.pointHeight};
  displays_->active[id] = display;
  co_return std::make_unique<Handle>(displays_, id);
}

awaitable<std::vector<std::uint32_t>> FakeDisplayBackend::activeDisplayIds() {
  std::vector<std::uint32_t> ids;
  for (auto it = displays_->active.begin(); it != displays_->active.end();) {
    auto& display = it->second;
    if (display.released && display.goneIn > 0) --display.goneIn;
    if (display.released && display.goneIn == 0) {
      it = displays_->active.erase(it);
      continue;
    }
    ids.push_back(it->first);
    ++it;
  }
  co_return ids;
}

awaitable<bool> FakeDisplayBackend::isReady(std::uint32_t id) {
  auto found = displays_->active.find(id);
  if (found == displays_->active.end()) co_return false;
  auto& display = found->second;
  if (display.readyIn > 0) --display.readyIn;
  co_return display.readyIn == 0;
}

awaitable<std::optional<DisplayMode>> FakeDisplayBackend::currentMode(std::uint32_t id) {
  auto found = displays_->active.find(id);
  if (found == displays_->active.end()) co_return std::nullopt;
  co_return found->second.mode;
}

awaitable<std::vector<DisplayMode>> FakeDisplayBackend::modes(std::uint32_t id) {
  auto found = displays_->active.find(id);
  if (found == displays_->active.end()) co_return std::vector<DisplayMode>{};
  if (!offeredModes.empty()) co_return offeredModes;
  const auto& config = found->second.config;
  co_return std::vector<DisplayMode>{
      {1, config.pointWidth, config.pointHeight},
      {2, config.pointWidth * config.scale, config.pointHeight * config.scale}};
}

awaitable<int> FakeDisplayBackend::setMode(std::uint32_t id, DisplayMode mode) {
  displays_->calls.push_back("setMode " + std::to_string(id) + " " +
                             std::to_string(mode.pixelWidth) + "×" +
                             std::to_string(mode.pixelHeight));
  if (setModeResult == 0) displays_->active[id].mode = mode;
  co_return setModeResult;
}

void FakeDisplayBackend::onTermination(TerminationHandler handler) {
  terminated_ = std::move(handler);
}

void FakeDisplayBackend::terminate(std::uint32_t id) {
  displays_->active.erase(id);
  if (terminated_) terminated_(id);
}

const std::vector<std::string>& FakeDisplayBackend::calls() const {
  return displays_->calls;
}

void FakeSleepWakeSource::setHandlers(std::function<void()> willSleep,
                                      std::function<void()> didWake) {
  willSleep_ = std::move(willSleep);
  didWake_ = std::move(didWake);
}

void FakeSleepWakeSource::sleep() {
  if (willSleep_) willSleep_();
}

void FakeSleepWakeSource::wake() {
  if (didWake_) didWake_();
}

}  // namespace brindlet::streaming
