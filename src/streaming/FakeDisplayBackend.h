#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "streaming/DisplayBackend.h"
#include "streaming/DisplayError.h"
#include "streaming/SleepWakeSource.h"

namespace brindlet::streaming {

// A backend for tests: displays that come up and go away after a scripted number of polls, and
// a record of what was asked of it ("create Phone", "remove 1", "setMode 1 1178×2556").
class FakeDisplayBackend : public DisplayBackend {
 public:
  VirtualDisplayAvailability availability = VirtualDisplayAvailability::available();
  std::optional<DisplayError> createFailure;
  bool reuseIds = false;       // every display gets id 1, as a reused output would
  int pollsUntilReady = 0;     // readiness polls answering "not yet" (-1: never ready)
  int pollsUntilGone = 0;      // active-list polls still listing a removed display (-1: forever)
  bool hasCurrentMode = true;  // a new display runs at its points, one pixel each
  std::vector<DisplayMode> offeredModes;  // empty: the display's own pixel size only
  int setModeResult = 0;

  FakeDisplayBackend();

  boost::asio::awaitable<VirtualDisplayAvailability> probe() override;
  boost::asio::awaitable<std::unique_ptr<DisplayHandle>> create(
      VirtualDisplayConfig config) override;
  boost::asio::awaitable<std::vector<std::uint32_t>> activeDisplayIds() override;
  boost::asio::awaitable<bool> isReady(std::uint32_t id) override;
  boost::asio::awaitable<std::optional<DisplayMode>> currentMode(std::uint32_t id) override;
  boost::asio::awaitable<std::vector<DisplayMode>> modes(std::uint32_t id) override;
  boost::asio::awaitable<int> setMode(std::uint32_t id, DisplayMode mode) override;
  void onTermination(TerminationHandler handler) override;

  // Switches a display off as another program would and reports it.
  void terminate(std::uint32_t id);
  const std::vector<std::string>& calls() const;

 private:
  struct Display {
    VirtualDisplayConfig config;
    int readyIn = 0;
    int goneIn = 0;
    bool released = false;
    std::optional<DisplayMode> mode;
  };
  struct Displays {
    std::map<std::uint32_t, Display> active;
    std::vector<std::string> calls;
  };
  class Handle;

  std::shared_ptr<Displays> displays_;
  std::uint32_t lastId_ = 0;
  TerminationHandler terminated_;
};

// A sleep and wake source the test drives.
class FakeSleepWakeSource : public SleepWakeSource {
 public:
  void setHandlers(std::function<void()> willSleep, std::function<void()> didWake) override;
  void sleep();
  void wake();

 private:
  std::function<void()> willSleep_;
  std::function<void()> didWake_;
};

}  // namespace brindlet::streaming
