#include <gtest/gtest.h>
#include <systemd/sd-bus.h>

#include <boost/asio/io_context.hpp>

#include "platform/linux/logind/LogindSleepWakeSource.h"
#include "runtime/Log.h"
#include "support/AvahiDaemon.h"
#include "support/Loop.h"

namespace brindlet::platform {
namespace {

using namespace std::chrono_literals;
using testsupport::PrivateSystemBus;

// The test as logind: a connection of its own that owns logind's name.
class FakeLogind {
 public:
  explicit FakeLogind(const std::string& address) {
    EXPECT_GE(sd_bus_new(&bus_), 0);
    sd_bus_set_address(bus_, address.c_str());
    sd_bus_set_bus_client(bus_, 1);
    EXPECT_GE(sd_bus_start(bus_), 0);
    EXPECT_GE(sd_bus_request_name(bus_, "org.freedesktop.login1", 0), 0);
  }
  ~FakeLogind() { sd_bus_flush_close_unref(bus_); }
  void prepareForSleep(bool sleeping) {
    EXPECT_GE(sd_bus_emit_signal(bus_, "/org/freedesktop/login1", "org.freedesktop.login1.Manager",
                                 "PrepareForSleep", "b", int(sleeping)),
              0);
    sd_bus_flush(bus_);
  }

 private:
  sd_bus* bus_ = nullptr;
};

TEST(LogindSleepWakeSource, OnlyLogindsOwnSignalCounts) {
  const std::string address = PrivateSystemBus::instance().address();
  boost::asio::io_context loop;
  FakeLogind logind(address);
  LogindSleepWakeSource source(loop.get_executor(), address);
  ASSERT_TRUE(source.isListening());
  std::vector<std::string> notices;
  source.setHandlers([&] { notices.push_back("sleep"); }, [&] { notices.push_back("wake"); });
  testing::runUntil(
      loop, [] { return false; }, 200ms);  // the match is in place

  EXPECT_EQ(
      testsupport::runProgram({"busctl", "--address=" + address, "emit", "/org/freedesktop/login1",
                               "org.freedesktop.login1.Manager", "PrepareForSleep", "b", "true"})
          .status,
      0);
  testing::runUntil(
      loop, [] { return false; }, 200ms);
  logind.prepareForSleep(true);
  logind.prepareForSleep(false);
  EXPECT_TRUE(testing::runUntil(loop, [&] { return notices.size() >= 2; }));
  testing::runUntil(
      loop, [] { return false; }, 100ms);
  EXPECT_EQ(notices, (std::vector<std::string>{"sleep", "wake"}));
}

TEST(LogindSleepWakeSource, WithoutABusItSaysSoAndStaysSilent) {
  boost::asio::io_context loop;
  runtime::LogCapture log;
  LogindSleepWakeSource source(loop.get_executor(), "unix:path=/nonexistent/bus");
  EXPECT_FALSE(source.isListening());
  EXPECT_EQ(log.messages("display", runtime::LogLevel::error),
            std::vector<std::string>{
                "No sleep and wake notices: logind's bus unix:path=/nonexistent/bus: "
                "No such file or directory"});
}

}  // namespace
}  // namespace brindlet::platform
