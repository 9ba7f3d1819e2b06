#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include <boost/asio/strand.hpp>

#include "runtime/ByteStream.h"

namespace brindlet::runtime {

// One end of an in-memory duplex pair, the test double of the platform streams. What one end
// writes, the other reads, in write order and never interleaved. Cancelling one end makes the
// other read the end of the stream, as closing a socket does. The test controls let a test play
// the platform: hold the start, report states, fail reads, hold writes, half-close.
class MemoryByteStream : public ByteStream, public std::enable_shared_from_this<MemoryByteStream> {
 public:
  using Pair = std::pair<std::shared_ptr<MemoryByteStream>, std::shared_ptr<MemoryByteStream>>;

  // Two connected ends, each with its own serial executor on `executor`. With startsReady
  // false, start() reports only preparing and the test reports the rest.
  static Pair pair(const boost::asio::any_io_executor& executor, bool startsReady = true);

  boost::asio::any_io_executor executor() const override { return strand_; }
  void setStateHandler(StateHandler handler) override;
  void start() override;
  void read(std::size_t maxBytes, ReadCompletion completion) override;
  void readInto(std::span<std::uint8_t> buffer, ReadCompletion completion) override;
  void write(Bytes bytes, WriteCompletion completion) override;
  void write(Bytes head, Bytes body, WriteCompletion completion) override;
  void cancel() override;
  Endpoint remoteEndpoint() const override;

  // Test controls.
  void setRemoteEndpoint(Endpoint endpoint);
  void reportState(State state, std::string error = {});
  void failReads(std::string error);
  // While held, writes are neither delivered nor completed; releasing delivers them in order.
  void holdWrites(bool hold);
  // Ends this end's sending side: the peer reads the end of the stream after what was written.
  void finishWriting();
  // No read brings more than n bytes, however many wait: every way of cutting the stream.
  void maxReadSize(std::size_t n);
  // The first n reads and writes go through; every later one fails, as a broken link does.
  void failAfter(std::size_t n);
  bool isCancelled() const;
  std::size_t readsRequested() const;

 private:
  struct PendingRead {
    std::size_t maxBytes;
    std::span<std::uint8_t> into;  // empty: the bytes go into a buffer of their own
    ReadCompletion completion;
  };
  struct PendingWrite {
    Bytes bytes;
    WriteCompletion completion;
  };

  MemoryByteStream(const boost::asio::any_io_executor& executor, bool startsReady);
  void startRead(PendingRead read);
  bool injectedFailure();  // with the lock held: whether this operation is one that fails
  void receive(Bytes bytes);
  void endOfInput();
  void deliverWrite(PendingWrite write);
  void serveRead(std::unique_lock<std::mutex> lock);
  void post(std::function<void()> work);

  boost::asio::strand<boost::asio::any_io_executor> strand_;
  const bool startsReady_;
  mutable std::mutex mutex_;
  std::weak_ptr<MemoryByteStream> peer_;
  StateHandler stateHandler_;
  Endpoint remote_ = Endpoint::other("memory");
  Bytes inbound_;
  bool inboundEnded_ = false;
  std::optional<std::string> readError_;
  std::optional<PendingRead> pendingRead_;
  std::size_t readsRequested_ = 0;
  std::size_t maxReadSize_ = SIZE_MAX;
  std::optional<std::size_t> operationsLeft_;
  bool holdWrites_ = false;
  std::deque<PendingWrite> heldWrites_;
  bool cancelled_ = false;
};

}  // namespace brindlet::runtime
