#pragma once

#include <chrono>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>

#include "protocol/ControlEnvelope.h"
#include "protocol/Frame.h"
#include "runtime/ByteStream.h"
#include "runtime/Clock.h"
#include "transport/TransportError.h"

namespace brindlet::runtime {
template <class T>
class OneShot;
}

namespace brindlet::transport {

using runtime::Duration;

// How a dial makes its stream to an endpoint: plain TCP here; the secure channel adds TLS.
using ConnectionParameters = std::function<std::shared_ptr<runtime::ByteStream>(
    const boost::asio::any_io_executor& executor, const runtime::Endpoint& endpoint)>;
ConnectionParameters plainTcp();

// Starts the stream and waits until it is ready. Waiting, failed and timed-out starts fail with
// connectionFailed (and cancel the stream); a stream cancelled before it was ready gives closed.
boost::asio::awaitable<void> startAndWait(std::shared_ptr<runtime::ByteStream> connection,
                                          Duration timeout,
                                          std::shared_ptr<runtime::Clock> clock = nullptr);

// How a link times its bye and bounds what waits unread.
struct LinkOptions {
  std::shared_ptr<runtime::Clock> clock;  // the system clock when null
  // How long close(reason:) waits for its bye before it ends the link anyway.
  Duration byeTimeout = std::chrono::seconds(2);
  // Reading from the stream pauses while more than this many frame bytes wait unread.
  std::size_t maxBufferedBytes = 16 * 1024 * 1024;
};

class FrameConnection;

// The frames of a link as a sequence: next() until it gives nothing; an error of receive()
// ends the sequence with that error.
class FrameSequence {
 public:
  explicit FrameSequence(std::shared_ptr<FrameConnection> connection)
      : connection_(std::move(connection)) {}
  boost::asio::awaitable<std::optional<protocol::Frame>> next();

 private:
  std::shared_ptr<FrameConnection> connection_;
  bool ended_ = false;
};

// One link carrying frames both ways over an established byte stream. One reader takes frames
// with receive(); any number of writers send from any thread; the first ending and the first
// reason are recorded for good.
class FrameConnection : public std::enable_shared_from_this<FrameConnection> {
 public:
  using Options = LinkOptions;

  // Wraps a started, ready stream; `leftover` holds bytes already read from it.
  static std::shared_ptr<FrameConnection> make(std::shared_ptr<runtime::ByteStream> connection,
                                               runtime::Bytes leftover = {}, Options options = {});
  // Dials the endpoint and wraps the stream once it is ready.
  static boost::asio::awaitable<std::shared_ptr<FrameConnection>> connect(
      boost::asio::any_io_executor executor, runtime::Endpoint to, ConnectionParameters using_,
      Duration timeout, Options options = {});

  ~FrameConnection();
  FrameConnection(const FrameConnection&) = delete;
  FrameConnection& operator=(const FrameConnection&) = delete;

  // The next frame, or nothing once the link ended cleanly or was closed. One reader at a time:
  // a second concurrent call fails at once with connectionFailed.
  boost::asio::awaitable<std::optional<protocol::Frame>> receive();
  // The close reason, once there is one.
  boost::asio::awaitable<std::string> closed();
  bool isClosed() const;
  FrameSequence frames() { return FrameSequence(shared_from_this()); }

  // Sends one control message (numbered from this link's counter) or one frame and returns when
  // the stream has taken the bytes.
  boost::asio::awaitable<void> send(protocol::ControlMessage message);
  boost::asio::awaitable<void> send(protocol::Frame frame);
  // Fire and forget: failures are only logged.
  void sendControl(protocol::ControlMessage message);
  // Never suspends; `completion` runs exactly once, with no error when the stream took the bytes.
  using Completion = std::function<void(std::optional<TransportError>)>;
  void send(const protocol::Frame& frame, Completion completion);

  // Ends the link, first telling the peer why when a reason is given. Does nothing once closed.
  boost::asio::awaitable<void> close(std::optional<std::string> reason = std::nullopt);

  const std::shared_ptr<runtime::ByteStream>& connection() const { return connection_; }
  runtime::Clock& clock() const { return *options_.clock; }

 private:
  using Waiter = runtime::OneShot<std::optional<protocol::Frame>>;
  // How the link ended: cleanly (no failure) or with a failure.
  struct Ending {
    std::optional<TransportError> failure;
  };
  struct State {
    protocol::FrameParser parser;
    std::deque<protocol::Frame> buffered;
    std::size_t bufferedBytes = 0;
    std::shared_ptr<Waiter> waiter;
    std::optional<Ending> ending;
    std::vector<std::shared_ptr<runtime::OneShot<std::string>>> closeWaiters;
    std::optional<std::string> closeReason;
    protocol::MessageCounter counter;
    bool readPaused = false;
  };

  FrameConnection(std::shared_ptr<runtime::ByteStream> connection, Options options);
  void begin(runtime::Bytes leftover);

  protocol::ControlEnvelope envelope(protocol::ControlMessage message);
  boost::asio::awaitable<void> sendBye(std::string reason);
  static boost::asio::awaitable<void> byeAndCancel(std::shared_ptr<FrameConnection> self);
  void requestRead();
  void receiveNext(runtime::ByteView bytes, bool endOfStream, std::optional<std::string> error);
  void handleIncoming(runtime::ByteView bytes);
  void handleState(runtime::ByteStream::State state, const std::string& error);
  void settle(Ending ending, std::string reason);
  // Lets go of the stream of a link that the peer or the platform ended.
  void release();

  const std::shared_ptr<runtime::ByteStream> connection_;
  const Options options_;
  mutable std::mutex mutex_;
  State state_;
};

}  // namespace brindlet::transport
