#include "runtime/SerialByteStream.h"

namespace brindlet::runtime {

namespace asio = boost::asio;

std::string SerialByteStream::abortedText() {
  return asio::error::make_error_code(asio::error::operation_aborted).message();
}

void SerialByteStream::setStateHandler(StateHandler handler) {
  onStrand<SerialByteStream>([handler = std::move(handler)](SerialByteStream& self) mutable {
    self.stateHandler_ = std::move(handler);
  });
}

void SerialByteStream::start() {
  onStrand<SerialByteStream>([](SerialByteStream& self) {
    if (self.started_ || self.cancelled_) return;
    self.started_ = true;
    self.establish();
  });
}

void SerialByteStream::write(Bytes bytes, WriteCompletion completion) {
  write({}, std::move(bytes), std::move(completion));
}

void SerialByteStream::write(Bytes head, Bytes body, WriteCompletion completion) {
  onStrandNow<SerialByteStream>(
      [head = std::move(head), body = std::move(body),
       completion = std::move(completion)](SerialByteStream& self) mutable {
        if (self.cancelled_)
          return self.completeLater(std::move(completion), std::optional(abortedText()));
        self.writes_.push_back({std::move(head), std::move(body), {}, std::move(completion)});
        self.writeNext();
      });
}

void SerialByteStream::write(PooledBytes bytes, WriteCompletion completion) {
  onStrandNow<SerialByteStream>([bytes = std::move(bytes), completion = std::move(completion)](
                                    SerialByteStream& self) mutable {
    if (self.cancelled_)
      return self.completeLater(std::move(completion), std::optional(abortedText()));
    self.writes_.push_back({{}, {}, std::move(bytes), std::move(completion)});
    self.writeNext();
  });
}

void SerialByteStream::cancel() {
  onStrand<SerialByteStream>([](SerialByteStream& self) {
    if (self.cancelled_) return;
    self.cancelled_ = true;
    self.closeTransport();
    // The write in progress completes with its own failure; the queued ones never start. The
    // entry in progress stays where it is: the transport still reads its bytes.
    const auto notStarted = self.writes_.begin() + (self.writing_ ? 1 : 0);
    std::deque<PendingWrite> queued(std::make_move_iterator(notStarted),
                                    std::make_move_iterator(self.writes_.end()));
    self.writes_.erase(notStarted, self.writes_.end());
    for (auto& w : queued) w.completion(abortedText());
    self.report(State::cancelled, {});
  });
}

Endpoint SerialByteStream::remoteEndpoint() const {
  std::lock_guard lock(endpointMutex_);
  return remote_;
}

void SerialByteStream::becomeReady(Endpoint remote) {
  {
    std::lock_guard lock(endpointMutex_);
    remote_ = std::move(remote);
  }
  ready_ = true;
  report(State::ready, {});
  writeNext();
}

void SerialByteStream::fail(const std::string& error) {
  if (!cancelled_) report(State::failed, error);
}

void SerialByteStream::report(State state, const std::string& error) {
  auto handler = stateHandler_;
  if (handler) handler(state, error);
}

void SerialByteStream::writeNext() {
  if (writing_ || !ready_ || writes_.empty() || cancelled_) return;
  writing_ = true;
  const auto& next = writes_.front();
  const bool pooled = !next.pooled.empty();
  writeOne(pooled ? ByteView() : ByteView(next.head), pooled ? next.pooled.view() : next.body,
           [self = shared_from_this()](std::optional<std::string> error) {
             // Completions arrive on the strand.
             self->writing_ = false;
             auto done = std::move(self->writes_.front());
             self->writes_.pop_front();
             done.completion(std::move(error));
             self->writeNext();
           });
}

}  // namespace brindlet::runtime
