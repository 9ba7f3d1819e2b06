#pragma once

// Test helpers around byte streams: connected pairs of every kind and awaitable reads.

#include <memory>
#include <optional>
#include <string>
#include <utility>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "runtime/ByteStream.h"
#include "runtime/MemoryByteStream.h"
#include "runtime/OneShot.h"
#include "runtime/SocketByteStream.h"
#include "support/TempDir.h"

namespace brindlet::testing {

namespace asio = boost::asio;
using runtime::Bytes;
using runtime::ByteStream;

enum class StreamKind { memory, tcp, unixSocket };

inline std::string nameOf(StreamKind kind) {
  switch (kind) {
    case StreamKind::memory:
      return "memory";
    case StreamKind::tcp:
      return "tcp";
    case StreamKind::unixSocket:
      return "unix";
  }
  return "?";
}

struct ReadResult {
  Bytes bytes;
  bool endOfStream = false;
  std::optional<std::string> error;
};

inline asio::awaitable<ReadResult> readSome(ByteStream& stream, std::size_t maxBytes) {
  auto shot = runtime::OneShot<ReadResult>::make();
  stream.read(maxBytes, [shot](runtime::ByteView bytes, bool end, std::optional<std::string> e) {
    shot->resume({Bytes(bytes.begin(), bytes.end()), end, std::move(e)});
  });
  co_return co_await shot->wait();
}

// Reads until `count` bytes came or the stream ended or failed.
inline asio::awaitable<ReadResult> readExactly(ByteStream& stream, std::size_t count) {
  ReadResult all;
  while (all.bytes.size() < count && !all.endOfStream && !all.error) {
    auto part = co_await readSome(stream, count - all.bytes.size());
    all.bytes.insert(all.bytes.end(), part.bytes.begin(), part.bytes.end());
    all.endOfStream = part.endOfStream;
    all.error = part.error;
  }
  co_return all;
}

// Starts the stream; the first state other than setup/preparing is returned with its error.
struct StartResult {
  ByteStream::State state;
  std::string error;
};

inline std::shared_ptr<runtime::OneShot<StartResult>> startWatching(ByteStream& stream) {
  auto shot = runtime::OneShot<StartResult>::make();
  stream.setStateHandler([shot](ByteStream::State state, const std::string& error) {
    if (state != ByteStream::State::setup && state != ByteStream::State::preparing)
      shot->resume({state, error});
  });
  stream.start();
  return shot;
}

inline asio::awaitable<void> startReady(ByteStream& stream) {
  auto result = co_await startWatching(stream)->wait();
  stream.setStateHandler(nullptr);
  if (result.state != ByteStream::State::ready)
    throw std::runtime_error("not ready: " + result.error);
}

using StreamPair = std::pair<std::shared_ptr<ByteStream>, std::shared_ptr<ByteStream>>;

// Two started, ready ends: the dialing side first, the accepting side second.
inline asio::awaitable<StreamPair> connectedPair(StreamKind kind,
                                                 const testsupport::TempDir& folder) {
  auto executor = co_await asio::this_coro::executor;
  if (kind == StreamKind::memory) {
    auto [a, b] = runtime::MemoryByteStream::pair(executor);
    co_await startReady(*a);
    co_await startReady(*b);
    co_return StreamPair{a, b};
  }
  if (kind == StreamKind::tcp) {
    asio::ip::tcp::acceptor acceptor(executor, {asio::ip::address_v4::loopback(), 0});
    auto client =
        runtime::TcpByteStream::dial(executor, "127.0.0.1", acceptor.local_endpoint().port());
    auto dialed = startWatching(*client);
    auto server =
        runtime::TcpByteStream::adopt(co_await acceptor.async_accept(asio::use_awaitable));
    co_await startReady(*server);
    co_await dialed->wait();
    client->setStateHandler(nullptr);
    co_return StreamPair{client, server};
  }
  auto path = folder.file("socket");
  asio::local::stream_protocol::acceptor acceptor(executor,
                                                  asio::local::stream_protocol::endpoint(path));
  auto client = runtime::UnixByteStream::dial(executor, path);
  auto dialed = startWatching(*client);
  auto server = runtime::UnixByteStream::adopt(co_await acceptor.async_accept(asio::use_awaitable));
  co_await startReady(*server);
  co_await dialed->wait();
  client->setStateHandler(nullptr);
  co_return StreamPair{client, server};
}

}  // namespace brindlet::testing
