#include <gtest/gtest.h>

#include <deque>
#include <variant>

#include <boost/asio/post.hpp>

#include "support/Loop.h"
#include "transport/USBMuxHarness.h"

namespace brindlet::transport {
namespace {

using namespace testing;
using runtime::ByteStream;
using runtime::ByteView;

Bytes resultReply(std::int64_t code) {
  return usbmuxWire(
      plistDict("<key>MessageType</key><string>Result</string><key>Number</key>"
                "<integer>" +
                std::to_string(code) + "</integer>"));
}

Bytes header(std::uint32_t length) {
  Bytes out;
  for (int shift = 0; shift < 32; shift += 8) out.push_back(std::uint8_t(length >> shift));
  out.resize(16, 0);
  return out;
}

Bytes slice(const Bytes& bytes, std::size_t from, std::size_t to) {
  return Bytes(bytes.begin() + from, bytes.begin() + std::min(to, bytes.size()));
}

using Outcome = std::variant<USBMuxMessage, TransportError>;

asio::awaitable<void> readAll(std::shared_ptr<MuxChannel> channel,
                              std::shared_ptr<std::vector<Outcome>> out) {
  for (;;) {
    try {
      out->push_back(co_await channel->readMessage());
    } catch (const TransportError& e) {
      out->push_back(e);
      co_return;
    }
  }
}

// Each chunk reaches the reader as one read: the loop is drained between chunks.
TEST(MuxChannel, PutsMessagesTogetherAcrossChunks) {
  const auto first = resultReply(0);
  const auto second = resultReply(5);
  struct Case {
    const char* name;
    std::vector<Bytes> chunks;
    enum { end, fail, none } then;
    std::vector<Outcome> expected;
  };
  const USBMuxMessage ok{USBMuxMessage::Result{0}}, five{USBMuxMessage::Result{5}};
  const Case cases[] = {
      {"two messages in one chunk",
       {joined({first, second})},
       Case::end,
       {ok, five, TransportError::closed()}},
      {"a chunk ends one message and starts the next",
       {joined({first, slice(second, 0, 10)}), slice(second, 10, 30), slice(second, 30, 9999)},
       Case::end,
       {ok, five, TransportError::closed()}},
      {"one byte at a time",
       [&] {
         std::vector<Bytes> bytes;
         for (auto b : first) bytes.push_back({b});
         return bytes;
       }(),
       Case::end,
       {ok, TransportError::closed()}},
      {"declared length 12", {header(12)}, Case::none, {TransportError::usbmux("bad length 12")}},
      {"declared length over the cap, refused before its bytes come",
       {header(1024 * 1024 + 1)},
       Case::none,
       {TransportError::usbmux("bad length 1048577")}},
      {"more declared than ever comes, then the end",
       {slice(first, 0, first.size() - 1)},
       Case::end,
       {TransportError::closed()}},
      {"more declared than ever comes, then a failure",
       {slice(first, 0, 20)},
       Case::fail,
       {TransportError::usbmux("Connection reset by peer")}},
      {"an undecodable message",
       {usbmuxWire("junk")},
       Case::none,
       {TransportError::usbmux("unreadable message")}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    asio::io_context io;
    auto [local, peer] = runtime::MemoryByteStream::pair(io.get_executor());
    auto channel = std::make_shared<MuxChannel>(local);
    auto seen = std::make_shared<std::vector<Outcome>>();
    runtime::spawn(io.get_executor(), readAll(channel, seen));
    brindlet::testing::drain(io);
    for (const auto& chunk : c.chunks) {
      peer->write(chunk, [](auto) {});
      brindlet::testing::drain(io);
    }
    if (c.then == Case::end) peer->finishWriting();
    if (c.then == Case::fail) local->failReads("Connection reset by peer");
    brindlet::testing::drain(io);
    EXPECT_EQ(*seen, c.expected);
    peer->cancel();
    local->cancel();
    brindlet::testing::drain(io);
  }
}

// A stream whose reads complete as scripted, to play every answer the platform may give.
class ScriptedReads : public ByteStream {
 public:
  struct Read {
    Bytes bytes;
    bool endOfStream;
    std::optional<std::string> error;
  };
  ScriptedReads(asio::any_io_executor executor, Read read)
      : executor_(std::move(executor)), read_(std::move(read)) {}
  asio::any_io_executor executor() const override { return executor_; }
  void setStateHandler(StateHandler) override {}
  void start() override {}
  void read(std::size_t, ReadCompletion completion) override {
    asio::post(executor_,
               [this, completion] { completion(read_.bytes, read_.endOfStream, read_.error); });
  }
  void write(Bytes, WriteCompletion completion) override { completion("Broken pipe"); }
  void write(Bytes, Bytes, WriteCompletion completion) override { completion("Broken pipe"); }
  void cancel() override {}
  runtime::Endpoint remoteEndpoint() const override { return runtime::Endpoint::other("script"); }

 private:
  asio::any_io_executor executor_;
  Read read_;
};

// An error or the end alone: the chunks above.
TEST(MuxChannel, JudgesEachReceiveAndSend) {
  struct Case {
    const char* name;
    ScriptedReads::Read read;
    std::variant<Bytes, TransportError> expected;
  };
  const Case cases[] = {
      {"bytes", {{1, 2}, false, std::nullopt}, Bytes{1, 2}},
      {"bytes with the end", {{1}, true, std::nullopt}, Bytes{1}},
      {"bytes with an error", {{3}, false, "boom"}, Bytes{3}},
      {"nothing at all", {{}, false, std::nullopt}, TransportError::usbmux("no data")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    asio::io_context io;
    MuxChannel channel(std::make_shared<ScriptedReads>(io.get_executor(), c.read));
    std::variant<Bytes, TransportError> got = Bytes{};
    try {
      got = brindlet::testing::runUntilDone(io, channel.receiveChunk());
    } catch (const TransportError& e) {
      got = e;
    }
    EXPECT_EQ(got, c.expected);
  }
  asio::io_context io;
  MuxChannel channel(std::make_shared<ScriptedReads>(io.get_executor(), ScriptedReads::Read{}));
  try {
    brindlet::testing::runUntilDone(io, channel.send(Bytes{1}));
    ADD_FAILURE() << "sent";
  } catch (const TransportError& e) {
    EXPECT_EQ(e, TransportError::usbmux("Broken pipe"));
  }
}

TEST(USBMuxClient, ListenReportsAttachAndDetachInEveryReplyForm) {
  struct Case {
    PlistFormat format;
    bool split;
  };
  const Case cases[] = {{PlistFormat::xml, false},
                        {PlistFormat::binary, false},
                        {PlistFormat::xml, true},
                        {PlistFormat::binary, true}};
  const USBMuxDevice present{1, "serial-1", "USB"}, plugged{2, "serial-2", "Network"};
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << int(c.format) << " split " << c.split);
    USBMuxHarness h;
    h.daemon->configure([&](auto& s) {
      s.format = c.format;
      s.splitReplies = c.split;
    });
    h.daemon->attach(present);
    auto events = h.client.events(h.io.get_executor());
    EXPECT_TRUE(h.run(events.listening()));
    EXPECT_EQ(h.run(events.next()), USBMuxEvent::attached(present));
    h.daemon->attach(plugged);
    EXPECT_EQ(h.run(events.next()), USBMuxEvent::attached(plugged));
    h.daemon->detach(1);
    EXPECT_EQ(h.run(events.next()), USBMuxEvent::detached(1));
    ASSERT_EQ(h.daemon->requests().size(), 1u);
    EXPECT_EQ(h.daemon->requests()[0], (USBMuxMessage{USBMuxMessage::Listen{}}));
  }
}

// A refused Listen and a missing daemon: the host transport's watcher (HostTransportUsbTests).
TEST(USBMuxClient, ListenFailuresEndTheStreamWithTheirError) {
  struct Case {
    const char* name;
    std::function<void(USBMuxHarness&)> arrange;
    TransportError expected;
  };
  const auto attached = usbmuxWire(plistDict(
      "<key>MessageType</key><string>Attached</string><key>DeviceID</key><integer>1</integer>"));
  const Case cases[] = {
      {"a result without a number",
       [](auto& h) { h.daemon->configure([](auto& s) { s.listenResult = std::nullopt; }); },
       TransportError::usbmux("Listen refused")},
      {"an event instead of a result",
       [&](auto& h) { h.daemon->configure([&](auto& s) { s.scriptedReplies = {attached}; }); },
       TransportError::usbmux("Listen refused")},
      {"a reply of declared length 12",
       [](auto& h) { h.daemon->configure([](auto& s) { s.scriptedReplies = {header(12)}; }); },
       TransportError::usbmux("bad length 12")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    USBMuxHarness h;
    c.arrange(h);
    auto events = h.client.events(h.io.get_executor());
    EXPECT_FALSE(h.run(events.listening()));
    auto failure = failureOf(h, events.next());
    ASSERT_TRUE(failure);
    EXPECT_EQ(*failure, c.expected);
  }
}

TEST(USBMuxClient, BytesRightBehindTheReplyAreTheLinksFirstFrames) {
  USBMuxHarness h;
  const auto hello = ControlEnvelope(1, helloOf("early phone"));
  const auto video = videoFrame(5, 9);
  h.daemon->onTunnel([](auto, auto) {});
  h.daemon->configure([&](auto& s) {
    s.afterConnectReply = joined({encoded(hello), encoded(video)});
  });
  h.daemon->attach({3, "serial-3", "USB"});
  auto link = h.run(h.client.connect(3, 9000));
  auto first = h.run(link->receive());
  ASSERT_TRUE(first);
  EXPECT_EQ(protocol::ControlEnvelope::of(*first), hello);
  auto second = h.run(link->receive());
  ASSERT_TRUE(second);
  EXPECT_EQ(*second, video);
  link->connection()->cancel();
}

TEST(USBMuxClient, RefusedTunnelsNameTheReply) {
  struct Case {
    const char* name;
    std::function<void(USBMuxHarness&)> arrange;
    std::string text;
  };
  const Case cases[] = {
      {"absent device", [](auto&) {}, "usbmuxd refused the tunnel: result(2)"},
      {"connection refused",
       [](auto& h) {
         h.daemon->attach({3, "s", "USB"});
         h.daemon->setConnectResult(3, FakeUsbmuxd::connectionRefused);
       },
       "usbmuxd refused the tunnel: result(3)"},
      {"a result without a number",
       [](auto& h) {
         h.daemon->configure([](auto& s) {
           s.scriptedReplies = {
               usbmuxWire(plistDict("<key>MessageType</key><string>Result</string>"))};
         });
       },
       "usbmuxd refused the tunnel: result(-1)"},
      {"an event instead of a result",
       [](auto& h) {
         h.daemon->configure([](auto& s) {
           s.scriptedReplies = {
               usbmuxWire(plistDict("<key>MessageType</key><string>Detached</string><key>DeviceID</"
                                    "key><integer>3</integer>"))};
         });
       },
       "usbmuxd refused the tunnel: event(detached(deviceID: 3))"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    USBMuxHarness h;
    c.arrange(h);
    auto failure = failureOf(h, h.client.connect(3, 9000));
    ASSERT_TRUE(failure);
    EXPECT_EQ(*failure, TransportError::usbmux(c.text));
    EXPECT_TRUE(h.phone.ports().empty());
  }
}

// The list itself is read by the host transport when a Listen opens again (HostTransportUsbTests).
TEST(USBMuxClient, ARefusedDeviceListNamesTheReply) {
  USBMuxHarness h;
  h.daemon->configure([&](auto& s) { s.scriptedReplies = {resultReply(1)}; });
  EXPECT_EQ(failureOf(h, h.client.devices()),
            TransportError::usbmux("usbmuxd refused the device list: result(1)"));
}

}  // namespace
}  // namespace brindlet::transport
