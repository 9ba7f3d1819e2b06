#include "runtime/MemoryByteStream.h"

#include <algorithm>

#include <boost/asio/error.hpp>
#include <boost/asio/post.hpp>

namespace brindlet::runtime {
namespace {

std::string abortedText() {
  return boost::asio::error::make_error_code(boost::asio::error::operation_aborted).message();
}
std::string brokenPipeText() {
  return boost::asio::error::make_error_code(boost::asio::error::broken_pipe).message();
}

std::string injectedText() {
  return "injected failure";
}

}  // namespace

MemoryByteStream::MemoryByteStream(const boost::asio::any_io_executor& executor, bool startsReady)
    : strand_(boost::asio::make_strand(executor)), startsReady_(startsReady) {}

MemoryByteStream::Pair MemoryByteStream::pair(const boost::asio::any_io_executor& executor,
                                              bool startsReady) {
  std::shared_ptr<MemoryByteStream> a(new MemoryByteStream(executor, startsReady));
  std::shared_ptr<MemoryByteStream> b(new MemoryByteStream(executor, startsReady));
  a->peer_ = b;
  b->peer_ = a;
  return {a, b};
}

void MemoryByteStream::post(std::function<void()> work) {
  boost::asio::post(strand_, [self = shared_from_this(), work = std::move(work)] { work(); });
}

void MemoryByteStream::setStateHandler(StateHandler handler) {
  std::lock_guard lock(mutex_);
  stateHandler_ = std::move(handler);
}

void MemoryByteStream::start() {
  reportState(startsReady_ ? State::ready : State::preparing);
}

void MemoryByteStream::reportState(State state, std::string error) {
  post([this, state, error = std::move(error)] {
    StateHandler handler;
    {
      std::lock_guard lock(mutex_);
      handler = stateHandler_;
    }
    if (handler) handler(state, error);
  });
}

void MemoryByteStream::read(std::size_t maxBytes, ReadCompletion completion) {
  startRead({std::max<std::size_t>(maxBytes, 1), {}, std::move(completion)});
}

void MemoryByteStream::readInto(std::span<std::uint8_t> buffer, ReadCompletion completion) {
  startRead({buffer.size(), buffer, std::move(completion)});
}

void MemoryByteStream::startRead(PendingRead read) {
  std::unique_lock lock(mutex_);
  ++readsRequested_;
  if (cancelled_ || injectedFailure()) {
    const auto error = cancelled_ ? abortedText() : injectedText();
    lock.unlock();
    post([completion = std::move(read.completion), error] { completion({}, false, error); });
    return;
  }
  pendingRead_ = std::move(read);
  serveRead(std::move(lock));
}

bool MemoryByteStream::injectedFailure() {
  if (!operationsLeft_) return false;
  if (*operationsLeft_ == 0) return true;
  --*operationsLeft_;
  return false;
}

void MemoryByteStream::serveRead(std::unique_lock<std::mutex> lock) {
  if (!pendingRead_) return;
  Bytes own;
  std::size_t n = 0;
  bool ended = false;
  std::optional<std::string> error;
  if (!inbound_.empty()) {
    n = std::min({pendingRead_->maxBytes, inbound_.size(), maxReadSize_});
    const auto end = inbound_.begin() + static_cast<std::ptrdiff_t>(n);
    if (pendingRead_->into.empty()) {
      own.assign(inbound_.begin(), end);
    } else {
      std::copy(inbound_.begin(), end, pendingRead_->into.begin());
    }
    inbound_.erase(inbound_.begin(), end);
    ended = inboundEnded_ && inbound_.empty();
  } else if (readError_) {
    error = readError_;
  } else if (inboundEnded_) {
    ended = true;
  } else {
    return;
  }
  auto read = std::move(*pendingRead_);
  pendingRead_.reset();
  lock.unlock();
  post([read = std::move(read), own = std::move(own), n, ended, error = std::move(error)] {
    const ByteView bytes = read.into.empty() ? ByteView(own) : ByteView(read.into.first(n));
    read.completion(bytes, ended, error);
  });
}

void MemoryByteStream::write(Bytes head, Bytes body, WriteCompletion completion) {
  head.insert(head.end(), body.begin(), body.end());
  write(std::move(head), std::move(completion));
}

void MemoryByteStream::write(Bytes bytes, WriteCompletion completion) {
  std::unique_lock lock(mutex_);
  if (cancelled_) {
    lock.unlock();
    post([completion = std::move(completion)] { completion(abortedText()); });
    return;
  }
  if (injectedFailure()) {
    lock.unlock();
    post([completion = std::move(completion)] { completion(injectedText()); });
    return;
  }
  if (holdWrites_) {
    heldWrites_.push_back({std::move(bytes), std::move(completion)});
    return;
  }
  lock.unlock();
  deliverWrite({std::move(bytes), std::move(completion)});
}

void MemoryByteStream::deliverWrite(PendingWrite write) {
  auto peer = peer_.lock();
  std::optional<std::string> error;
  if (peer && !peer->isCancelled()) {
    peer->receive(std::move(write.bytes));
  } else {
    error = brokenPipeText();
  }
  post([completion = std::move(write.completion), error] { completion(error); });
}

void MemoryByteStream::receive(Bytes bytes) {
  std::unique_lock lock(mutex_);
  if (cancelled_ || inboundEnded_) return;
  inbound_.insert(inbound_.end(), bytes.begin(), bytes.end());
  serveRead(std::move(lock));
}

void MemoryByteStream::endOfInput() {
  std::unique_lock lock(mutex_);
  inboundEnded_ = true;
  serveRead(std::move(lock));
}

void MemoryByteStream::failReads(std::string error) {
  std::unique_lock lock(mutex_);
  readError_ = std::move(error);
  serveRead(std::move(lock));
}

void MemoryByteStream::holdWrites(bool hold) {
  std::deque<PendingWrite> released;
  {
    std::lock_guard lock(mutex_);
    holdWrites_ = hold;
    if (!hold) released.swap(heldWrites_);
  }
  for (auto& w : released) deliverWrite(std::move(w));
}

void MemoryByteStream::finishWriting() {
  if (auto peer = peer_.lock()) peer->endOfInput();
}

void MemoryByteStream::cancel() {
  std::optional<PendingRead> read;
  std::deque<PendingWrite> held;
  {
    std::lock_guard lock(mutex_);
    if (cancelled_) return;
    cancelled_ = true;
    read.swap(pendingRead_);
    held.swap(heldWrites_);
  }
  reportState(State::cancelled);
  if (read) post([c = std::move(read->completion)] { c({}, false, abortedText()); });
  for (auto& w : held) post([c = std::move(w.completion)] { c(abortedText()); });
  finishWriting();
}

void MemoryByteStream::maxReadSize(std::size_t n) {
  std::lock_guard lock(mutex_);
  maxReadSize_ = std::max<std::size_t>(n, 1);
}

void MemoryByteStream::failAfter(std::size_t n) {
  std::lock_guard lock(mutex_);
  operationsLeft_ = n;
}

bool MemoryByteStream::isCancelled() const {
  std::lock_guard lock(mutex_);
  return cancelled_;
}

std::size_t MemoryByteStream::readsRequested() const {
  std::lock_guard lock(mutex_);
  return readsRequested_;
}

Endpoint MemoryByteStream::remoteEndpoint() const {
  std::lock_guard lock(mutex_);
  return remote_;
}

void MemoryByteStream::setRemoteEndpoint(Endpoint endpoint) {
  std::lock_guard lock(mutex_);
  remote_ = std::move(endpoint);
}

}  // namespace brindlet::runtime
