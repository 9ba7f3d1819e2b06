#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>

#include "runtime/Clock.h"
#include "streaming/DisplayBackend.h"
#include "streaming/SleepWakeSource.h"
#include "streaming/VirtualDisplay.h"

namespace brindlet::streaming {

// Gives the computer one extra display of a requested size, keeps it across sleep and removes
// it again. Lives on the main loop. Attaches, detaches and wake-time re-creations run one at a
// time in the order they arrive, in a task of the manager's own: a caller that is cancelled
// stops waiting, the operation still finishes. Waits for the backend poll every 10 ms, at most
// 2 s for a display to come up and 1 s for it to go.
class VirtualDisplayManager : public DisplayManaging {
 public:
  // Asks the backend; an unavailable answer is logged.
  static boost::asio::awaitable<VirtualDisplayAvailability> probe(DisplayBackend& backend);

  VirtualDisplayManager(boost::asio::any_io_executor loop, VirtualDisplayAvailability availability,
                        std::shared_ptr<DisplayBackend> backend,
                        std::shared_ptr<SleepWakeSource> sleepWake,
                        std::shared_ptr<runtime::Clock> clock = runtime::Clock::system());
  // Stops the operations; the display, if any, goes with the manager.
  ~VirtualDisplayManager() override;
  VirtualDisplayManager(const VirtualDisplayManager&) = delete;
  VirtualDisplayManager& operator=(const VirtualDisplayManager&) = delete;

  const VirtualDisplayAvailability& availability() const;
  std::optional<std::uint32_t> attachedId() const;

  // Runs before a display of the manager's is removed, while it still shows: what lies on it
  // can move off. Not for a display the system switched off itself.
  using RemovingHandler = std::function<boost::asio::awaitable<void>(std::uint32_t id)>;
  void onRemoving(RemovingHandler handler);

  boost::asio::awaitable<std::uint32_t> attach(VirtualDisplayConfig config) override;
  boost::asio::awaitable<void> detach() override;
  void onReplaced(ReplacedHandler handler) override;

 private:
  struct State;
  std::shared_ptr<State> state_;
};

}  // namespace brindlet::streaming
