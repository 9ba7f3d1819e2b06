#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <numeric>
#include <thread>

#include <boost/asio/io_context.hpp>

#include "runtime/Task.h"
#include "support/Loop.h"
#include "support/Streams.h"

namespace brindlet::runtime {
namespace {

using brindlet::testing::runUntilDone;

using namespace brindlet::testing;

constexpr StreamKind kKinds[] = {StreamKind::memory, StreamKind::tcp, StreamKind::unixSocket};

TEST(ByteStream, ConcurrentWritersNeverInterleave) {
  constexpr int writers = 3, writes = 100;
  constexpr std::size_t chunk = 10000;
  for (auto kind : kKinds) {
    SCOPED_TRACE(nameOf(kind));
    asio::io_context io;
    testsupport::TempDir folder;
    auto [a, b] = runUntilDone(io, connectedPair(kind, folder));
    std::atomic<int> completed = 0;
    std::vector<std::thread> threads;
    for (int w = 0; w < writers; ++w) {
      threads.emplace_back([&, w, a = a] {
        for (int s = 0; s < writes; ++s) {
          Bytes bytes(chunk, std::uint8_t(w));
          bytes[1] = std::uint8_t(s);
          a->write(std::move(bytes), [&](std::optional<std::string> e) {
            EXPECT_FALSE(e);
            ++completed;
          });
        }
      });
    }
    auto all = runUntilDone(io, readExactly(*b, writers * writes * chunk));
    for (auto& t : threads) t.join();
    ASSERT_EQ(all.bytes.size(), writers * writes * chunk);
    std::vector<int> nextSequence(writers, 0);
    for (std::size_t at = 0; at < all.bytes.size(); at += chunk) {
      const int writer = all.bytes[at];
      ASSERT_LT(writer, writers);
      EXPECT_EQ(all.bytes[at + 1], nextSequence[writer]++) << "writes reordered";
      for (std::size_t i = 2; i < chunk; ++i) ASSERT_EQ(all.bytes[at + i], writer) << "interleaved";
    }
    drain(io);
    EXPECT_EQ(completed, writers * writes);
  }
}

// Writes that queue up while one is under way go out together; each completes once, in order,
// and a write that a completion starts goes out behind the rest. Head and body, plain and
// pooled writes keep their order; a pooled write's buffer is back in its pool by the time its
// completion runs, for whatever the completion starts.
TEST(ByteStream, QueuedWritesGoOutInOrderAndCompleteInOrder) {
  constexpr int count = 40;  // more than one gathered write takes
  for (auto kind : kKinds) {
    SCOPED_TRACE(nameOf(kind));
    asio::io_context io;
    testsupport::TempDir folder;
    auto [a, b] = runUntilDone(io, connectedPair(kind, folder));
    auto pool = BufferPool::make(8, 2, 16);
    std::vector<int> completions;
    Bytes expected;
    const std::size_t pooled = (count + 2) / 3;
    std::size_t pooledDone = 0;
    auto writeOne = [&](int i, auto& self) -> void {
      const auto value = std::uint8_t(i);
      auto done = [&, i](std::optional<std::string> e) {
        EXPECT_FALSE(e);
        completions.push_back(i);
        if (i % 3 == 0) {
          EXPECT_GE(pool->freeCount(), 16 - pooled + ++pooledDone);
        }
        if (i == 0) self(count, self);  // started by the completion that ends a write
      };
      if (i % 3 == 0) {
        auto buffer = pool->acquire();
        std::memset(buffer.payload().data(), value, 3);
        a->write(PooledBytes(std::move(buffer), 3), done);
      } else if (i % 3 == 1) {
        a->write(Bytes{value}, Bytes{value, value}, done);
      } else {
        a->write(Bytes(3, value), done);
      }
    };
    // All queued from the stream's own executor, so they pile up behind the first.
    asio::post(a->executor(), [&] {
      for (int i = 0; i < count; ++i) writeOne(i, writeOne);
    });
    for (int i = 0; i < count; ++i) expected.insert(expected.end(), 3, std::uint8_t(i));
    expected.insert(expected.end(), 3, std::uint8_t(count));
    auto all = runUntilDone(io, readExactly(*b, expected.size()));
    EXPECT_EQ(all.bytes, expected);
    drain(io);
    std::vector<int> order(count);
    std::iota(order.begin(), order.end(), 0);
    order.push_back(count);
    EXPECT_EQ(completions, order);
    EXPECT_EQ(pool->freeCount(), 16u);
  }
}

// The write queue is reused from wave to wave: a later, larger wave that starts part-way through
// it (and makes it grow) still goes out and completes in order, from another thread too.
TEST(ByteStream, WavesOfWritesKeepTheirOrderAsTheQueueWrapsAndGrows) {
  for (auto kind : kKinds) {
    SCOPED_TRACE(nameOf(kind));
    asio::io_context io;
    testsupport::TempDir folder;
    auto [a, b] = runUntilDone(io, connectedPair(kind, folder));
    auto pool = BufferPool::make(4, 6, 64);
    std::vector<int> completions;
    Bytes expected;
    int next = 0;
    for (const int wave : {5, 3, 30, 7, 50}) {
      const bool fromThread = wave % 2 == 0;
      auto queue = [&, first = next] {
        for (int i = first; i < first + wave; ++i) {
          auto buffer = pool->acquire();
          std::memset(buffer.payload().data(), i, 2);
          a->write(PooledBytes(std::move(buffer), 2), [&completions, i](auto e) {
            EXPECT_FALSE(e);
            completions.push_back(i);
          });
        }
      };
      if (fromThread) {
        std::thread(queue).join();
      } else {
        asio::post(a->executor(), queue);
      }
      for (int i = next; i < next + wave; ++i) expected.insert(expected.end(), 2, std::uint8_t(i));
      next += wave;
      auto got = runUntilDone(io, readExactly(*b, std::size_t(wave) * 2));
      EXPECT_TRUE(std::equal(got.bytes.begin(), got.bytes.end(), expected.end() - wave * 2));
      drain(io);
    }
    std::vector<int> order(static_cast<std::size_t>(next));
    std::iota(order.begin(), order.end(), 0);
    EXPECT_EQ(completions, order);
    EXPECT_EQ(pool->freeCount(), 64u);
  }
}

TEST(ByteStream, CancellingOneEndEndsThePeersStream) {
  for (auto kind : kKinds) {
    SCOPED_TRACE(nameOf(kind));
    asio::io_context io;
    testsupport::TempDir folder;
    auto [a, b] = runUntilDone(io, connectedPair(kind, folder));
    auto states = std::make_shared<std::vector<ByteStream::State>>();
    a->setStateHandler([states](ByteStream::State s, const std::string&) { states->push_back(s); });
    const std::string words = "last words";
    a->write(Bytes(words.begin(), words.end()), [](auto) {});
    a->cancel();
    auto tail = runUntilDone(io, readExactly(*b, 100));
    EXPECT_EQ(asText(tail.bytes), "last words");
    EXPECT_TRUE(tail.endOfStream);
    EXPECT_FALSE(tail.error);
    auto own = runUntilDone(io, readSome(*a, 10));
    EXPECT_TRUE(own.error);
    EXPECT_EQ(*states, std::vector<ByteStream::State>{ByteStream::State::cancelled});
    std::optional<std::string> late;
    a->write(Bytes{1}, [&](std::optional<std::string> e) { late = e; });
    drain(io);
    EXPECT_TRUE(late);
  }
}

// A reader that keeps one record for all its reads: each read lands in the caller's buffer and
// is told to the record, the peer's end comes as end of stream, a read after cancel() fails, and
// the stream lets go of the record once a read is told.
TEST(ByteStream, ReadsToldToOneListenerFillTheCallersBuffer) {
  struct Reads final : ReadListener {
    std::array<std::uint8_t, 4> buffer{};
    Bytes got;
    int told = 0;
    bool endOfStream = false;
    std::optional<std::string> error;
    void readDone(ByteView bytes, bool end, std::optional<std::string> e) override {
      if (!bytes.empty()) {
        EXPECT_EQ(bytes.data(), buffer.data());
      }
      got.insert(got.end(), bytes.begin(), bytes.end());
      endOfStream = end;
      error = std::move(e);
      ++told;
    }
  };
  for (auto kind : kKinds) {
    SCOPED_TRACE(nameOf(kind));
    asio::io_context io;
    testsupport::TempDir folder;
    auto [a, b] = runUntilDone(io, connectedPair(kind, folder));
    const std::string words = "ten bytes!";
    a->write(Bytes(words.begin(), words.end()), [](auto) {});
    a->cancel();
    auto reads = std::make_shared<Reads>();
    while (!reads->endOfStream && !reads->error) {
      const int before = reads->told;
      b->readInto(reads->buffer, reads);
      runUntil(io, [&] { return reads->told > before; });
      EXPECT_EQ(reads.use_count(), 1) << "the stream still holds the record";
    }
    EXPECT_EQ(asText(reads->got), words);
    EXPECT_FALSE(reads->error);
    b->cancel();
    b->readInto(reads->buffer, reads);
    drain(io);
    EXPECT_TRUE(reads->error);
    EXPECT_EQ(reads.use_count(), 1);
  }
}

TEST(ByteStream, RemoteEndpointsAndFailedDials) {
  asio::io_context io;
  testsupport::TempDir folder;
  auto [tcpA, tcpB] = runUntilDone(io, connectedPair(StreamKind::tcp, folder));
  EXPECT_EQ(tcpA->remoteEndpoint().kind, Endpoint::Kind::hostPort);
  EXPECT_EQ(tcpA->remoteEndpoint().host, "127.0.0.1");
  EXPECT_NE(tcpA->remoteEndpoint().port, 0);

  asio::ip::tcp::acceptor closed(io, {asio::ip::address_v4::loopback(), 0});
  const auto freePort = closed.local_endpoint().port();
  closed.close();
  struct Case {
    const char* name;
    std::shared_ptr<ByteStream> stream;
  };
  const Case cases[] = {
      {"tcp, nobody listening", TcpByteStream::dial(io.get_executor(), "127.0.0.1", freePort)},
      {"unix, no socket", UnixByteStream::dial(io.get_executor(), folder.file("none"))},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto watching = startWatching(*c.stream);
    auto result = runUntilDone(io, watching->wait());
    EXPECT_EQ(result.state, ByteStream::State::failed);
    EXPECT_FALSE(result.error.empty());
  }
}

}  // namespace
}  // namespace brindlet::runtime
