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
  queue({std::move(head), std::move(body), {}, std::move(completion), nullptr});
}

void SerialByteStream::write(PooledBytes bytes, WriteCompletion completion) {
  queue({{}, {}, std::move(bytes), std::move(completion), nullptr});
}

void SerialByteStream::write(PooledBytes bytes, std::shared_ptr<WriteListener> listener) {
  queue({{}, {}, std::move(bytes), nullptr, std::move(listener)});
}

void SerialByteStream::queue(PendingWrite write) {
  onStrandNow<SerialByteStream>([write = std::move(write)](SerialByteStream& self) mutable {
    if (self.cancelled_) {
      return self.completeLater(
          [write = std::move(write)](std::optional<std::string> error) mutable {
            write.done(std::move(error));
          },
          std::optional(abortedText()));
    }
    self.writes_.push_back(std::move(write));
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
    auto queued = self.writes_.takeFrom(self.inFlight_);
    for (auto& w : queued) w.done(abortedText());
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
  if (inFlight_ > 0 || !ready_ || writes_.empty() || cancelled_) return;
  // The transport's completion keeps the stream alive; a pointer alone fits std::function's
  // own room, so no write allocates for it.
  auto finished = [this](std::optional<std::string> error) { finishWrites(std::move(error)); };
  const std::size_t limit = gatherLimit();
  if (limit <= 1) {
    inFlight_ = 1;
    const auto& next = writes_.front();
    const bool pooled = !next.pooled.empty();
    return writeOne(pooled ? ByteView() : ByteView(next.head),
                    pooled ? next.pooled.view() : next.body, std::move(finished));
  }
  // What has queued up meanwhile goes out together: one system call for many small frames.
  inFlight_ = std::min(writes_.size(), limit);
  parts_.clear();
  for (std::size_t i = 0; i < inFlight_; ++i) {
    const auto& w = writes_[i];
    for (const ByteView part : {ByteView(w.head), ByteView(w.body), w.pooled.view()}) {
      if (!part.empty()) parts_.push_back(part);
    }
  }
  writeGathered(parts_, std::move(finished));
}

// Completions arrive on the strand. Each entry leaves the queue before its completion runs; the
// ones still to complete count as in flight, so a write that a completion starts waits behind
// them.
void SerialByteStream::finishWrites(std::optional<std::string> error) {
  // The last completion may start the next write: this loop ends with the entries it carried.
  for (std::size_t n = inFlight_; n > 0; --n) {
    auto done = writes_.takeFront();
    --inFlight_;
    // The bytes are out: the buffer goes back to its pool before anyone hears of it, so that
    // whatever the completion starts finds it there.
    done.pooled = {};
    done.done(error);
  }
  writeNext();
}

void SerialByteStream::writeGathered(std::span<const ByteView>, Done done) {
  done("gathered writes are not supported");
}

}  // namespace brindlet::runtime
