#pragma once

// Loopback TCP for benchmarks of the byte path: a connected pair and a reader that discards.

#include <cstdint>
#include <utility>
#include <vector>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

namespace brindlet::bench {

// Both ends of a loopback connection without Nagle's delay: the dialling end first.
inline boost::asio::awaitable<std::pair<boost::asio::ip::tcp::socket, boost::asio::ip::tcp::socket>>
socketPair() {
  namespace asio = boost::asio;
  using asio::ip::tcp;
  auto executor = co_await asio::this_coro::executor;
  tcp::acceptor acceptor(executor, {asio::ip::address_v4::loopback(), 0});
  tcp::socket client(executor);
  co_await client.async_connect(acceptor.local_endpoint(), asio::use_awaitable);
  auto server = co_await acceptor.async_accept(asio::use_awaitable);
  client.set_option(tcp::no_delay(true));
  server.set_option(tcp::no_delay(true));
  co_return std::pair{std::move(client), std::move(server)};
}

// Both ends of a loopback connection without Nagle's delay, each on its own executor, made
// without running either: the dialling end first.
inline std::pair<boost::asio::ip::tcp::socket, boost::asio::ip::tcp::socket> blockingSocketPair(
    const boost::asio::any_io_executor& dialling, const boost::asio::any_io_executor& accepting) {
  namespace asio = boost::asio;
  using asio::ip::tcp;
  tcp::acceptor acceptor(accepting, {asio::ip::address_v4::loopback(), 0});
  tcp::socket client(dialling);
  client.connect(acceptor.local_endpoint());
  tcp::socket server(accepting);
  acceptor.accept(server);
  client.set_option(tcp::no_delay(true));
  server.set_option(tcp::no_delay(true));
  return {std::move(client), std::move(server)};
}

// Reads and drops `total` bytes. One reader at a time: its buffer is made once, so that it adds
// nothing to a round's allocations.
inline boost::asio::awaitable<void> discard(boost::asio::ip::tcp::socket& socket,
                                            std::size_t total) {
  static std::vector<std::uint8_t> buffer(1 << 20);
  for (std::size_t got = 0; got < total;) {
    got += co_await socket.async_read_some(boost::asio::buffer(buffer), boost::asio::use_awaitable);
  }
}

}  // namespace brindlet::bench
