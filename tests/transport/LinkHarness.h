#pragma once

// One FrameConnection over an in-memory pair, with a raw peer end that a test writes bytes to
// and whose received frames it reads; a manual clock; and captured logs.

#include <chrono>
#include <memory>
#include <optional>
#include <vector>

#include <boost/asio/io_context.hpp>

#include "protocol/ControlEnvelope.h"
#include "protocol/Frame.h"
#include "runtime/Log.h"
#include "runtime/ManualClock.h"
#include "runtime/MemoryByteStream.h"
#include "runtime/Task.h"
#include "support/Loop.h"
#include "support/Streams.h"
#include "transport/FrameConnection.h"
#include "transport/SymmetricKey.h"

namespace brindlet::transport::testing {

namespace asio = boost::asio;
using namespace std::chrono_literals;
using protocol::Channel;
using protocol::ControlEnvelope;
using protocol::ControlMessage;
using protocol::Frame;
using runtime::Bytes;

inline Bytes encoded(const ControlEnvelope& envelope) {
  return envelope.frame().encoded();
}
inline Bytes encoded(const Frame& frame) {
  return frame.encoded();
}
inline Bytes joined(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}
inline Frame videoFrame(std::size_t size, std::uint8_t fill = 7) {
  return Frame{Channel::video, {}, Bytes(size, fill)};
}
inline protocol::Hello helloOf(std::string name, std::int64_t proto = 1) {
  protocol::Hello hello;
  hello.proto = proto;
  hello.app = "Brindlet";
  hello.device = "computer";
  hello.name = std::move(name);
  return hello;
}

inline protocol::Hello helloFor(std::string name, std::string device,
                                std::optional<std::string> uid) {
  protocol::Hello hello;
  hello.proto = 1;
  hello.app = "Brindlet";
  hello.device = std::move(device);
  hello.name = std::move(name);
  hello.uid = std::move(uid);
  return hello;
}

inline SymmetricKey keyFilled(std::uint8_t fill) {
  return SymmetricKey(runtime::Bytes(32, fill));
}

// What the raw peer end has read so far.
struct PeerView {
  std::vector<Frame> frames;
  bool ended = false;
  bool brokenStream = false;  // the bytes did not parse as frames

  std::vector<ControlEnvelope> envelopes() const {
    std::vector<ControlEnvelope> out;
    for (const auto& f : frames) {
      if (f.channel == Channel::control) out.push_back(protocol::ControlEnvelope::of(f));
    }
    return out;
  }
};

inline asio::awaitable<void> pumpPeer(std::shared_ptr<runtime::ByteStream> stream,
                                      std::shared_ptr<PeerView> view) {
  protocol::FrameParser parser;
  for (;;) {
    auto part = co_await brindlet::testing::readSome(*stream, 1 << 20);
    try {
      for (auto& f : parser.push(part.bytes)) view->frames.push_back(std::move(f));
    } catch (const protocol::ProtocolError&) {
      view->brokenStream = true;
    }
    if (part.endOfStream || part.error) break;
  }
  view->ended = true;
}

struct LinkHarness {
  asio::io_context io;
  runtime::LogCapture log;
  std::shared_ptr<runtime::ManualClock> clock = std::make_shared<runtime::ManualClock>();
  std::shared_ptr<runtime::MemoryByteStream> local, peer;
  std::shared_ptr<PeerView> seen = std::make_shared<PeerView>();
  std::shared_ptr<FrameConnection> link;

  explicit LinkHarness(Bytes leftover = {}, LinkOptions options = {}) {
    std::tie(local, peer) = runtime::MemoryByteStream::pair(io.get_executor());
    options.clock = clock;
    link = FrameConnection::make(local, std::move(leftover), options);
    runtime::spawn(io.get_executor(), pumpPeer(peer, seen));
    drain();
  }

  // Ends both streams so that no reader is left parked when the loop goes.
  ~LinkHarness() {
    peer->cancel();
    local->cancel();
    drain();
  }

  void drain() { brindlet::testing::drain(io); }
  void peerWrites(Bytes bytes) {
    peer->write(std::move(bytes), [](auto) {});
    drain();
  }
  template <class T>
  T run(asio::awaitable<T> operation) {
    return brindlet::testing::runUntilDone(io, std::move(operation));
  }

  std::vector<std::string> errors() const {
    return log.messages("transport", runtime::LogLevel::error);
  }
};

// Runs an operation as a task and keeps its outcome for the test to look at.
template <class T>
struct Outcome {
  std::optional<T> value;
  std::exception_ptr error;
  bool done = false;
};

template <class T>
asio::awaitable<void> capture(asio::awaitable<T> operation, std::shared_ptr<Outcome<T>> out) {
  try {
    out->value = co_await std::move(operation);
  } catch (...) {
    out->error = std::current_exception();
  }
  out->done = true;
}

inline std::optional<TransportError> transportErrorOf(const std::exception_ptr& e) {
  try {
    if (e) std::rethrow_exception(e);
  } catch (const TransportError& error) {
    return error;
  } catch (...) {
  }
  return std::nullopt;
}

}  // namespace brindlet::transport::testing
