#pragma once

// Included only by byte stream implementations: it brings in Boost.Asio's strand.

#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include <boost/asio/dispatch.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/strand.hpp>

#include "runtime/ByteStream.h"

namespace brindlet::runtime {

// What every byte stream shares: a serial executor that runs all its work and callbacks, the
// state handler, and a write queue whose buffers go out whole and in order. A subclass says how
// to establish, write one buffer pair and tear down its transport; all three run on the strand.
class SerialByteStream : public ByteStream, public std::enable_shared_from_this<SerialByteStream> {
 public:
  explicit SerialByteStream(const boost::asio::any_io_executor& executor)
      : strand_(boost::asio::make_strand(executor)) {}

  boost::asio::any_io_executor executor() const override { return strand_; }
  void setStateHandler(StateHandler handler) override;
  void start() override;
  void write(Bytes bytes, WriteCompletion completion) override;
  void write(Bytes head, Bytes body, WriteCompletion completion) override;
  void write(PooledBytes bytes, WriteCompletion completion) override;
  void cancel() override;
  Endpoint remoteEndpoint() const override;

  // The text of an operation that was cut short by cancel().
  static std::string abortedText();

 protected:
  using Done = std::function<void(std::optional<std::string> error)>;

  // Starts establishing; ends in becomeReady() or fail(). Called once, unless cancelled first.
  virtual void establish() = 0;
  // Writes head then body; calls done once with the error, if any.
  // Both stay valid until then.
  virtual void writeOne(ByteView head, ByteView body, Done done) = 0;
  // How many queued writes may go out together through writeGathered(); 1 writes each alone
  // through writeOne().
  virtual std::size_t gatherLimit() const { return 1; }
  // Writes the parts in order as one piece; calls done once. They stay valid until then.
  virtual void writeGathered(std::span<const ByteView> parts, Done done);
  // Closes the transport; pending operations end with their own failure. Called once.
  virtual void closeTransport() = 0;

  void becomeReady(Endpoint remote);
  void fail(const std::string& error);  // nothing once cancelled
  void report(State state, const std::string& error);
  bool cancelled() const { return cancelled_; }

  // Runs f(stream) on the strand, keeping the stream alive until then.
  template <class Self, class F>
  void onStrand(F f) {
    boost::asio::post(strand_, [self = std::static_pointer_cast<Self>(shared_from_this()),
                                f = std::move(f)]() mutable { f(*self); });
  }
  // The same, but at once when the caller may run on the strand now: already on it, or on its
  // loop while it is idle. For the byte path's reads and writes, which only start an operation
  // and so may run inside the caller; it saves a trip through the loop, and a thread's wake-up,
  // per frame.
  template <class Self, class F>
  void onStrandNow(F f) {
    boost::asio::dispatch(strand_, [self = std::static_pointer_cast<Self>(shared_from_this()),
                                    f = std::move(f)]() mutable { f(*self); });
  }
  // Calls a completion later on the strand, never inside the caller that started the operation.
  template <class Completion, class... Args>
  void completeLater(Completion completion, Args... args) {
    boost::asio::post(strand_,
                      [completion = std::move(completion), ... args = std::move(args)]() mutable {
                        completion(std::move(args)...);
                      });
  }

  boost::asio::strand<boost::asio::any_io_executor> strand_;

 private:
  struct PendingWrite {
    Bytes head;
    Bytes body;
    PooledBytes pooled;  // instead of head and body
    WriteCompletion completion;
  };

  void writeNext();
  void finishWrites(std::optional<std::string> error);

  StateHandler stateHandler_;
  bool started_ = false;
  bool ready_ = false;
  bool cancelled_ = false;
  std::size_t inFlight_ = 0;     // queued writes at the front whose bytes are being written
  std::vector<ByteView> parts_;  // of a gathered write
  std::deque<PendingWrite> writes_;
  mutable std::mutex endpointMutex_;
  Endpoint remote_;
};

}  // namespace brindlet::runtime
