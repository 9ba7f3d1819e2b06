#include "transport/USBMuxClient.h"

#include <chrono>
#include <mutex>

#include <boost/asio/this_coro.hpp>

#include "runtime/OneShot.h"
#include "runtime/SocketByteStream.h"
#include "runtime/Task.h"
#include "transport/TransportError.h"

namespace brindlet::transport {
namespace {

namespace asio = boost::asio;
using runtime::Bytes;
using runtime::ByteStream;
using runtime::ByteView;

constexpr std::size_t kChunkSize = 65536;
constexpr auto kOpenTimeout = std::chrono::seconds(2);

struct Chunk {
  Bytes bytes;
  bool endOfStream = false;
  std::optional<std::string> error;
};

// The Listen connection's socket, shared by its task and by the consumer's end of the stream,
// which may come from any thread.
class ListenSlot {
 public:
  // Keeps the stream so that ending can close it; false when the consumer has already gone.
  bool hold(std::shared_ptr<ByteStream> stream) {
    std::lock_guard lock(mutex_);
    if (ended_) return false;
    stream_ = std::move(stream);
    return true;
  }
  void end() {
    std::shared_ptr<ByteStream> stream;
    {
      std::lock_guard lock(mutex_);
      ended_ = true;
      stream = std::move(stream_);
    }
    if (stream) stream->cancel();
  }
  bool ended() const {
    std::lock_guard lock(mutex_);
    return ended_;
  }

 private:
  mutable std::mutex mutex_;
  std::shared_ptr<ByteStream> stream_;
  bool ended_ = false;
};

asio::awaitable<void> readEvents(MuxChannel& channel, runtime::AsyncQueue<USBMuxEvent>& queue,
                                 runtime::OneShot<bool>& listening) {
  auto request = USBMuxWire::listenRequest();
  co_await channel.send(std::move(request));
  auto reply = co_await channel.readMessage();
  if (!reply.isSuccess()) throw TransportError::usbmux("Listen refused");
  listening.resume(true);
  for (;;) {
    auto message = co_await channel.readMessage();
    auto* event = std::get_if<USBMuxEvent>(&message.value);
    // Anything but an event (a device list, a stray result) is dropped.
    if (event && !queue.push(*event)) co_return;
  }
}

asio::awaitable<void> readListen(std::string path, std::shared_ptr<runtime::Clock> clock,
                                 runtime::AsyncQueue<USBMuxEvent>& queue, ListenSlot& slot,
                                 runtime::OneShot<bool>& listening) {
  auto executor = co_await asio::this_coro::executor;
  std::unique_ptr<MuxChannel> channel;
  try {
    channel = co_await MuxChannel::open(executor, path, clock);
  } catch (...) {
    queue.finish(std::current_exception());
    co_return;
  }
  if (!slot.hold(channel->stream())) co_return;
  try {
    co_await readEvents(*channel, queue, listening);
  } catch (...) {
    // A consumer that went away ended the socket under us: that is no failure.
    queue.finish(slot.ended() ? nullptr : std::current_exception());
  }
}

asio::awaitable<void> listen(std::string path, std::shared_ptr<runtime::Clock> clock,
                             std::shared_ptr<runtime::AsyncQueue<USBMuxEvent>> queue,
                             std::shared_ptr<ListenSlot> slot,
                             std::shared_ptr<runtime::OneShot<bool>> listening) {
  co_await readListen(std::move(path), std::move(clock), *queue, *slot, *listening);
  // However the stream ended, a Listen that was never accepted is now known not to be.
  listening->resume(false);
}

}  // namespace

MuxChannel::MuxChannel(std::shared_ptr<ByteStream> stream) : stream_(std::move(stream)) {}

MuxChannel::~MuxChannel() {
  if (!released_) stream_->cancel();
}

asio::awaitable<std::unique_ptr<MuxChannel>> MuxChannel::open(
    asio::any_io_executor executor, std::string path, std::shared_ptr<runtime::Clock> clock) {
  auto stream = runtime::UnixByteStream::dial(executor, path);
  try {
    co_await startAndWait(stream, kOpenTimeout, clock);
  } catch (const TransportError& e) {
    throw TransportError::usbmux("cannot reach usbmuxd at " + path + ": " + e.text());
  }
  co_return std::make_unique<MuxChannel>(stream);
}

asio::awaitable<void> MuxChannel::send(Bytes bytes) {
  auto shot = runtime::OneShot<std::optional<std::string>>::make();
  stream_->write(std::move(bytes),
                 [shot](std::optional<std::string> error) { shot->resume(std::move(error)); });
  auto error = co_await shot->wait();
  if (error) throw TransportError::usbmux(*error);
}

asio::awaitable<Bytes> MuxChannel::receiveChunk() {
  auto shot = runtime::OneShot<Chunk>::make();
  stream_->read(kChunkSize, [shot](ByteView bytes, bool end, std::optional<std::string> error) {
    shot->resume(Chunk{Bytes(bytes.begin(), bytes.end()), end, std::move(error)});
  });
  auto chunk = co_await shot->wait();
  if (!chunk.bytes.empty()) co_return std::move(chunk.bytes);
  if (chunk.error) throw TransportError::usbmux(*chunk.error);
  if (chunk.endOfStream) throw TransportError::closed();
  throw TransportError::usbmux("no data");
}

asio::awaitable<USBMuxMessage> MuxChannel::readMessage() {
  for (;;) {
    if (buffer_.size() >= USBMuxWire::headerSize) {
      const auto length = USBMuxWire::declaredLength(buffer_);
      // A length over the cap is refused at once rather than awaited byte by byte.
      if (length < USBMuxWire::headerSize || length > USBMuxWire::maxLength) {
        throw TransportError::usbmux("bad length " + std::to_string(length));
      }
      if (buffer_.size() >= length) {
        Bytes message(buffer_.begin(), buffer_.begin() + length);
        buffer_.erase(buffer_.begin(), buffer_.begin() + length);
        co_return USBMuxWire::decode(message);
      }
    }
    auto chunk = co_await receiveChunk();
    buffer_.insert(buffer_.end(), chunk.begin(), chunk.end());
  }
}

Bytes MuxChannel::release() {
  released_ = true;
  return std::move(buffer_);
}

void MuxChannel::cancel() {
  stream_->cancel();
}

USBMuxEvents USBMuxClient::events(const asio::any_io_executor& executor) const {
  auto queue = runtime::AsyncQueue<USBMuxEvent>::make();
  auto slot = std::make_shared<ListenSlot>();
  auto listening = runtime::OneShot<bool>::make();
  queue->onTermination([slot] { slot->end(); });
  runtime::spawn(executor, listen(path, clock, queue, slot, listening));
  return USBMuxEvents(queue, listening);
}

asio::awaitable<std::vector<USBMuxDevice>> USBMuxClient::devices() const {
  auto executor = co_await asio::this_coro::executor;
  auto channel = co_await MuxChannel::open(executor, path, clock);
  auto request = USBMuxWire::listDevicesRequest();
  co_await channel->send(std::move(request));
  auto reply = co_await channel->readMessage();
  auto* list = std::get_if<USBMuxMessage::DeviceList>(&reply.value);
  if (!list) throw TransportError::usbmux("usbmuxd refused the device list: " + reply.text());
  co_return std::move(list->devices);
}

asio::awaitable<std::shared_ptr<FrameConnection>> USBMuxClient::connect(std::int64_t deviceID,
                                                                        std::uint16_t port,
                                                                        LinkOptions options) const {
  auto executor = co_await asio::this_coro::executor;
  auto channel = co_await MuxChannel::open(executor, path, clock);
  auto request = USBMuxWire::connectRequest(deviceID, port);
  co_await channel->send(std::move(request));
  auto reply = co_await channel->readMessage();
  if (!reply.isSuccess()) {
    throw TransportError::usbmux("usbmuxd refused the tunnel: " + reply.text());
  }
  auto stream = channel->stream();
  auto leftover = channel->release();
  co_return FrameConnection::make(stream, std::move(leftover), std::move(options));
}

}  // namespace brindlet::transport
