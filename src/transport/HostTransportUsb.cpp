// The USB road of the host transport: a usbmuxd Listen kept open while the transport runs, and
// one task per plugged-in phone that tunnels to the phone's plain port through usbmuxd, keeps
// the link registered while it lasts and dials again after every end, until the phone goes.

#include <algorithm>

#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "protocol/Enums.h"
#include "runtime/FailureStreak.h"
#include "transport/HostTransport.h"

namespace brindlet::transport {

namespace asio = boost::asio;

namespace {

// Runs an operation to its end even when the task awaiting it is cancelled meanwhile: an event
// handled halfway, or a hello exchange cut off, would leave links, events and the phone's view
// out of step. The operation looks at its caller's state itself where it must.
template <class T>
asio::awaitable<T> uninterrupted(const asio::any_io_executor& executor,
                                 asio::awaitable<T> operation) {
  return asio::co_spawn(
      executor, std::move(operation),
      asio::bind_cancellation_slot(asio::cancellation_slot(), asio::use_awaitable));
}

}  // namespace

runtime::TaskHandle HostTransport::watchUsb() {
  return runtime::spawn(
      executor_, watchUsbmuxd(weak_from_this(), settings_.usbmux, clock_, strand_, generation_));
}

asio::awaitable<void> HostTransport::watchUsbmuxd(std::weak_ptr<HostTransport> weak,
                                                  USBMuxClient usbmux,
                                                  std::shared_ptr<runtime::Clock> clock,
                                                  asio::any_io_executor strand,
                                                  std::uint64_t generation) {
  // A daemon that is not running fails every Listen: that is logged as an error once.
  auto failures = std::make_shared<runtime::FailureStreak>(transportLog());
  for (;;) {
    std::exception_ptr failure;
    try {
      co_await listenOnce(weak, usbmux, strand, generation, failures);
    } catch (...) {
      failure = std::current_exception();
    }
    auto cancellation = co_await asio::this_coro::cancellation_state;
    if (cancellation.cancelled() != asio::cancellation_type::none) co_return;
    if (failure) failures->failed("usbmuxd: " + runtime::describe(failure));
    // Whether the Listen failed or just ended, the next one opens after a pause; stop() cuts
    // the pause short and ends the loop.
    co_await clock->sleep(usbmuxRestartPause);
  }
}

asio::awaitable<void> HostTransport::listenOnce(std::weak_ptr<HostTransport> weak,
                                                USBMuxClient usbmux, asio::any_io_executor strand,
                                                std::uint64_t generation,
                                                std::shared_ptr<runtime::FailureStreak> failures) {
  auto executor = co_await asio::this_coro::executor;
  auto events = usbmux.events(executor);
  if (co_await events.listening()) {
    failures->worked("usbmuxd: works again");
    // A phone unplugged while no Listen was open is never reported detached: the daemon's list,
    // asked for once this Listen reports every change, tells which devices are gone.
    std::optional<std::vector<USBMuxDevice>> listed;
    try {
      listed = co_await usbmux.devices();
    } catch (const TransportError& e) {
      transportLog().error("usbmuxd: %s", e.text().c_str());
    }
    auto self = weak.lock();
    if (listed && self) {
      auto dropping = self->dropUnlisted(std::move(*listed), generation);
      co_await uninterrupted(strand, std::move(dropping));
    }
  }
  while (auto event = co_await events.next()) {
    // Events that come after the transport is gone are read and dropped.
    auto self = weak.lock();
    if (!self) continue;
    auto handling = self->handle(std::move(*event), generation);
    co_await uninterrupted(strand, std::move(handling));
  }
}

asio::awaitable<void> HostTransport::handle(USBMuxEvent event, std::uint64_t generation) {
  if (generation != generation_) co_return;
  if (const auto* plugged = std::get_if<USBMuxEvent::Attached>(&event.value)) {
    attached(plugged->device);
    co_return;
  }
  co_await detached(std::get<USBMuxEvent::Detached>(event.value).deviceID);
}

void HostTransport::attached(const USBMuxDevice& device) {
  // Devices usbmuxd reaches over the network are not USB links.
  if (device.connectionType != "USB") return;
  const int id = static_cast<int>(device.id);
  if (devices_.count(id)) return;
  transportLog().info("USB device %ld attached (%s)", long(device.id), device.serial.c_str());
  auto task = std::make_shared<runtime::TaskHandle>();
  *task = runtime::spawn(strand_, dialUSB(weak_from_this(), Route::usb(id, device.serial), task,
                                          clock_, settings_.retryInterval));
  devices_[id] = *task;
}

asio::awaitable<void> HostTransport::detached(std::int64_t deviceID) {
  transportLog().info("USB device %ld detached", long(deviceID));
  const int id = static_cast<int>(deviceID);
  if (auto found = devices_.find(id); found != devices_.end()) {
    found->second.cancel();
    devices_.erase(found);
  }
  // The device's links leave the map before anything waits, so that its task, finding nothing,
  // reports nothing.
  std::vector<std::pair<Route, std::shared_ptr<FrameConnection>>> gone;
  for (auto it = links_.begin(); it != links_.end();) {
    if (it->first.kind == Route::Kind::usb && it->first.deviceID == id) {
      gone.emplace_back(*it);
      it = links_.erase(it);
    } else {
      ++it;
    }
  }
  const std::string reason(protocol::ByeReason::usbDetached);
  for (auto& [route, connection] : gone) {
    std::optional<std::string> bye(reason);
    co_await connection->close(std::move(bye));
    events_->push(HostTransportEvent::disconnected(route, reason));
  }
  // A phone in Wi-Fi range may be dialled now.
  reconcile();
}

asio::awaitable<void> HostTransport::dropUnlisted(std::vector<USBMuxDevice> listed,
                                                  std::uint64_t generation) {
  if (generation != generation_) co_return;
  std::vector<int> gone;
  for (const auto& [id, task] : devices_) {
    const bool present = std::any_of(listed.begin(), listed.end(),
                                     [id = id](const USBMuxDevice& d) { return d.id == id; });
    if (!present) gone.push_back(id);
  }
  for (int id : gone) co_await detached(id);
}

asio::awaitable<void> HostTransport::dialUSB(std::weak_ptr<HostTransport> weak, Route route,
                                             std::shared_ptr<runtime::TaskHandle> task,
                                             std::shared_ptr<runtime::Clock> clock,
                                             runtime::Duration retryInterval) {
  auto faults = std::make_shared<runtime::FailureStreak>(transportLog());
  while (!task->isCancelled()) {
    auto self = weak.lock();
    if (!self) co_return;
    // A detach during the dial lets it finish: the hello exchange then closes the new link
    // with "usbDetached" instead of registering it.
    auto dialling = self->dialUSBOnce(route, task, faults);
    auto link = co_await uninterrupted(self->strand_, std::move(dialling));
    self.reset();
    if (link) {
      const std::string reason = co_await link->closed();
      self = weak.lock();
      if (!self) co_return;
      self->linkEnded(route, link, reason);
      self.reset();
    }
    co_await clock->sleep(retryInterval);
  }
}

asio::awaitable<std::shared_ptr<FrameConnection>> HostTransport::dialUSBOnce(
    Route route, std::shared_ptr<runtime::TaskHandle> task,
    std::shared_ptr<runtime::FailureStreak> faults) {
  std::exception_ptr failure;
  try {
    auto options = linkOptions();
    options.faults = faults;
    // The tunnel's stream runs on the transport's executor, off the actor, like every link's.
    auto tunnelling = settings_.usbmux.connect(route.deviceID, settings_.port, std::move(options));
    auto connection =
        co_await asio::co_spawn(executor_, std::move(tunnelling), asio::use_awaitable);
    std::function<bool()> abandoned = [task] { return task->isCancelled(); };
    auto linkRoute = route;
    auto link = co_await attach(std::move(connection), std::move(linkRoute), std::move(abandoned));
    faults->worked(route.description() + ": answers again");
    co_return link.connection;
  } catch (...) {
    failure = std::current_exception();
  }
  transportLog().debug("%s: %s", route.description().c_str(), runtime::describe(failure).c_str());
  co_return nullptr;
}

}  // namespace brindlet::transport
