#pragma once

#include <gtest/gtest.h>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/use_future.hpp>
#include <chrono>
#include <future>
#include <optional>

#include "protocol/Frame.h"
#include "transport/TlsStream.h"
#include "transport/TransportError.h"

namespace brindlet::transport {

namespace asio = boost::asio;
using asio::ip::tcp;

// Runs one coroutine on the loop until it ends or the time runs out.
template <class T>
std::future<T> runFor(asio::io_context& io, asio::awaitable<T> task,
                      std::chrono::seconds limit = std::chrono::seconds(10)) {
  auto future = asio::co_spawn(io, std::move(task), asio::use_future);
  io.restart();
  io.run_for(limit);
  EXPECT_EQ(future.wait_for(std::chrono::seconds(0)), std::future_status::ready) << "timed out";
  return future;
}

// The transport error a finished task ended with, if any.
template <class T>
std::optional<TransportError> errorOf(std::future<T>& future) {
  try {
    future.get();
  } catch (const TransportError& e) {
    return e;
  }
  return std::nullopt;
}

inline asio::awaitable<protocol::Frame> readFrame(TlsStream& stream) {
  protocol::FrameParser parser;
  std::uint8_t buffer[65536];
  for (;;) {
    std::size_t n = co_await stream.readSome(buffer);
    if (n == 0) throw TransportError::closed();
    auto frames = parser.push(runtime::ByteView(buffer, n));
    if (!frames.empty()) co_return frames.front();
  }
}

inline protocol::Frame sampleFrame(protocol::Channel channel, std::size_t size, std::uint8_t seed) {
  protocol::Frame frame{channel, protocol::FrameFlags::keyframe, runtime::Bytes(size)};
  for (std::size_t i = 0; i < size; ++i) frame.payload[i] = static_cast<std::uint8_t>(seed + i * 7);
  return frame;
}

inline SymmetricKey keyOf(std::size_t size, std::uint8_t fill) {
  return SymmetricKey(runtime::Bytes(size, fill));
}

}  // namespace brindlet::transport
