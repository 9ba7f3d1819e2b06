#pragma once

// The host session on the manual clock with a fake transport and recording doubles; each phone
// is a real FrameConnection over an in-memory pair, whose end the test reads and writes.

#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>

#include "desktop/EventPosting.h"
#include "desktop/FakeMonitorLayout.h"
#include "desktop/RecordingPoster.h"
#include "runtime/Log.h"
#include "runtime/ManualClock.h"
#include "runtime/MemoryByteStream.h"
#include "runtime/Task.h"
#include "session/HostSession.h"
#include "session/SessionDoubles.h"
#include "support/Loop.h"
#include "support/Streams.h"
#include "transport/FrameConnection.h"
#include "transport/MemoryPairingStore.h"
#include "transport/PairingStore.h"

namespace brindlet::session::testing {

using namespace std::chrono_literals;
using protocol::ControlMessage;

struct PhoneSetup {
  std::string tag;  // how traces name the phone: "A"
  protocol::Hello hello;
  transport::Route route;
  std::optional<std::string> dialedUid;
};

inline PhoneSetup phoneSetup(const std::string& tag, const std::string& name,
                             std::optional<std::string> uid = std::nullopt) {
  PhoneSetup setup{tag, {}, transport::Route::wifi(name), std::nullopt};
  setup.hello.proto = 1;
  setup.hello.app = "Brindlet";
  setup.hello.device = "iPhone15,2";
  setup.hello.name = name;
  setup.hello.uid = std::move(uid);
  return setup;
}
inline PhoneSetup alpha() {
  return phoneSetup("A", "Alpha", "U-A");
}
inline PhoneSetup bravo() {
  return phoneSetup("B", "Bravo", "U-B");
}

// One link of a phone: the computer's end goes to the session, the phone's end is read into the
// harness's trace.
struct Phone {
  PhoneSetup setup;
  std::shared_ptr<runtime::MemoryByteStream> hostStream, phoneStream;
  std::shared_ptr<transport::FrameConnection> host, end;
  std::vector<protocol::Stats> stats;
  int videoFrames = 0;
  std::int64_t videoBytes = 0;
  bool ended = false;

  transport::ClientLink link() const { return {host, setup.route, setup.hello, setup.dialedUid}; }
};

// What a phone's trace line says of a message: its type and the fields the tests look at.
std::string summary(const ControlMessage& message);

class SessionHarness {
 public:
  boost::asio::io_context io;
  runtime::LogCapture log;
  std::shared_ptr<runtime::ManualClock> clock = std::make_shared<runtime::ManualClock>();
  Trace phones;  // "A: displayReady 589x1278@2 h264 #1", stats left out
  Trace calls;   // the display manager's and the streamer's
  std::shared_ptr<FakeTransport> transport = std::make_shared<FakeTransport>();
  std::shared_ptr<transport::PairingStore> pairing;
  std::shared_ptr<RecordingDisplays> displays = std::make_shared<RecordingDisplays>();
  std::shared_ptr<RecordingStreamer> streamer;
  std::shared_ptr<RecordingInput> input = std::make_shared<RecordingInput>();
  std::shared_ptr<desktop::RecordingPoster> poster = std::make_shared<desktop::RecordingPoster>();
  std::shared_ptr<RecordingFollower> follower = std::make_shared<RecordingFollower>();
  // Every display the doubles number shows at kBounds until a test says otherwise.
  std::shared_ptr<desktop::FakeMonitorLayout> monitors =
      std::make_shared<desktop::FakeMonitorLayout>();
  std::shared_ptr<HostSession> session;
  std::vector<std::shared_ptr<Phone>> links;
  int accessibilityRequests = 0;

  // The phone's display: 1178×2556 pixels to the right of a 1920-pixel screen.
  static constexpr desktop::Rect kBounds{1920, 0, 1178, 2556};

  // Keys in memory unless a pairing store is given.
  explicit SessionHarness(std::shared_ptr<transport::PairingStore> pairingStore = nullptr);
  ~SessionHarness();

  void settle() { brindlet::testing::drain(io); }
  template <class T>
  T run(boost::asio::awaitable<T> operation) {
    return brindlet::testing::runUntilDone(io, std::move(operation));
  }
  void pass(runtime::Duration d) { brindlet::testing::runFor(io, *clock, d); }

  // A new link of the phone, reported connected once the messages the phone sent first wait
  // in it.
  std::shared_ptr<Phone> link(PhoneSetup setup, const std::vector<ControlMessage>& first = {});
  // The latest link of the phone with this tag ("A"), or its nth ("A1").
  Phone& phone(const std::string& name);
  void send(Phone& phone, ControlMessage message);
  // The phone's end goes and the transport reports the route's link ended.
  void drop(Phone& phone, const std::string& reason = "closed");

  // Steps separated by ";": "link A", "link B", "pane A 393 852 3 monitor", "ping A 12.5",
  // "bye A backgrounded", "drop A", "touch A ended", "key A down", "scroll A", "text A hi",
  // "hello A", "needKeyframe A", "break A" (the computer's reads fail), "pass 10" (seconds).
  void play(const std::string& steps);

  // "info session: Session with ...", for the session's and the input's lines.
  Trace logLines();

 private:
  std::vector<std::shared_ptr<Phone>>& linksOf(const std::string& tag);
};

}  // namespace brindlet::session::testing
