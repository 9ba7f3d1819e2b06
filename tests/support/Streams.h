#pragma once

// Test helpers around byte streams: connected pairs of every kind, and the awaitable reads.

#include <memory>
#include <string>
#include <utility>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "runtime/ByteStream.h"
#include "runtime/ByteStreamReads.h"
#include "runtime/MemoryByteStream.h"
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

using runtime::readExactly;
using runtime::ReadResult;
using runtime::readSome;
using runtime::startReady;
using runtime::StartResult;
using runtime::startWatching;

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
