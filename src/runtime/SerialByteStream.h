#pragma once

// Included only by byte stream implementations: it brings in Boost.Asio's strand.

#include <algorithm>
#include <functional>
#include <iterator>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include <boost/asio/bind_allocator.hpp>
#include <boost/asio/dispatch.hpp>
#include <boost/asio/io_context.hpp>
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
      : loopStrand_(loopStrandOf(executor)),
        strand_(loopStrand_ ? boost::asio::any_io_executor(*loopStrand_)
                            : boost::asio::any_io_executor(boost::asio::make_strand(executor))) {}

  boost::asio::any_io_executor executor() const override { return strand_; }
  void setStateHandler(StateHandler handler) override;
  void start() override;
  void write(Bytes bytes, WriteCompletion completion) override;
  void write(Bytes head, Bytes body, WriteCompletion completion) override;
  void write(PooledBytes bytes, WriteCompletion completion) override;
  void write(PooledBytes bytes, std::shared_ptr<WriteListener> listener) override;
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
    post([self = std::static_pointer_cast<Self>(shared_from_this()), f = std::move(f)]() mutable {
      f(*self);
    });
  }
  // The same, but at once when the caller may run on the strand now: already on it, or on its
  // loop while it is idle. For the byte path's reads and writes, which only start an operation
  // and so may run inside the caller; it saves a trip through the loop, and a thread's wake-up,
  // per frame.
  template <class Self, class F>
  void onStrandNow(F f) {
    auto run = recycled([self = std::static_pointer_cast<Self>(shared_from_this()),
                         f = std::move(f)]() mutable { f(*self); });
    if (loopStrand_) return boost::asio::dispatch(*loopStrand_, std::move(run));
    boost::asio::dispatch(strand_, std::move(run));
  }
  // Calls a completion later on the strand, never inside the caller that started the operation.
  template <class Completion, class... Args>
  void completeLater(Completion completion, Args... args) {
    post([completion = std::move(completion), ... args = std::move(args)]() mutable {
      completion(std::move(args)...);
    });
  }
  // The handler with the stream's recycled memory for what Asio allocates to carry it.
  template <class Handler>
  auto recycled(Handler handler) {
    return boost::asio::bind_allocator(HandlerAllocator<void>(memory_), std::move(handler));
  }

  // The strand over the loop's own executor type where the stream runs on an io_context: work
  // posted to it carries the stream's recycled memory all the way, and Asio asks the loop's
  // executor its properties without allocating, which it does for a type-erased one.
  using LoopStrand = boost::asio::strand<boost::asio::io_context::executor_type>;
  const std::optional<LoopStrand> loopStrand_;
  // The same strand, or one over another executor, type-erased: it runs all of the stream's work.
  const boost::asio::any_io_executor strand_;

 private:
  static std::optional<LoopStrand> loopStrandOf(const boost::asio::any_io_executor& executor) {
    if (const auto* loop = executor.target<boost::asio::io_context::executor_type>())
      return boost::asio::make_strand(*loop);
    return std::nullopt;
  }
  template <class F>
  void post(F f) {
    auto run = recycled(std::move(f));
    if (loopStrand_) return boost::asio::post(*loopStrand_, std::move(run));
    boost::asio::post(strand_, std::move(run));
  }

  // Queued writes in order: a ring that grows as needed and is never given back, so that a
  // steady stream of writes allocates nothing.
  template <class T>
  class Ring {
   public:
    bool empty() const { return count_ == 0; }
    std::size_t size() const { return count_; }
    T& operator[](std::size_t i) { return slots_[(head_ + i) % slots_.size()]; }
    T& front() { return (*this)[0]; }
    void push_back(T value) {
      if (count_ == slots_.size()) grow();
      (*this)[count_++] = std::move(value);
    }
    T takeFront() {
      T value = std::move(front());
      front() = T();
      head_ = (head_ + 1) % slots_.size();
      --count_;
      return value;
    }
    // Takes the entries from `first` on, in order.
    std::vector<T> takeFrom(std::size_t first) {
      std::vector<T> taken;
      while (count_ > first) {
        T& last = (*this)[count_ - 1];
        taken.push_back(std::move(last));
        last = T();
        --count_;
      }
      return {std::make_move_iterator(taken.rbegin()), std::make_move_iterator(taken.rend())};
    }

   private:
    void grow() {
      std::vector<T> slots(std::max<std::size_t>(8, 2 * slots_.size()));
      for (std::size_t i = 0; i < count_; ++i) slots[i] = std::move((*this)[i]);
      slots_ = std::move(slots);
      head_ = 0;
    }
    std::vector<T> slots_;
    std::size_t head_ = 0;
    std::size_t count_ = 0;
  };

  struct PendingWrite {
    Bytes head;
    Bytes body;
    PooledBytes pooled;  // instead of head and body
    WriteCompletion completion;
    std::shared_ptr<WriteListener> listener;  // instead of the completion

    void done(std::optional<std::string> error) {
      if (listener) return listener->written(std::move(error));
      completion(std::move(error));
    }
  };

  void queue(PendingWrite write);

  void writeNext();
  void finishWrites(std::optional<std::string> error);

  const std::shared_ptr<HandlerMemory> memory_ = std::make_shared<HandlerMemory>();
  StateHandler stateHandler_;
  bool started_ = false;
  bool ready_ = false;
  bool cancelled_ = false;
  std::size_t inFlight_ = 0;     // queued writes at the front whose bytes are being written
  std::vector<ByteView> parts_;  // of a gathered write
  Ring<PendingWrite> writes_;
  mutable std::mutex endpointMutex_;
  Endpoint remote_;
};

}  // namespace brindlet::runtime
