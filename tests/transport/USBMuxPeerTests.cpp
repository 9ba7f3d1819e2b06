// The usbmuxd client and our fake daemon against programs nobody here wrote: inetcat talks to
// the fake, and the client talks to the real usbmuxd in a mount namespace of its own.

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <thread>

#include <boost/asio/executor_work_guard.hpp>

#include "runtime/Timeout.h"
#include "support/ChildProcess.h"
#include "support/Loop.h"
#include "support/TempDir.h"
#include "transport/DeckTransport.h"
#include "transport/USBMuxHarness.h"

namespace brindlet::transport {
namespace {

using namespace std::chrono_literals;
using namespace testing;
using testsupport::ChildProcess;

constexpr auto kTimeout = 10s;

// Runs a loop on a thread of its own while the test thread drives a child program.
struct LoopThread {
  asio::io_context io;
  asio::executor_work_guard<asio::io_context::executor_type> work{io.get_executor()};
  std::thread thread{[this] { io.run(); }};

  ~LoopThread() {
    work.reset();
    io.stop();
    thread.join();
  }
};

template <class F>
bool eventually(F condition) {
  const auto deadline = std::chrono::steady_clock::now() + kTimeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(10ms);
  }
  return true;
}

TEST(USBMuxPeer, InetcatReachesThePhoneThroughTheFake) {
  LoopThread loop;
  testsupport::TempDir dir;
  FakeUsbmuxd daemon(loop.io.get_executor(), dir.file("usbmuxd"));
  TunnelPhone phone(daemon, helloOf("phone"));
  daemon.attach({5, "00008030-001A2B3C4D5E802E", "USB"});

  ChildProcess inetcat({"env", "USBMUXD_SOCKET_ADDRESS=UNIX:" + daemon.path(), "inetcat", "9000"});
  const auto hello = encoded(ControlEnvelope(1, helloOf("computer")));
  inetcat.write(std::string(hello.begin(), hello.end()));

  // The phone's hello comes back through the tunnel, and the phone got the computer's.
  EXPECT_TRUE(inetcat.waitFor("\"name\":\"phone\"", kTimeout)) << inetcat.output();
  ASSERT_TRUE(eventually([&] { return phone.greeted().size() == 1; }));
  EXPECT_EQ(phone.greeted()[0].name, "computer");
  EXPECT_EQ(phone.ports(), std::vector<std::uint16_t>{9000});
  const auto requests = daemon.requests();
  ASSERT_FALSE(requests.empty());
  EXPECT_EQ(requests.back(), (USBMuxMessage{USBMuxMessage::Connect{5, 9000}}));

  inetcat.stop();
  for (const auto& link : phone.links()) link->connection()->cancel();
  daemon.shutDown();
}

// The real daemon in a mount namespace with its own /run, so that its socket is its own; the
// test reaches the socket through the daemon's root.
class RealUsbmuxd {
 public:
  RealUsbmuxd() {
    dir_.write("run.sh",
               "set -e\n"
               "mount -t tmpfs tmpfs /run\n"
               "[ -L /var/run ] || mount -t tmpfs tmpfs /var/run\n"
               "exec usbmuxd --foreground --verbose\n");
    daemon_ = std::make_unique<ChildProcess>(std::vector<std::string>{
        "unshare", "--mount", "--propagation", "private", "sh", dir_.file("run.sh")});
    if (!daemon_->waitFor("Initialization complete", kTimeout))
      throw std::runtime_error("usbmuxd did not start: " + daemon_->output());
  }

  std::string socketPath() const {
    // The daemon's /var/run/usbmuxd, with the links of the shared root folder (/var/run is
    // usually a link to /run) followed here, since the daemon's root would follow them to ours.
    const auto inside = std::filesystem::weakly_canonical(USBMuxClient::defaultPath);
    return "/proc/" + std::to_string(daemon_->pid()) + "/root" + inside.string();
  }
  const std::string& output() const { return daemon_->output(); }

 private:
  testsupport::TempDir dir_;
  std::unique_ptr<ChildProcess> daemon_;
};

TEST(USBMuxPeer, RealDaemonListensAndRefusesAnAbsentDevice) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root for a private mount namespace";
  RealUsbmuxd daemon;
  asio::io_context io;
  USBMuxClient client{daemon.socketPath(), nullptr};

  // Listen is granted and stays open: no event and no error while the daemon has no device.
  auto events = client.events(io.get_executor());
  auto next = runtime::within(*runtime::Clock::system(), 500ms, events.next());
  EXPECT_FALSE(brindlet::testing::runUntilDone(io, std::move(next)));

  try {
    brindlet::testing::runUntilDone(io, client.connect(4242, DeckTransport::port));
    ADD_FAILURE() << "tunnel to an absent device";
  } catch (const TransportError& e) {
    EXPECT_EQ(e, TransportError::usbmux("usbmuxd refused the tunnel: result(2)"))
        << daemon.output();
  }
  events.cancel();
  brindlet::testing::drain(io);
}

}  // namespace
}  // namespace brindlet::transport
