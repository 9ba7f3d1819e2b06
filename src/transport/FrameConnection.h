#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include <boost/asio/any_completion_handler.hpp>
#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/associated_allocator.hpp>
#include <boost/asio/associated_executor.hpp>
#include <boost/asio/async_result.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/bind_allocator.hpp>

#include "protocol/ControlEnvelope.h"
#include "protocol/Frame.h"
#include "runtime/ByteStream.h"
#include "runtime/Clock.h"
#include "transport/ConnectionParameters.h"
#include "transport/TransportError.h"

namespace brindlet::runtime {
template <class T>
class OneShot;
class FailureStreak;
}  // namespace brindlet::runtime

namespace brindlet::transport {

using runtime::Duration;

// Starts the stream and waits until it is ready. Waiting, failed and timed-out starts fail with
// connectionFailed (and cancel the stream); a stream cancelled before it was ready gives closed.
boost::asio::awaitable<void> startAndWait(std::shared_ptr<runtime::ByteStream> connection,
                                          Duration timeout,
                                          std::shared_ptr<runtime::Clock> clock = nullptr);

// How a link times its bye and bounds what it holds.
struct LinkOptions {
  std::shared_ptr<runtime::Clock> clock;  // the system clock when null
  // How long close(reason:) waits for its bye before it ends the link anyway.
  Duration byeTimeout = std::chrono::seconds(2);
  // Reading from the stream pauses while more than this many frame bytes wait unread.
  std::size_t maxBufferedBytes = 16 * 1024 * 1024;
  // Sends are refused while they would leave more than this many bytes waiting to be written.
  std::size_t sendHighWater = 64 * 1024 * 1024;
  // Until its hello handshake is done a link takes no larger frame: a peer that has not said
  // hello cannot make it hold what its headers declare.
  std::size_t helloFrameLimit = 64 * 1024;
  // Where the peer's faults (a broken frame, a first frame that is no hello, no hello at all)
  // are logged when a run of dials shares them: a peer that answers every dial with garbage is
  // then one error, not one a dial. Each is an error of its own without one.
  std::shared_ptr<runtime::FailureStreak> faults{};
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
//
// The byte path: a send moves the frame's payload to the stream, whose one writer puts header
// and payload out together; a received payload is read straight into its frame's buffer once
// the header is known, and the frame moves on to the reader.
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

  // The one way a frame goes out. Completes once the stream has taken the bytes, with no error
  // or a TransportError: protocolViolation for a payload over the largest frame (before
  // anything is written), connectionFailed for a failed write or a send refused because the
  // bytes waiting to be written would pass the high-water mark (the link stays). Any Asio
  // completion token: use_awaitable throws the error; a callback gets it as an exception
  // pointer, on the link's executor unless it has one of its own. Refusals complete at once.
  using SendSignature = void(std::exception_ptr);
  using SendHandler = boost::asio::any_completion_handler<SendSignature>;
  template <class Token>
  auto asyncSend(protocol::Frame&& frame, Token&& token) {
    return boost::asio::async_initiate<Token, SendSignature>(Initiation{this}, token,
                                                             std::move(frame));
  }
  // The same for a payload in a pool buffer: the header goes into the room in front of it (or,
  // without room, in front of a copy), and the buffer goes back to its pool once written.
  template <class Token>
  auto asyncSend(protocol::PooledFrame&& frame, Token&& token) {
    return boost::asio::async_initiate<Token, SendSignature>(Initiation{this}, token,
                                                             std::move(frame));
  }
  // Bytes handed to asyncSend and not yet taken by the stream.
  std::size_t bytesOutstanding() const;

  // Callers of asyncSend: a control message numbered from this link's counter, or a frame,
  // awaited; a control message whose failures are only logged; a frame with a completion.
  boost::asio::awaitable<void> send(protocol::ControlMessage message);
  boost::asio::awaitable<void> send(protocol::Frame frame);
  void sendControl(protocol::ControlMessage message);
  using Completion = std::function<void(std::optional<TransportError>)>;
  void send(protocol::Frame&& frame, Completion completion);

  // Ends the link, first telling the peer why when a reason is given. Does nothing once closed.
  boost::asio::awaitable<void> close(std::optional<std::string> reason = std::nullopt);

  // Logs a fault of the peer's as an error, or through the options' streak.
  void reportFault(const std::string& line) const;

  // The hello exchange succeeded: frames of any size are taken from now on.
  void helloDone();

  const std::shared_ptr<runtime::ByteStream>& connection() const { return connection_; }
  runtime::Clock& clock() const { return *options_.clock; }

 private:
  using Waiter = runtime::OneShot<std::optional<protocol::Frame>>;
  // How the link ended: cleanly (no failure) or with a failure.
  struct Ending {
    std::optional<TransportError> failure;
  };
  struct State {
    std::deque<protocol::Frame> buffered;
    std::size_t bufferedBytes = 0;
    std::shared_ptr<Waiter> waiter;
    std::optional<Ending> ending;
    std::vector<std::shared_ptr<runtime::OneShot<std::string>>> closeWaiters;
    std::optional<std::string> closeReason;
    protocol::MessageCounter counter;
    bool readPaused = false;
    bool helloDone = false;
  };
  struct Inbox;
  class PendingSend;
  // The handler's executor is read while its type is still known. A handler without an
  // allocator of its own is kept in the link's recycled memory.
  struct Initiation {
    FrameConnection* self;
    template <class Handler, class AnyFrame>
    void operator()(Handler&& handler, AnyFrame frame) const {
      boost::asio::any_io_executor executor =
          boost::asio::get_associated_executor(handler, self->executor_);
      if constexpr (std::is_same_v<boost::asio::associated_allocator_t<std::decay_t<Handler>>,
                                   std::allocator<void>>) {
        self->startSend(
            std::move(frame),
            SendHandler(boost::asio::bind_allocator(runtime::HandlerAllocator<void>(self->memory_),
                                                    std::forward<Handler>(handler))),
            std::move(executor));
      } else {
        self->startSend(std::move(frame), SendHandler(std::forward<Handler>(handler)),
                        std::move(executor));
      }
    }
  };

  FrameConnection(std::shared_ptr<runtime::ByteStream> connection, Options options);
  void begin(runtime::Bytes leftover);

  void startSend(protocol::Frame frame, SendHandler handler, boost::asio::any_io_executor executor);
  void startSend(protocol::PooledFrame frame, SendHandler handler,
                 boost::asio::any_io_executor executor);
  // Counts a send of `length` payload bytes against the high-water mark; completes the handler
  // with the refusal and gives false when the link can't take it.
  bool admit(std::size_t length, SendHandler& handler);
  // The record of a send that was admitted, which the stream tells once it has taken the bytes.
  std::shared_ptr<PendingSend> pending(std::size_t size, SendHandler handler,
                                       boost::asio::any_io_executor executor);
  protocol::ControlEnvelope envelope(protocol::ControlMessage message);
  std::optional<protocol::Frame> controlFrame(protocol::ControlMessage message);
  boost::asio::awaitable<void> sendBye(std::string reason);
  void requestRead();
  void receiveNext(runtime::ByteView bytes, bool direct, bool endOfStream,
                   std::optional<std::string> error);
  void handleIncoming(runtime::ByteView bytes, bool direct);
  // Moves the frames on, leaving the vector's room for the next read.
  void deliver(std::vector<protocol::Frame>& frames);
  void handleState(runtime::ByteStream::State state, const std::string& error);
  void settle(Ending ending, std::string reason);
  // Lets go of the stream of a link that the peer or the platform ended.
  void release();

  const std::shared_ptr<runtime::ByteStream> connection_;
  // The stream's executor, made once: sends copy it without allocating.
  const boost::asio::any_io_executor executor_;
  // Where sends keep their handlers and records: reused from frame to frame.
  const std::shared_ptr<runtime::HandlerMemory> memory_;
  const Options options_;
  // The receiving side: touched only by the one outstanding read, and kept alive by it.
  const std::shared_ptr<Inbox> inbox_;
  mutable std::mutex mutex_;
  State state_;
  // Bytes admitted and not yet taken by the stream: counted apart from the state, without a lock,
  // since every send and every write's completion changes it, often on two threads at once.
  std::atomic<std::size_t> bytesOutstanding_{0};
};

}  // namespace brindlet::transport
