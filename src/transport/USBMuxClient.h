#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>

#include "runtime/AsyncQueue.h"
#include "runtime/ByteStream.h"
#include "runtime/Clock.h"
#include "runtime/OneShot.h"
#include "transport/FrameConnection.h"
#include "transport/USBMuxMessage.h"

namespace brindlet::transport {

// One open socket to usbmuxd, used by one task for one request. Cancels its stream when it
// goes, unless the stream was handed on with release().
class MuxChannel {
 public:
  // Wraps a started, ready stream.
  explicit MuxChannel(std::shared_ptr<runtime::ByteStream> stream);
  ~MuxChannel();
  MuxChannel(const MuxChannel&) = delete;
  MuxChannel& operator=(const MuxChannel&) = delete;

  // Dials the socket at `path`, waiting at most 2 seconds for it.
  static boost::asio::awaitable<std::unique_ptr<MuxChannel>> open(
      boost::asio::any_io_executor executor, std::string path,
      std::shared_ptr<runtime::Clock> clock = nullptr);

  boost::asio::awaitable<void> send(runtime::Bytes bytes);
  // The next non-empty run of bytes from the socket (at most 65,536).
  boost::asio::awaitable<runtime::Bytes> receiveChunk();
  // The next whole message; bytes after it stay buffered for the next call.
  boost::asio::awaitable<USBMuxMessage> readMessage();

  const std::shared_ptr<runtime::ByteStream>& stream() const { return stream_; }
  // Hands the stream and the bytes read past the last message to a new owner.
  runtime::Bytes release();
  void cancel();

 private:
  std::shared_ptr<runtime::ByteStream> stream_;
  runtime::Bytes buffer_;
  bool released_ = false;
};

// The events of one Listen connection. The connection stays open until the daemon or the socket
// fails, or until this value goes (or cancel() is called), which closes it.
class USBMuxEvents {
 public:
  USBMuxEvents(std::shared_ptr<runtime::AsyncQueue<USBMuxEvent>> queue,
               std::shared_ptr<runtime::OneShot<bool>> listening)
      : queue_(std::move(queue)), listening_(std::move(listening)) {}
  ~USBMuxEvents() { cancel(); }
  USBMuxEvents(USBMuxEvents&&) = default;
  USBMuxEvents& operator=(USBMuxEvents&&) = default;

  // True once the daemon accepted the Listen request (from then on it reports every attach and
  // detach), false when the stream ended before that.
  boost::asio::awaitable<bool> listening() { return listening_->wait(); }
  // The next event; nothing once the stream ended; throws the TransportError it failed with.
  boost::asio::awaitable<std::optional<USBMuxEvent>> next() { return queue_->next(); }
  void cancel() {
    if (queue_) queue_->cancel();
  }

 private:
  std::shared_ptr<runtime::AsyncQueue<USBMuxEvent>> queue_;
  std::shared_ptr<runtime::OneShot<bool>> listening_;
};

// The client of the usbmuxd daemon at a socket path. Every operation opens a socket of its own.
struct USBMuxClient {
  static constexpr const char* defaultPath = "/var/run/usbmuxd";

  std::string path = defaultPath;
  // Times the 2-second wait for the socket; the system clock when null.
  std::shared_ptr<runtime::Clock> clock;

  // Opens a Listen connection on the executor and streams its attach and detach events.
  USBMuxEvents events(const boost::asio::any_io_executor& executor) const;
  // The devices the daemon lists right now (a ListDevices request on a socket of its own).
  boost::asio::awaitable<std::vector<USBMuxDevice>> devices() const;
  // Opens a tunnel to the TCP port on the device and frames it. Bytes that came right behind
  // the daemon's reply are the link's first bytes.
  boost::asio::awaitable<std::shared_ptr<FrameConnection>> connect(std::int64_t deviceID,
                                                                   std::uint16_t port,
                                                                   LinkOptions options = {}) const;
};

}  // namespace brindlet::transport
