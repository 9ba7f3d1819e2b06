#pragma once

// A usbmuxd of our own on a temporary Unix socket: it answers Listen, ListDevices and Connect
// as the daemon does, reports attach and detach events to every open Listen, and hands each
// granted tunnel to the test, which plays the phone on it. Thread-safe: every change is posted
// onto its executor, so a test may drive it from another thread while the loop runs elsewhere.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>

#include "protocol/LinkMessages.h"
#include "runtime/ByteStream.h"
#include "transport/FrameConnection.h"
#include "transport/USBMuxMessage.h"

namespace brindlet::transport::testing {

enum class PlistFormat { xml, binary };

class FakeUsbmuxd {
 public:
  // The daemon's result codes that tests use.
  static constexpr std::int64_t ok = 0;
  static constexpr std::int64_t badCommand = 1;
  static constexpr std::int64_t badDevice = 2;
  static constexpr std::int64_t connectionRefused = 3;

  // How the daemon answers. Set before the requests it should shape.
  struct Settings {
    PlistFormat format = PlistFormat::xml;
    bool splitReplies = false;  // every reply written in three pieces
    // The Listen reply's result; none: a "Result" without "Number".
    std::optional<std::int64_t> listenResult = ok;
    // Whole replies (header included) written instead of the answer to the next requests.
    std::vector<runtime::Bytes> scriptedReplies;
    // Written in the same write as a granted Connect reply, right behind it.
    runtime::Bytes afterConnectReply;
  };

  // Gets the daemon's end of every granted tunnel (started and ready) and the port asked for.
  using TunnelHandler =
      std::function<void(std::shared_ptr<runtime::ByteStream> tunnel, std::uint16_t port)>;

  FakeUsbmuxd(boost::asio::any_io_executor executor, std::string path);
  ~FakeUsbmuxd();
  FakeUsbmuxd(const FakeUsbmuxd&) = delete;
  FakeUsbmuxd& operator=(const FakeUsbmuxd&) = delete;

  const std::string& path() const;
  void configure(std::function<void(Settings&)> change);
  void onTunnel(TunnelHandler handler);

  // Plugs a device in (telling every Listen), or pulls it out.
  void attach(USBMuxDevice device);
  void detach(std::int64_t deviceID);
  // The result a Connect to the device gets (granted by default).
  void setConnectResult(std::int64_t deviceID, std::int64_t result);
  // Closes every open Listen connection, as a restarting daemon does.
  void dropListeners();
  // Stops accepting and closes every connection.
  void shutDown();

  // What the daemon has seen so far.
  std::size_t openListeners() const;
  std::vector<USBMuxMessage> requests() const;

 private:
  struct State;
  std::shared_ptr<State> state_;
};

// Plays the phone behind every tunnel the daemon grants: frames the tunnel, runs the hello
// exchange with its own hello, then reads the link to its end. Thread-safe like the daemon.
class TunnelPhone {
 public:
  TunnelPhone(FakeUsbmuxd& daemon, protocol::Hello hello);

  std::vector<std::uint16_t> ports() const;      // asked for, one per tunnel
  std::vector<protocol::Hello> greeted() const;  // hellos the computer sent
  std::vector<std::shared_ptr<FrameConnection>> links() const;
  std::vector<std::string> byes() const;  // bye reasons the computer sent, on any link
  std::size_t ended() const;              // greeted links that have ended
  // Until cleared, every new tunnel gets these bytes instead of the phone's side of a link.
  void answerWith(std::optional<runtime::Bytes> garbage);

 private:
  struct Shared;
  std::shared_ptr<Shared> shared_;
};

// Hands every tunnel the daemon grants to a TCP listener on loopback and carries the bytes both
// ways, as usbmuxd does for a phone's port: the listener sees a peer at a loopback address.
class TunnelToPort {
 public:
  TunnelToPort(FakeUsbmuxd& daemon, std::uint16_t port);
};

// A usbmuxd message around any payload: the 16-byte little-endian header, then the payload.
runtime::Bytes usbmuxWire(std::string_view payload, std::uint32_t tag = 1,
                          std::uint32_t version = 1, std::uint32_t kind = 8);
// An XML property list whose root dictionary holds `entries` (XML text of keys and values).
std::string plistDict(std::string_view entries);
// The same property list in binary form.
std::string binaryPlist(std::string_view xml);

}  // namespace brindlet::transport::testing
