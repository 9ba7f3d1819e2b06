#include "transport/FrameConnection.h"

#include <array>
#include <variant>

#include <boost/asio/associated_cancellation_slot.hpp>
#include <boost/asio/dispatch.hpp>
#include <boost/asio/execution/outstanding_work.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/prefer.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "protocol/Enums.h"
#include "runtime/FailureStreak.h"
#include "runtime/OneShot.h"
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

namespace asio = boost::asio;

// A read into a frame's own payload asks for at most this much: a larger frame is assembled
// over several reads.
constexpr std::size_t kReadSize = 1048576;
// A read between frames asks for at most this much. Small frames arrive many to a read; of a
// large one, what this read brings of its payload is copied once into the frame's buffer, and
// the rest is read straight into it.
constexpr std::size_t kStagingSize = 65536;

std::size_t sizeOf(const Frame& frame) {
  return protocol::FrameHeader::size + frame.payload.size();
}

bool isHello(const Frame& frame) {
  if (frame.channel != protocol::Channel::control) return false;
  try {
    return ControlEnvelope::of(frame).message.as<protocol::Hello>() != nullptr;
  } catch (const ProtocolError&) {
    return false;  // the hello exchange reports it
  }
}

bool isClosedError(const std::optional<TransportError>& failure) {
  return !failure || failure->kind() == TransportError::Case::closed;
}

}  // namespace

// What the one outstanding read fills: the arriving frame's own payload once its header is
// known, else a staging buffer from which the parser cuts whole frames. The read holds it, so a
// link dropped while a read is under way never leaves the stream writing into freed memory. It
// is also what the stream tells of each read: one record for all reads, so that reading
// allocates nothing.
struct FrameConnection::Inbox final : runtime::ReadListener {
  protocol::FrameParser parser;
  std::array<std::uint8_t, kStagingSize> staging;
  std::weak_ptr<FrameConnection> link;
  bool direct = false;  // the read under way fills the frame's own payload
  // The frames one read completed, reused from read to read.
  std::vector<Frame> frames;

  void readDone(runtime::ByteView bytes, bool endOfStream,
                std::optional<std::string> error) override {
    if (auto self = link.lock()) self->receiveNext(bytes, direct, endOfStream, std::move(error));
  }
};

// A send's handler until it completes, once: when the stream has taken the bytes, or earlier
// when its caller cancels (the bytes still go out in their turn). A handler with an executor of
// its own runs there, which counts as busy until then; one on the link's executor runs at once
// in the stream's completion, which already runs there. The record lives in the link's recycled
// memory and travels with the write.
class FrameConnection::PendingSend : public runtime::WriteListener,
                                     public std::enable_shared_from_this<PendingSend> {
  struct Key {};

 public:
  static std::shared_ptr<PendingSend> make(std::shared_ptr<FrameConnection> link, std::size_t size,
                                           SendHandler handler, asio::any_io_executor executor) {
    const bool own = executor != link->executor_;
    if (own) executor = asio::prefer(executor, asio::execution::outstanding_work.tracked);
    runtime::HandlerAllocator<PendingSend> allocator(link->memory_);
    auto pending = std::allocate_shared<PendingSend>(allocator, Key{}, std::move(link), size,
                                                     std::move(handler), std::move(executor), own);
    auto slot = asio::get_associated_cancellation_slot(*pending->handler_);
    if (slot.is_connected()) {
      slot.assign([weak = std::weak_ptr<PendingSend>(pending)](asio::cancellation_type) {
        if (auto self = weak.lock()) self->complete(runtime::cancellationError(), true);
      });
    }
    return pending;
  }

  PendingSend(Key, std::shared_ptr<FrameConnection> link, std::size_t size, SendHandler handler,
              asio::any_io_executor executor, bool own)
      : link_(std::move(link)),
        size_(size),
        own_(own),
        executor_(std::move(executor)),
        handler_(std::move(handler)) {}

  // The stream took the bytes, or failed to; called once, on the stream's executor.
  void written(std::optional<std::string> error) override {
    link_->bytesOutstanding_.fetch_sub(size_, std::memory_order_relaxed);
    std::exception_ptr failure;
    if (error) failure = std::make_exception_ptr(TransportError::connectionFailed(*error));
    link_.reset();
    complete(failure, false);
  }

  // From a cancellation the handler is posted: its slot is cleared, on the handler's own
  // executor, only after the cancellation handler has returned.
  void complete(std::exception_ptr error, bool fromCancellation) {
    std::optional<SendHandler> handler;
    asio::any_io_executor executor;
    {
      std::lock_guard lock(mutex_);
      handler.swap(handler_);
      std::swap(executor, executor_);
    }
    if (!handler) return;
    if (!own_ && !fromCancellation) {
      asio::get_associated_cancellation_slot(*handler).clear();
      return std::move(*handler)(error);
    }
    auto finish = [handler = std::move(*handler), error]() mutable {
      asio::get_associated_cancellation_slot(handler).clear();
      std::move(handler)(error);
    };
    if (fromCancellation) {
      asio::post(executor, std::move(finish));
    } else {
      asio::dispatch(executor, std::move(finish));
    }
  }

 private:
  std::shared_ptr<FrameConnection> link_;
  const std::size_t size_;
  const bool own_;
  std::mutex mutex_;
  asio::any_io_executor executor_;
  std::optional<SendHandler> handler_;
};

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
  std::exception_ptr failure;
  try {
    auto ready = slot->wait();
    if (!co_await runtime::within(*clock, timeout, std::move(ready))) {
      failure = std::make_exception_ptr(TransportError::connectionFailed("timed out"));
    }
  } catch (...) {
    failure = std::current_exception();
  }
  if (!failure) {
    connection->setStateHandler(nullptr);
    co_return;
  }
  // A start that timed out, or whose caller gave up, leaves no dial behind.
  connection->cancel();
  throw TransportError::from(failure);
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
    : connection_(std::move(connection)),
      executor_(connection_->executor()),
      memory_(std::make_shared<runtime::HandlerMemory>()),
      options_(std::move(options)),
      inbox_(std::make_shared<Inbox>()) {
  inbox_->parser.maxPayload = std::int64_t(options_.helloFrameLimit);
}

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
  inbox_->link = weak_from_this();
  if (!leftover.empty()) handleIncoming(leftover, false);
  std::weak_ptr<FrameConnection> weak = shared_from_this();
  connection_->setStateHandler([weak](ByteStream::State state, const std::string& error) {
    if (auto self = weak.lock()) self->handleState(state, error);
  });
  if (!isClosed()) requestRead();
}

boost::asio::awaitable<std::shared_ptr<FrameConnection>> FrameConnection::connect(
    boost::asio::any_io_executor executor, runtime::Endpoint to, ConnectionParameters using_,
    Duration timeout, Options options) {
  auto connection = using_(executor, to);
  co_await startAndWait(connection, timeout, options.clock);
  co_return make(std::move(connection), {}, std::move(options));
}

void FrameConnection::helloDone() {
  std::lock_guard lock(mutex_);
  state_.helloDone = true;
}

void FrameConnection::reportFault(const std::string& line) const {
  if (options_.faults) {
    options_.faults->failed(line);
  } else {
    transportLog().error("%s", line.c_str());
  }
}

// Only one read is outstanding, so nothing else touches the inbox meanwhile.
void FrameConnection::requestRead() {
  auto into = inbox_->parser.payloadSpace();
  inbox_->direct = !into.empty();
  into = inbox_->direct ? into.first(std::min(into.size(), kReadSize)) : inbox_->staging;
  connection_->readInto(into, std::shared_ptr<runtime::ReadListener>(inbox_));
}

void FrameConnection::receiveNext(runtime::ByteView bytes, bool direct, bool endOfStream,
                                  std::optional<std::string> error) {
  if (!bytes.empty()) handleIncoming(bytes, direct);
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

// Before the hello exchange is done, frames are cut one at a time: the peer's hello lifts the
// small-frame limit for what follows it in the same bytes, which the peer may send as soon as
// it has our hello.
void FrameConnection::handleIncoming(runtime::ByteView bytes, bool direct) {
  auto& parser = inbox_->parser;
  bool limited;
  {
    std::lock_guard lock(mutex_);
    limited = !state_.helloDone;
  }
  if (!limited) parser.maxPayload = protocol::DeckProtocol::maxFramePayload;
  auto& frames = inbox_->frames;
  frames.clear();
  std::optional<ProtocolError> violation;
  try {
    if (direct) {
      if (auto frame = parser.commit(bytes.size())) frames.push_back(std::move(*frame));
    } else if (!limited) {
      frames = parser.push(bytes);
    } else {
      while (!bytes.empty()) {
        auto one = parser.push(bytes, 1);
        bytes = bytes.subspan(parser.consumed);
        if (one.empty()) break;
        if (isHello(one.front())) parser.maxPayload = protocol::DeckProtocol::maxFramePayload;
        frames.push_back(std::move(one.front()));
      }
    }
  } catch (const ProtocolError& e) {
    violation = e;
  }
  deliver(frames);
  if (!violation) return;
  reportFault("Protocol violation: " + violation->text());
  std::string reason(protocol::ByeReason::protocolViolation);
  settle({TransportError::protocolViolation(*violation)}, reason);
  runtime::spawn(connection_->executor(),
                 [](std::shared_ptr<FrameConnection> self,
                    std::string reason) -> boost::asio::awaitable<void> {
                   co_await self->sendBye(std::move(reason));
                   self->connection_->cancel();
                 }(shared_from_this(), reason));
}

// The first frame can go to a waiting reader; the rest wait in order.
void FrameConnection::deliver(std::vector<Frame>& frames) {
  if (frames.empty()) return;
  std::shared_ptr<Waiter> waiter;
  std::optional<Frame> first;
  {
    std::lock_guard lock(mutex_);
    for (auto& frame : frames) {
      if (state_.waiter) {
        waiter = std::move(state_.waiter);
        first = std::move(frame);
      } else {
        state_.bufferedBytes += sizeOf(frame);
        state_.buffered.push_back(std::move(frame));
      }
    }
  }
  // Called from the read's completion, with no lock held: the reader may go on at once.
  if (waiter) waiter->resumeNow(std::move(first));
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

std::size_t FrameConnection::bytesOutstanding() const {
  return bytesOutstanding_.load(std::memory_order_relaxed);
}

// The payload moves into the stream's write queue behind its six header bytes; the stream's
// one writer puts both out together. What is queued counts against the high-water mark until
// the stream has taken it.
bool FrameConnection::admit(std::size_t length, SendHandler& handler) {
  if (std::int64_t(length) > protocol::DeckProtocol::maxFramePayload) {
    auto error = TransportError::protocolViolation(ProtocolError::oversized(std::int64_t(length)));
    std::move(handler)(std::make_exception_ptr(std::move(error)));
    return false;
  }
  const std::size_t size = protocol::FrameHeader::size + length;
  bool refused;
  std::size_t outstanding = bytesOutstanding_.load(std::memory_order_relaxed);
  do {
    refused = outstanding + size > options_.sendHighWater;
  } while (!refused && !bytesOutstanding_.compare_exchange_weak(outstanding, outstanding + size,
                                                                std::memory_order_relaxed));
  if (refused) {
    auto error = TransportError::connectionFailed("send queue full");
    std::move(handler)(std::make_exception_ptr(std::move(error)));
    return false;
  }
  return true;
}

std::shared_ptr<FrameConnection::PendingSend> FrameConnection::pending(
    std::size_t size, SendHandler handler, boost::asio::any_io_executor executor) {
  return PendingSend::make(shared_from_this(), size, std::move(handler), std::move(executor));
}

// The payload moves into the stream's write queue behind its six header bytes; the stream's
// one writer puts both out together. What is queued counts against the high-water mark until
// the stream has taken it.
void FrameConnection::startSend(Frame frame, SendHandler handler,
                                boost::asio::any_io_executor executor) {
  const std::size_t length = frame.payload.size();
  if (!admit(length, handler)) return;
  Bytes header(protocol::FrameHeader::size);
  Frame::encodeHeader(frame.channel, frame.flags, length, header.data());
  auto sending =
      pending(protocol::FrameHeader::size + length, std::move(handler), std::move(executor));
  connection_->write(
      std::move(header), std::move(frame.payload),
      [sending](std::optional<std::string> error) { sending->written(std::move(error)); });
}

void FrameConnection::startSend(protocol::PooledFrame frame, SendHandler handler,
                                boost::asio::any_io_executor executor) {
  const std::size_t length = frame.payload.size();
  if (!admit(length, handler)) return;
  if (frame.payload.roomInFront() < protocol::FrameHeader::size) {
    frame.payload = runtime::PooledBytes::oneOff(frame.payload.view(), protocol::FrameHeader::size);
  }
  Frame::encodeHeader(frame.channel, frame.flags, length,
                      frame.payload.prepend(protocol::FrameHeader::size).data());
  // The record itself goes with the write: nothing is allocated to say it is done.
  connection_->write(std::move(frame.payload), pending(protocol::FrameHeader::size + length,
                                                       std::move(handler), std::move(executor)));
}

ControlEnvelope FrameConnection::envelope(ControlMessage message) {
  std::lock_guard lock(mutex_);
  return ControlEnvelope(std::move(message), state_.counter);
}

boost::asio::awaitable<void> FrameConnection::send(ControlMessage message) {
  auto envelope = this->envelope(std::move(message));
  std::optional<Frame> frame;
  try {
    frame = envelope.frame();
  } catch (const ProtocolError& e) {
    throw TransportError::protocolViolation(e);
  }
  co_await asyncSend(std::move(*frame), asio::use_awaitable);
}

boost::asio::awaitable<void> FrameConnection::send(Frame frame) {
  co_await asyncSend(std::move(frame), asio::use_awaitable);
}

void FrameConnection::sendControl(ControlMessage message) {
  auto envelope = this->envelope(std::move(message));
  std::optional<Frame> frame;
  try {
    frame = envelope.frame();
  } catch (const ProtocolError&) {
    transportLog().error("Cannot encode %s", std::string(envelope.message.type()).c_str());
    return;
  }
  asyncSend(std::move(*frame), [](std::exception_ptr error) {
    if (error) transportLog().debug("Send failed: %s", runtime::describe(error).c_str());
  });
}

void FrameConnection::send(Frame&& frame, Completion completion) {
  asyncSend(std::move(frame), [completion = std::move(completion)](std::exception_ptr error) {
    if (error) {
      completion(TransportError::from(error));
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
    transportLog().debug("Send failed: %s", runtime::describe(std::current_exception()).c_str());
  }
}

boost::asio::awaitable<void> FrameConnection::close(std::optional<std::string> reason) {
  if (isClosed()) co_return;
  if (reason) co_await sendBye(*reason);
  settle({TransportError::closed()}, reason.value_or("closed"));
  connection_->cancel();
}

}  // namespace brindlet::transport
