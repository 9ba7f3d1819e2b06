#pragma once

// Awaitable reads and starts of a byte stream, for test doubles and tests that play a peer.

#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

#include <boost/asio/awaitable.hpp>

#include "runtime/ByteStream.h"
#include "runtime/OneShot.h"

namespace brindlet::runtime {

struct ReadResult {
  Bytes bytes;
  bool endOfStream = false;
  std::optional<std::string> error;
};

inline boost::asio::awaitable<ReadResult> readSome(ByteStream& stream, std::size_t maxBytes) {
  auto shot = OneShot<ReadResult>::make();
  stream.read(maxBytes, [shot](ByteView bytes, bool end, std::optional<std::string> e) {
    shot->resume({Bytes(bytes.begin(), bytes.end()), end, std::move(e)});
  });
  co_return co_await shot->wait();
}

// Reads until `count` bytes came or the stream ended or failed.
inline boost::asio::awaitable<ReadResult> readExactly(ByteStream& stream, std::size_t count) {
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

inline std::shared_ptr<OneShot<StartResult>> startWatching(ByteStream& stream) {
  auto shot = OneShot<StartResult>::make();
  stream.setStateHandler([shot](ByteStream::State state, const std::string& error) {
    if (state != ByteStream::State::setup && state != ByteStream::State::preparing)
      shot->resume({state, error});
  });
  stream.start();
  return shot;
}

inline boost::asio::awaitable<void> startReady(ByteStream& stream) {
  // Named first: g++ 12 may destroy a temporary inside a co_await expression twice.
  auto watching = startWatching(stream);
  auto result = co_await watching->wait();
  stream.setStateHandler(nullptr);
  if (result.state != ByteStream::State::ready)
    throw std::runtime_error("not ready: " + result.error);
}

}  // namespace brindlet::runtime
