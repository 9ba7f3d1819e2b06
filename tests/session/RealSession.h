#pragma once

// The host session on the real pieces, against Xorg with the dummy driver and openbox: RandR
// displays and monitors, X11 capture into libx264, XTest input, the EWMH window follower, and the
// host transport dialling the scripted phone program over loopback. The session lives on a loop
// thread; the test reads the phone's printed lines.

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include <boost/asio/awaitable.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/use_future.hpp>

#include "protocol/ControlEnvelope.h"
#include "runtime/Defaults.h"
#include "runtime/LoopThread.h"
#include "runtime/MainLoop.h"
#include "runtime/MemoryDefaults.h"
#include "session/HostSession.h"
#include "support/ChildProcess.h"
#include "support/Loop.h"
#include "support/TempDir.h"
#include "support/XServer.h"

namespace brindlet::platform {
class RandrDisplayBackend;
class RandrMonitorLayout;
class X11EventPoster;
class X11WindowSystem;
}  // namespace brindlet::platform
namespace brindlet::streaming {
class VirtualDisplayManager;
class DisplayStreamer;
}  // namespace brindlet::streaming
namespace brindlet::transport {
class HostTransport;
}

namespace brindlet::session {
class InputInjector;
class WindowFollower;
}  // namespace brindlet::session

namespace brindlet::session::testing {

struct RealSession {
  static constexpr const char* kPhoneName = "Phone";
  static constexpr const char* kDisplayName = "Phone (Brindlet)";

  testsupport::XServer x{testsupport::XServer::Kind::xorgDummy};
  testsupport::TempDir dir;
  std::string videoFile = dir.file("video.h264");
  testsupport::ChildProcess phone;
  std::uint16_t phonePort = 0;
  runtime::MainLoop loop;
  runtime::MemoryDefaults defaults;
  std::shared_ptr<platform::RandrDisplayBackend> displays;
  std::shared_ptr<streaming::VirtualDisplayManager> manager;
  std::shared_ptr<streaming::DisplayStreamer> streamer;
  std::shared_ptr<platform::RandrMonitorLayout> monitors;
  std::shared_ptr<platform::X11EventPoster> poster;
  std::shared_ptr<platform::X11WindowSystem> windows;
  std::shared_ptr<InputInjector> input;
  std::shared_ptr<WindowFollower> follower;
  std::shared_ptr<transport::HostTransport> host;
  std::shared_ptr<HostSession> session;
  std::unique_ptr<runtime::LoopThread> thread;

  RealSession();
  ~RealSession();

  template <class F>
  auto onLoop(F f) -> decltype(f()) {
    return brindlet::testing::onLoop(loop, std::move(f));
  }
  template <class T>
  T await(boost::asio::awaitable<T> operation) {
    return boost::asio::co_spawn(loop.context(), std::move(operation), boost::asio::use_future)
        .get();
  }

  // The host dials the phone; the session begins with the link.
  void dial();
  // A command line for the phone, "pane 393 852 3", or a message sent as its envelope.
  void tell(const std::string& command);
  void send(protocol::ControlMessage message);
  // Waits for the next control message of the type the phone receives after `from` (an offset
  // into its output); its envelope and the offset after its line.
  std::optional<std::pair<protocol::ControlEnvelope, std::size_t>> receive(
      std::string_view type, std::size_t from, std::chrono::milliseconds timeout);
  // What the phone has printed so far, read up to now.
  const std::string& output();
  std::size_t outputSize() { return output().size(); }

 private:
  boost::asio::awaitable<void> build();
};

}  // namespace brindlet::session::testing
