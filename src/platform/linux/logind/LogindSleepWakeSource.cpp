#include "platform/linux/logind/LogindSleepWakeSource.h"

#include <systemd/sd-bus.h>

#include <cstring>

#include <boost/asio/posix/stream_descriptor.hpp>

#include "runtime/Log.h"

namespace brindlet::platform {
namespace {

const runtime::Logger& logger() {
  return runtime::Logger::of("display");
}

}  // namespace

struct LogindSleepWakeSource::Impl {
  sd_bus* bus = nullptr;
  sd_bus_slot* match = nullptr;
  std::unique_ptr<boost::asio::posix::stream_descriptor> watch;
  std::function<void()> willSleep;
  std::function<void()> didWake;

  ~Impl() {
    if (watch) watch->release();  // the descriptor is the bus's to close
    sd_bus_slot_unref(match);
    sd_bus_flush_close_unref(bus);
  }

  static int onSignal(sd_bus_message* message, void* self, sd_bus_error*) {
    int sleeping = 0;
    if (sd_bus_message_read(message, "b", &sleeping) < 0) return 0;
    auto& impl = *static_cast<Impl*>(self);
    auto& handler = sleeping ? impl.willSleep : impl.didWake;
    if (handler) handler();
    return 0;
  }

  int connect(const std::string& address) {
    int result = address.empty() ? sd_bus_open_system(&bus) : sd_bus_new(&bus);
    if (result < 0 || address.empty()) return result;
    if ((result = sd_bus_set_address(bus, address.c_str())) < 0) return result;
    if ((result = sd_bus_set_bus_client(bus, 1)) < 0) return result;
    return sd_bus_start(bus);
  }

  void listen(boost::asio::any_io_executor loop) {
    watch = std::make_unique<boost::asio::posix::stream_descriptor>(loop, sd_bus_get_fd(bus));
    process();
  }

  // Handles what the bus has, then waits for more.
  void process() {
    while (sd_bus_process(bus, nullptr) > 0) {
    }
    sd_bus_flush(bus);
    watch->async_wait(boost::asio::posix::stream_descriptor::wait_read,
                      [this](boost::system::error_code error) {
                        if (!error) process();
                      });
  }
};

LogindSleepWakeSource::LogindSleepWakeSource(boost::asio::any_io_executor loop,
                                             std::string busAddress)
    : impl_(std::make_unique<Impl>()) {
  int result = impl_->connect(busAddress);
  if (result >= 0) {
    // The bus routes the signal only from the name's owner: others' copies never arrive.
    result = sd_bus_match_signal_async(impl_->bus, &impl_->match, "org.freedesktop.login1",
                                       "/org/freedesktop/login1", "org.freedesktop.login1.Manager",
                                       "PrepareForSleep", &Impl::onSignal, nullptr, impl_.get());
  }
  if (result < 0) {
    logger().error("No sleep and wake notices: logind's bus %s: %s",
                   busAddress.empty() ? "(system)" : busAddress.c_str(), std::strerror(-result));
    sd_bus_slot_unref(impl_->match);
    impl_->match = nullptr;
    impl_->bus = sd_bus_flush_close_unref(impl_->bus);
    return;
  }
  impl_->listen(std::move(loop));
}

LogindSleepWakeSource::~LogindSleepWakeSource() = default;

void LogindSleepWakeSource::setHandlers(std::function<void()> willSleep,
                                        std::function<void()> didWake) {
  impl_->willSleep = std::move(willSleep);
  impl_->didWake = std::move(didWake);
}

bool LogindSleepWakeSource::isListening() const {
  return impl_->bus != nullptr;
}

}  // namespace brindlet::platform
