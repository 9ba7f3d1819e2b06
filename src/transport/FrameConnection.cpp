#include "transport/FrameConnection.h"

#include <variant>

#include "protocol/Enums.h"
#include "runtime/OneShot.h"
#include "runtime/SocketByteStream.h"
#include "runtime/Task.h"
#include "runtime/Timeout.h"
#include "transport/DeckTransport.h"

namespace brindlet::transport {

using protocol::ControlEnvelope;
using protocol::ControlMessage;
using protocol::Frame;
using protocol::ProtocolError;
using runtime::Bytes;
using runtime::ByteStream;

namespace {

constexpr std::size_t kReadSize = 1048576;

std::size_t sizeOf(const Frame& frame) {
  return protocol::FrameHeader::size + frame.payload.size();
}

// The six header bytes of a frame; refuses a payload over the largest frame size.
Bytes headerOf(const Frame& frame) {
  const auto length = frame.payload.size();
  if (std::int64_t(length) > protocol::DeckProtocol::maxFramePayload) {
    throw ProtocolError::oversized(std::int64_t(length));
  }
  Bytes header(protocol::FrameHeader::size);
  Frame::encodeHeader(frame.channel, frame.flags, length, header.data());
  return header;
}

bool isClosedError(const std::optional<TransportError>& failure) {
  return !failure || failure->kind() == TransportError::Case::closed;
}

// The error a failed wait carries, as a transport error; other errors keep their text.
TransportError asTransportError(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const TransportError& e) {
    return e;
  } catch (const std::exception& e) {
    return TransportError::connectionFailed(e.what());
  } catch (...) {
    return TransportError::connectionFailed("unknown error");
  }
}

boost::asio::awaitable<void> dialTimer(std::shared_ptr<runtime::Clock> clock, Duration timeout,
                                       std::shared_ptr<runtime::OneShot<std::monostate>> slot,
                                       std::weak_ptr<ByteStream> connection) {
  co_await clock->sleep(timeout);
  if (slot->fail(TransportError::connectionFailed("timed out"))) {
    if (auto c = connection.lock()) c->cancel();
  }
}

}  // namespace

ConnectionParameters plainTcp() {
  return [](const boost::asio::any_io_executor& executor, const runtime::Endpoint& endpoint) {
    return runtime::TcpByteStream::dial(executor, endpoint.host, endpoint.port);
  };
}

boost::asio::awaitable<void> startAndWait(std::shared_ptr<ByteStream> connection, Duration timeout,
                                          std::shared_ptr<runtime::Clock> clock) {
  if (!clock) clock = runtime::Clock::system();
  auto slot = runtime::OneShot<std::monostate>::make();
  std::weak_ptr<ByteStream> weak = connection;
  connection->setStateHandler([slot, weak](ByteStream::State state, const std::string& error) {
    switch (state) {
      case ByteStream::State::ready:
        slot->resume({});
        break;
      case ByteStream::State::waiting:
      case ByteStream::State::failed:
        slot->fail(TransportError::connectionFailed(error));
        if (auto c = weak.lock()) c->cancel();
        break;
      case ByteStream::State::cancelled:
        slot->fail(TransportError::closed());
        break;
      default:
        break;
    }
  });
  connection->start();
  auto timer = runtime::spawn(connection->executor(), dialTimer(clock, timeout, slot, weak));
  std::exception_ptr failure;
  try {
    co_await slot->wait();
  } catch (...) {
    failure = std::current_exception();
  }
  timer.cancel();
  if (!failure) {
    connection->setStateHandler(nullptr);
    co_return;
  }
  // A caller that gives up (is cancelled) leaves no dial behind.
  if (runtime::isCancellation(failure)) connection->cancel();
  throw asTransportError(failure);
}

boost::asio::awaitable<std::optional<Frame>> FrameSequence::next() {
  if (ended_) co_return std::nullopt;
  std::optional<Frame> frame;
  try {
    frame = co_await connection_->receive();
  } catch (...) {
    ended_ = true;
    throw;
  }
  if (!frame) ended_ = true;
  co_return frame;
}

FrameConnection::FrameConnection(std::shared_ptr<ByteStream> connection, Options options)
    : connection_(std::move(connection)), options_(std::move(options)) {}

FrameConnection::~FrameConnection() {
  connection_->cancel();
}

std::shared_ptr<FrameConnection> FrameConnection::make(std::shared_ptr<ByteStream> connection,
                                                       Bytes leftover, Options options) {
  if (!options.clock) options.clock = runtime::Clock::system();
  std::shared_ptr<FrameConnection> link(new FrameConnection(std::move(connection), options));
  link->begin(std::move(leftover));
  return link;
}

void FrameConnection::begin(Bytes leftover) {
  if (!leftover.empty()) handleIncoming(leftover);
  std::weak_ptr<FrameConnection> weak = shared_from_this();
  connection_->setStateHandler([weak](ByteStream::State state, const std::string& error) {
    if (auto self = weak.lock()) self->handleState(state, error);
  });
  bool open;
  {
    std::lock_guard lock(mutex_);
    open = !state_.closeReason;
  }
  if (open) requestRead();
}

boost::asio::awaitable<std::shared_ptr<FrameConnection>> FrameConnection::connect(
    boost::asio::any_io_executor executor, runtime::Endpoint to, ConnectionParameters using_,
    Duration timeout, Options options) {
  auto connection = using_(executor, to);
  co_await startAndWait(connection, timeout, options.clock);
  co_return make(std::move(connection), {}, std::move(options));
}

void FrameConnection::requestRead() {
  std::weak_ptr<FrameConnection> weak = shared_from_this();
  connection_->read(
      kReadSize, [weak](runtime::ByteView bytes, bool endOfStream, std::optional<std::string> e) {
        if (auto self = weak.lock()) self->receiveNext(bytes, endOfStream, std::move(e));
      });
}

void FrameConnection::receiveNext(runtime::ByteView bytes, bool endOfStream,
                                  std::optional<std::string> error) {
  if (!bytes.empty()) handleIncoming(bytes);
  if (error) {
    settle({TransportError::connectionFailed(*error)}, "failed");
    release();
    return;
  }
  if (endOfStream) {
    settle({std::nullopt}, "closed");
    release();
    return;
  }
  {
    std::lock_guard lock(mutex_);
    if (state_.closeReason) return;
    // A reader that falls behind stops the reading here; receive() starts it again.
    if (state_.bufferedBytes > options_.maxBufferedBytes) {
      state_.readPaused = true;
      return;
    }
  }
  requestRead();
}

void FrameConnection::handleIncoming(runtime::ByteView bytes) {
  std::shared_ptr<Waiter> waiter;
  std::optional<Frame> first;
  std::optional<ProtocolError> violation;
  {
    std::lock_guard lock(mutex_);
    try {
      for (auto& frame : state_.parser.push(bytes)) {
        if (state_.waiter) {
          waiter = std::move(state_.waiter);
          first = std::move(frame);
        } else {
          state_.bufferedBytes += sizeOf(frame);
          state_.buffered.push_back(std::move(frame));
        }
      }
    } catch (const ProtocolError& e) {
      violation = e;
    }
  }
  if (waiter) waiter->resume(std::move(first));
  if (!violation) return;
  transportLog().error("Protocol violation: %s", violation->text().c_str());
  settle({TransportError::protocolViolation(*violation)},
         std::string(protocol::ByeReason::protocolViolation));
  auto self = shared_from_this();
  runtime::spawn(connection_->executor(),
                 [](std::shared_ptr<FrameConnection> self) -> boost::asio::awaitable<void> {
                   co_await self->sendBye(std::string(protocol::ByeReason::protocolViolation));
                   self->connection_->cancel();
                 }(self));
}

void FrameConnection::handleState(ByteStream::State state, const std::string& error) {
  if (state == ByteStream::State::failed) {
    settle({TransportError::connectionFailed(error)}, "failed");
    release();
  } else if (state == ByteStream::State::cancelled) {
    settle({TransportError::closed()}, "closed");
  }
}

void FrameConnection::settle(Ending ending, std::string reason) {
  std::vector<std::shared_ptr<runtime::OneShot<std::string>>> closeWaiters;
  std::shared_ptr<Waiter> waiter;
  Ending recorded;
  std::string recordedReason;
  {
    std::lock_guard lock(mutex_);
    if (!state_.ending) {
      state_.ending = std::move(ending);
      state_.closeReason = std::move(reason);
    }
    closeWaiters.swap(state_.closeWaiters);
    if (state_.buffered.empty()) waiter = std::move(state_.waiter);
    recorded = *state_.ending;
    recordedReason = *state_.closeReason;
  }
  for (auto& w : closeWaiters) w->resume(recordedReason);
  if (!waiter) return;
  if (isClosedError(recorded.failure)) {
    waiter->resume(std::nullopt);
  } else {
    waiter->fail(*recorded.failure);
  }
}

void FrameConnection::release() {
  connection_->cancel();
}

boost::asio::awaitable<std::optional<Frame>> FrameConnection::receive() {
  auto waiter = Waiter::make();
  std::optional<Frame> frame;
  std::optional<TransportError> failure;
  bool ended = false;
  bool resumeReading = false;
  {
    std::lock_guard lock(mutex_);
    if (!state_.buffered.empty()) {
      frame = std::move(state_.buffered.front());
      state_.buffered.pop_front();
      state_.bufferedBytes -= sizeOf(*frame);
      if (state_.readPaused && state_.bufferedBytes <= options_.maxBufferedBytes &&
          !state_.closeReason) {
        state_.readPaused = false;
        resumeReading = true;
      }
    } else if (state_.ending) {
      ended = true;
      if (!isClosedError(state_.ending->failure)) failure = state_.ending->failure;
    } else if (state_.waiter) {
      // One reader per link: the reader already waiting keeps its place.
      failure = TransportError::connectionFailed("another reader is already waiting");
    } else {
      state_.waiter = waiter;
    }
  }
  if (resumeReading) requestRead();
  if (frame) co_return frame;
  if (failure) throw *failure;
  if (ended) co_return std::nullopt;
  std::weak_ptr<FrameConnection> weakSelf = shared_from_this();
  std::weak_ptr<Waiter> weakWaiter = waiter;
  waiter->onCancel([weakSelf, weakWaiter] {
    auto self = weakSelf.lock();
    auto waiter = weakWaiter.lock();
    if (!self || !waiter) return;
    {
      std::lock_guard lock(self->mutex_);
      if (self->state_.waiter != waiter) return;
      self->state_.waiter.reset();
    }
    waiter->fail(runtime::cancellationError());
  });
  co_return co_await waiter->wait();
}

boost::asio::awaitable<std::string> FrameConnection::closed() {
  auto waiter = runtime::OneShot<std::string>::make();
  {
    std::lock_guard lock(mutex_);
    if (state_.closeReason) co_return *state_.closeReason;
    state_.closeWaiters.push_back(waiter);
  }
  co_return co_await waiter->wait();
}

bool FrameConnection::isClosed() const {
  std::lock_guard lock(mutex_);
  return state_.closeReason.has_value();
}

ControlEnvelope FrameConnection::envelope(ControlMessage message) {
  std::lock_guard lock(mutex_);
  return ControlEnvelope(std::move(message), state_.counter);
}

boost::asio::awaitable<void> FrameConnection::send(ControlMessage message) {
  auto envelope = this->envelope(std::move(message));
  std::optional<Frame> frame;
  try {
    frame = Frame::control(envelope);
  } catch (const ProtocolError& e) {
    throw TransportError::protocolViolation(e);
  }
  co_await send(std::move(*frame));
}

boost::asio::awaitable<void> FrameConnection::send(Frame frame) {
  Bytes header;
  try {
    header = headerOf(frame);
  } catch (const ProtocolError& e) {
    throw TransportError::protocolViolation(e);
  }
  auto done = runtime::OneShot<std::optional<std::string>>::make();
  // The payload goes out as it is, behind its header, without being copied.
  connection_->write(std::move(header), std::move(frame.payload),
                     [done](std::optional<std::string> error) { done->resume(std::move(error)); });
  auto error = co_await done->wait();
  if (error) throw TransportError::connectionFailed(*error);
}

void FrameConnection::sendControl(ControlMessage message) {
  auto envelope = this->envelope(std::move(message));
  std::string json;
  try {
    json = envelope.encodedJSON();
  } catch (const ProtocolError&) {
    transportLog().error("Cannot encode %s", std::string(envelope.message.type()).c_str());
    return;
  }
  Bytes bytes;
  try {
    bytes = Frame{protocol::Channel::control, {}, Bytes(json.begin(), json.end())}.encoded();
  } catch (const ProtocolError& e) {
    transportLog().debug("Send failed: %s", TransportError::protocolViolation(e).text().c_str());
    return;
  }
  connection_->write(std::move(bytes), [](std::optional<std::string> error) {
    if (!error) return;
    transportLog().debug("Send failed: %s",
                         TransportError::connectionFailed(*error).text().c_str());
  });
}

void FrameConnection::send(const Frame& frame, Completion completion) {
  Bytes bytes;
  try {
    bytes = frame.encoded();
  } catch (const ProtocolError& e) {
    completion(TransportError::protocolViolation(e));
    return;
  }
  connection_->write(std::move(bytes),
                     [completion = std::move(completion)](std::optional<std::string> error) {
                       if (error) {
                         completion(TransportError::connectionFailed(*error));
                       } else {
                         completion(std::nullopt);
                       }
                     });
}

boost::asio::awaitable<void> FrameConnection::sendBye(std::string reason) {
  ControlMessage bye(protocol::Bye{std::move(reason)});
  try {
    auto sending = send(std::move(bye));
    co_await runtime::within(clock(), options_.byeTimeout, std::move(sending));
  } catch (...) {
    // The link ends all the same; the peer learns of it from the closed stream.
  }
}

boost::asio::awaitable<void> FrameConnection::byeAndCancel(std::shared_ptr<FrameConnection> self) {
  co_await self->sendBye(std::string(protocol::ByeReason::protocolViolation));
  self->connection_->cancel();
}

boost::asio::awaitable<void> FrameConnection::close(std::optional<std::string> reason) {
  if (isClosed()) co_return;
  if (reason) {
    try {
      co_await sendBye(*reason);
    } catch (...) {
      // A cancelled caller still closes the link.
    }
  }
  settle({TransportError::closed()}, reason.value_or("closed"));
  connection_->cancel();
}

}  // namespace brindlet::transport
