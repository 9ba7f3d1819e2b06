#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include <boost/asio/any_io_executor.hpp>

#include "runtime/BufferPool.h"
#include "runtime/Bytes.h"

namespace brindlet::runtime {

// Where the other end of a stream is: a host (name or address text) and port, a Unix-domain
// socket path, or something else (an in-memory peer).
struct Endpoint {
  enum class Kind { hostPort, unixPath, other };

  Kind kind = Kind::other;
  std::string host;  // hostPort: a name, an IPv4 or an IPv6 address
  std::uint16_t port = 0;
  std::string path;  // unixPath, or a description for other

  static Endpoint hostPort(std::string host, std::uint16_t port) {
    return {Kind::hostPort, std::move(host), port, {}};
  }
  static Endpoint unixPath(std::string path) { return {Kind::unixPath, {}, 0, std::move(path)}; }
  static Endpoint other(std::string description) {
    return {Kind::other, {}, 0, std::move(description)};
  }

  friend bool operator==(const Endpoint&, const Endpoint&) = default;
};

// Told once that a write went out or failed, on the stream's executor: for a caller that keeps a
// record of its own per write, which then travels with the write as it is, with no completion to
// allocate.
class WriteListener {
 public:
  virtual ~WriteListener() = default;
  virtual void written(std::optional<std::string> error) = 0;
};

// Told what each read brought, on the stream's executor: for a reader that keeps one record for
// all its reads, which then travels with each read as it is, with no completion to allocate.
class ReadListener {
 public:
  virtual ~ReadListener() = default;
  // As a ReadCompletion: the bytes are valid only during the call.
  virtual void readDone(ByteView bytes, bool endOfStream, std::optional<std::string> error) = 0;
};

// One established or establishing byte stream to a peer. Every callback (state changes, read
// and write completions) runs on the stream's own serial executor. Writes are queued: each
// buffer is written whole and in order, so concurrent senders never interleave their bytes.
class ByteStream {
 public:
  enum class State { setup, waiting, preparing, ready, failed, cancelled };
  // waiting and failed come with the error's readable text; other states with an empty one.
  using StateHandler = std::function<void(State state, const std::string& error)>;
  // Bytes read (possibly none; valid only during the call), whether the peer ended its sending
  // side, and an error's text.
  using ReadCompletion =
      std::function<void(ByteView bytes, bool endOfStream, std::optional<std::string> error)>;
  using WriteCompletion = std::function<void(std::optional<std::string> error)>;

  virtual ~ByteStream() = default;

  // The serial executor that runs this stream's callbacks.
  virtual boost::asio::any_io_executor executor() const = 0;
  // Replaces the state handler; an empty one removes it.
  virtual void setStateHandler(StateHandler handler) = 0;
  // Establishes the stream (dials, or reports an adopted one ready) and reports states.
  virtual void start() = 0;
  // Reads at least one and at most maxBytes bytes. One read at a time.
  virtual void read(std::size_t maxBytes, ReadCompletion completion) = 0;
  // Reads at least one byte straight into `buffer`, which must outlive the read; the
  // completion's bytes are the front of it. Streams that can fill a caller's buffer without a
  // copy override this; the fallback copies what read() brought.
  virtual void readInto(std::span<std::uint8_t> buffer, ReadCompletion completion) {
    read(buffer.size(), [buffer, completion = std::move(completion)](
                            ByteView bytes, bool endOfStream, std::optional<std::string> error) {
      std::copy(bytes.begin(), bytes.end(), buffer.begin());
      completion(buffer.first(bytes.size()), endOfStream, std::move(error));
    });
  }
  // The same, telling a listener instead. Streams whose reads can carry it as it is override
  // this; the fallback wraps it in a completion.
  virtual void readInto(std::span<std::uint8_t> buffer, std::shared_ptr<ReadListener> listener) {
    readInto(buffer, [listener = std::move(listener)](ByteView bytes, bool endOfStream,
                                                      std::optional<std::string> error) {
      listener->readDone(bytes, endOfStream, std::move(error));
    });
  }
  virtual void write(Bytes bytes, WriteCompletion completion) = 0;
  // Writes `head` then `body` as one piece, without joining them first.
  virtual void write(Bytes head, Bytes body, WriteCompletion completion) = 0;
  // Writes bytes that sit in a pool buffer, which goes back to its pool once they are written.
  // Streams that can write from the caller's buffer override this; the fallback copies.
  virtual void write(PooledBytes bytes, WriteCompletion completion) {
    const ByteView view = bytes.view();
    write(Bytes(view.begin(), view.end()), std::move(completion));
  }
  // The same, telling a listener instead.
  virtual void write(PooledBytes bytes, std::shared_ptr<WriteListener> listener) {
    write(std::move(bytes), [listener = std::move(listener)](std::optional<std::string> error) {
      listener->written(std::move(error));
    });
  }
  // Tears the stream down: state cancelled, pending and later operations fail.
  virtual void cancel() = 0;
  virtual Endpoint remoteEndpoint() const = 0;
};

}  // namespace brindlet::runtime
