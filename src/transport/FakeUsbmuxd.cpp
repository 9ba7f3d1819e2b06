#include "transport/FakeUsbmuxd.h"

#include <algorithm>
#include <filesystem>

#include <plist/plist.h>
#include <boost/asio/as_tuple.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "runtime/ByteStreamReads.h"
#include "runtime/SocketByteStream.h"
#include "runtime/Task.h"
#include "transport/Handshake.h"

namespace brindlet::transport::testing {
namespace {

namespace asio = boost::asio;
using Local = asio::local::stream_protocol;
using runtime::Bytes;
using runtime::ByteStream;

struct PlistFree {
  void operator()(void* node) const { plist_free(static_cast<plist_t>(node)); }
};
using Plist = std::unique_ptr<void, PlistFree>;

void putLittleEndian(Bytes& out, std::uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8) out.push_back(std::uint8_t(value >> shift));
}

std::uint32_t littleEndianAt(const Bytes& bytes, std::size_t at) {
  return std::uint32_t(bytes[at]) | std::uint32_t(bytes[at + 1]) << 8 |
         std::uint32_t(bytes[at + 2]) << 16 | std::uint32_t(bytes[at + 3]) << 24;
}

std::string serialised(plist_t root, PlistFormat format) {
  char* data = nullptr;
  std::uint32_t length = 0;
  if (format == PlistFormat::xml) {
    plist_to_xml(root, &data, &length);
  } else {
    plist_to_bin(root, &data, &length);
  }
  std::string out(data, length);
  if (format == PlistFormat::xml) {
    plist_to_xml_free(data);
  } else {
    plist_to_bin_free(data);
  }
  return out;
}

plist_t deviceRecord(const USBMuxDevice& device) {
  plist_t properties = plist_new_dict();
  plist_dict_set_item(properties, "ConnectionType",
                      plist_new_string(device.connectionType.c_str()));
  plist_dict_set_item(properties, "DeviceID", plist_new_uint(std::uint64_t(device.id)));
  plist_dict_set_item(properties, "LocationID", plist_new_uint(0));
  plist_dict_set_item(properties, "ProductID", plist_new_uint(0x12a8));
  plist_dict_set_item(properties, "SerialNumber", plist_new_string(device.serial.c_str()));
  plist_t record = plist_new_dict();
  plist_dict_set_item(record, "DeviceID", plist_new_uint(std::uint64_t(device.id)));
  plist_dict_set_item(record, "MessageType", plist_new_string("Attached"));
  plist_dict_set_item(record, "Properties", properties);
  return record;
}

Plist resultDict(std::optional<std::int64_t> code) {
  Plist root(plist_new_dict());
  plist_dict_set_item(root.get(), "MessageType", plist_new_string("Result"));
  if (code) plist_dict_set_item(root.get(), "Number", plist_new_uint(std::uint64_t(*code)));
  return root;
}

Plist detachedDict(std::int64_t deviceID) {
  Plist root(plist_new_dict());
  plist_dict_set_item(root.get(), "MessageType", plist_new_string("Detached"));
  plist_dict_set_item(root.get(), "DeviceID", plist_new_uint(std::uint64_t(deviceID)));
  return root;
}

Plist deviceListDict(const std::vector<USBMuxDevice>& devices) {
  Plist root(plist_new_dict());
  plist_t list = plist_new_array();
  for (const auto& d : devices) plist_array_append_item(list, deviceRecord(d));
  plist_dict_set_item(root.get(), "DeviceList", list);
  return root;
}

}  // namespace

Bytes usbmuxWire(std::string_view payload, std::uint32_t tag, std::uint32_t version,
                 std::uint32_t kind) {
  Bytes out;
  putLittleEndian(out, std::uint32_t(16 + payload.size()));
  putLittleEndian(out, version);
  putLittleEndian(out, kind);
  putLittleEndian(out, tag);
  out.insert(out.end(), payload.begin(), payload.end());
  return out;
}

std::string plistDict(std::string_view entries) {
  return std::string(
             "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!DOCTYPE plist PUBLIC "
             "\"-//Apple//DTD PLIST 1.0//EN\" \"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
             "<plist version=\"1.0\"><dict>") +
         std::string(entries) + "</dict></plist>\n";
}

std::string binaryPlist(std::string_view xml) {
  plist_t parsed = nullptr;
  plist_from_xml(xml.data(), std::uint32_t(xml.size()), &parsed);
  Plist root(parsed);
  return root ? serialised(root.get(), PlistFormat::binary) : std::string();
}

struct FakeUsbmuxd::State : std::enable_shared_from_this<State> {
  asio::any_io_executor executor;
  std::string path;
  Local::acceptor acceptor;

  mutable std::mutex mutex;
  Settings settings;
  TunnelHandler tunnelHandler;
  std::map<std::int64_t, USBMuxDevice> devices;
  std::map<std::int64_t, std::int64_t> connectResults;
  std::vector<std::shared_ptr<ByteStream>> clients;
  std::vector<std::shared_ptr<ByteStream>> listeners;
  std::vector<USBMuxMessage> requests;

  State(asio::any_io_executor e, std::string p)
      : executor(std::move(e)), path(std::move(p)), acceptor(executor) {
    std::filesystem::remove(path);
    Local::endpoint endpoint(path);
    acceptor.open(endpoint.protocol());
    acceptor.bind(endpoint);
    acceptor.listen();
  }

  // Writes one reply; split into three writes when asked (the stream keeps their order).
  void send(ByteStream& stream, plist_t root, std::uint32_t tag, const Bytes& trailer = {}) {
    PlistFormat format;
    bool split;
    {
      std::lock_guard lock(mutex);
      format = settings.format;
      split = settings.splitReplies;
    }
    auto bytes = usbmuxWire(serialised(root, format), tag);
    bytes.insert(bytes.end(), trailer.begin(), trailer.end());
    writeSplit(stream, std::move(bytes), split);
  }

  static void writeSplit(ByteStream& stream, Bytes bytes, bool split) {
    if (!split || bytes.size() < 20) return stream.write(std::move(bytes), [](auto) {});
    const std::size_t cuts[] = {0, 7, 16 + (bytes.size() - 16) / 2, bytes.size()};
    for (int i = 0; i < 3; ++i) {
      stream.write(Bytes(bytes.begin() + cuts[i], bytes.begin() + cuts[i + 1]), [](auto) {});
    }
  }

  std::optional<Bytes> scripted() {
    std::lock_guard lock(mutex);
    if (settings.scriptedReplies.empty()) return std::nullopt;
    Bytes reply = std::move(settings.scriptedReplies.front());
    settings.scriptedReplies.erase(settings.scriptedReplies.begin());
    return reply;
  }

  void startListening(const std::shared_ptr<ByteStream>& stream, std::uint32_t tag) {
    std::optional<std::int64_t> result;
    std::vector<USBMuxDevice> present;
    {
      std::lock_guard lock(mutex);
      result = settings.listenResult;
      listeners.push_back(stream);
      for (const auto& [id, d] : devices) present.push_back(d);
    }
    send(*stream, resultDict(result).get(), tag);
    for (const auto& d : present) {
      Plist record(deviceRecord(d));
      send(*stream, record.get(), 0);
    }
  }

  // Answers a Connect; true when the tunnel stands and the stream now belongs to the phone.
  bool connect(const std::shared_ptr<ByteStream>& stream, const USBMuxMessage::Connect& request,
               std::uint32_t tag) {
    std::int64_t result = badDevice;
    Bytes trailer;
    TunnelHandler handler;
    {
      std::lock_guard lock(mutex);
      if (devices.count(request.deviceID)) {
        auto found = connectResults.find(request.deviceID);
        result = found == connectResults.end() ? ok : found->second;
      }
      if (result == ok) {
        trailer = settings.afterConnectReply;
        handler = tunnelHandler;
        std::erase(clients, stream);
      }
    }
    send(*stream, resultDict(result).get(), tag, trailer);
    if (result != ok) return false;
    if (handler) handler(stream, request.port);
    return true;
  }

  // Answers one request; true when the connection became a tunnel.
  bool answer(const std::shared_ptr<ByteStream>& stream, const Bytes& whole) {
    const auto tag = littleEndianAt(whole, 12);
    std::optional<USBMuxMessage> request;
    try {
      request = USBMuxWire::decode(whole);
    } catch (const std::exception&) {
      send(*stream, resultDict(badCommand).get(), tag);
      return false;
    }
    {
      std::lock_guard lock(mutex);
      requests.push_back(*request);
    }
    if (auto reply = scripted()) {
      stream->write(std::move(*reply), [](auto) {});
      return false;
    }
    if (std::holds_alternative<USBMuxMessage::Listen>(request->value)) {
      startListening(stream, tag);
    } else if (auto* c = std::get_if<USBMuxMessage::Connect>(&request->value)) {
      return connect(stream, *c, tag);
    } else if (auto* o = std::get_if<USBMuxMessage::Other>(&request->value);
               o && o->messageType == "ListDevices") {
      send(*stream, deviceListDict(presentDevices()).get(), tag);
    } else {
      send(*stream, resultDict(badCommand).get(), tag);
    }
    return false;
  }

  std::vector<USBMuxDevice> presentDevices() const {
    std::lock_guard lock(mutex);
    std::vector<USBMuxDevice> out;
    for (const auto& [id, d] : devices) out.push_back(d);
    return out;
  }

  void forget(const std::shared_ptr<ByteStream>& stream) {
    std::lock_guard lock(mutex);
    std::erase(clients, stream);
    std::erase(listeners, stream);
  }

  static asio::awaitable<void> serve(std::shared_ptr<State> self,
                                     std::shared_ptr<ByteStream> stream) {
    co_await runtime::startReady(*stream);
    for (;;) {
      auto header = co_await runtime::readExactly(*stream, 16);
      if (header.bytes.size() < 16) break;
      const auto length = littleEndianAt(header.bytes, 0);
      if (length < 16 || length > USBMuxWire::maxLength) break;
      auto body = co_await runtime::readExactly(*stream, length - 16);
      if (body.bytes.size() < length - 16) break;
      Bytes whole = std::move(header.bytes);
      whole.insert(whole.end(), body.bytes.begin(), body.bytes.end());
      if (self->answer(stream, whole)) co_return;
    }
    self->forget(stream);
    stream->cancel();
  }

  static asio::awaitable<void> acceptLoop(std::shared_ptr<State> self) {
    for (;;) {
      auto [error, socket] =
          co_await self->acceptor.async_accept(asio::as_tuple(asio::use_awaitable));
      if (error) co_return;
      auto stream = runtime::UnixByteStream::adopt(std::move(socket));
      {
        std::lock_guard lock(self->mutex);
        self->clients.push_back(stream);
      }
      runtime::spawn(self->executor, serve(self, stream));
    }
  }

  void post(std::function<void(State&)> work) {
    asio::post(executor, [self = shared_from_this(), work = std::move(work)] { work(*self); });
  }

  std::vector<std::shared_ptr<ByteStream>> listenersNow() const {
    std::lock_guard lock(mutex);
    return listeners;
  }
};

FakeUsbmuxd::FakeUsbmuxd(asio::any_io_executor executor, std::string path)
    : state_(std::make_shared<State>(std::move(executor), std::move(path))) {
  runtime::spawn(state_->executor, State::acceptLoop(state_));
}

FakeUsbmuxd::~FakeUsbmuxd() {
  shutDown();
}

const std::string& FakeUsbmuxd::path() const {
  return state_->path;
}

void FakeUsbmuxd::configure(std::function<void(Settings&)> change) {
  std::lock_guard lock(state_->mutex);
  change(state_->settings);
}

void FakeUsbmuxd::onTunnel(TunnelHandler handler) {
  std::lock_guard lock(state_->mutex);
  state_->tunnelHandler = std::move(handler);
}

void FakeUsbmuxd::attach(USBMuxDevice device) {
  state_->post([device](State& s) {
    {
      std::lock_guard lock(s.mutex);
      s.devices[device.id] = device;
    }
    Plist record(deviceRecord(device));
    for (const auto& l : s.listenersNow()) s.send(*l, record.get(), 0);
  });
}

void FakeUsbmuxd::detach(std::int64_t deviceID) {
  state_->post([deviceID](State& s) {
    {
      std::lock_guard lock(s.mutex);
      s.devices.erase(deviceID);
    }
    auto event = detachedDict(deviceID);
    for (const auto& l : s.listenersNow()) s.send(*l, event.get(), 0);
  });
}

void FakeUsbmuxd::setConnectResult(std::int64_t deviceID, std::int64_t result) {
  std::lock_guard lock(state_->mutex);
  state_->connectResults[deviceID] = result;
}

void FakeUsbmuxd::dropListeners() {
  state_->post([](State& s) {
    for (const auto& l : s.listenersNow()) {
      s.forget(l);
      l->cancel();
    }
  });
}

void FakeUsbmuxd::shutDown() {
  state_->post([](State& s) {
    boost::system::error_code ignored;
    s.acceptor.close(ignored);
    std::vector<std::shared_ptr<ByteStream>> clients;
    {
      std::lock_guard lock(s.mutex);
      clients = s.clients;
      s.clients.clear();
      s.listeners.clear();
    }
    for (const auto& c : clients) c->cancel();
    std::filesystem::remove(s.path, ignored);
  });
}

std::size_t FakeUsbmuxd::openListeners() const {
  std::lock_guard lock(state_->mutex);
  return state_->listeners.size();
}

std::vector<USBMuxMessage> FakeUsbmuxd::requests() const {
  std::lock_guard lock(state_->mutex);
  return state_->requests;
}

struct TunnelPhone::Shared {
  protocol::Hello hello;
  mutable std::mutex mutex;
  std::vector<std::uint16_t> ports;
  std::vector<protocol::Hello> greeted;
  std::vector<std::shared_ptr<FrameConnection>> links;
  std::vector<std::string> byes;
  std::size_t ended = 0;
  std::optional<runtime::Bytes> garbage;
  std::vector<std::shared_ptr<ByteStream>> garbled;  // the tunnels that got it

  static asio::awaitable<void> greet(std::shared_ptr<Shared> self,
                                     std::shared_ptr<FrameConnection> link) {
    auto computer = co_await Handshake::run(link, self->hello);
    {
      std::lock_guard lock(self->mutex);
      self->greeted.push_back(std::move(computer));
    }
    try {
      while (auto frame = co_await link->receive()) {
        if (frame->channel != protocol::Channel::control) continue;
        const auto envelope = protocol::ControlEnvelope::of(*frame);
        if (const auto* bye = envelope.message.as<protocol::Bye>()) {
          std::lock_guard lock(self->mutex);
          self->byes.push_back(bye->reason);
        }
      }
    } catch (...) {
      // A broken link ends like a closed one here.
    }
    std::lock_guard lock(self->mutex);
    ++self->ended;
  }
};

TunnelPhone::TunnelPhone(FakeUsbmuxd& daemon, protocol::Hello hello)
    : shared_(std::make_shared<Shared>()) {
  shared_->hello = std::move(hello);
  daemon.onTunnel([shared = shared_](std::shared_ptr<ByteStream> tunnel, std::uint16_t port) {
    std::optional<runtime::Bytes> garbage;
    {
      std::lock_guard lock(shared->mutex);
      shared->ports.push_back(port);
      garbage = shared->garbage;
      if (garbage) shared->garbled.push_back(tunnel);
    }
    if (garbage) {
      if (!garbage->empty())
        tunnel->write(std::move(*garbage), [](const std::optional<std::string>&) {});
      return;
    }
    auto link = FrameConnection::make(tunnel);
    {
      std::lock_guard lock(shared->mutex);
      shared->links.push_back(link);
    }
    runtime::spawn(tunnel->executor(), Shared::greet(shared, link), [](std::exception_ptr) {});
  });
}

std::vector<std::uint16_t> TunnelPhone::ports() const {
  std::lock_guard lock(shared_->mutex);
  return shared_->ports;
}

std::vector<protocol::Hello> TunnelPhone::greeted() const {
  std::lock_guard lock(shared_->mutex);
  return shared_->greeted;
}

std::vector<std::shared_ptr<FrameConnection>> TunnelPhone::links() const {
  std::lock_guard lock(shared_->mutex);
  return shared_->links;
}

std::vector<std::string> TunnelPhone::byes() const {
  std::lock_guard lock(shared_->mutex);
  return shared_->byes;
}

std::size_t TunnelPhone::ended() const {
  std::lock_guard lock(shared_->mutex);
  return shared_->ended;
}

void TunnelPhone::answerWith(std::optional<runtime::Bytes> garbage) {
  std::lock_guard lock(shared_->mutex);
  shared_->garbage = std::move(garbage);
}

namespace {

// Copies one direction until the source ends or fails, then ends both streams.
asio::awaitable<void> pump(std::shared_ptr<ByteStream> from, std::shared_ptr<ByteStream> to) {
  for (;;) {
    auto chunk = co_await runtime::readSome(*from, 65536);
    if (!chunk.bytes.empty()) to->write(std::move(chunk.bytes), [](auto) {});
    if (chunk.endOfStream || chunk.error) break;
  }
  from->cancel();
  to->cancel();
}

asio::awaitable<void> relay(std::shared_ptr<ByteStream> tunnel, std::uint16_t port) {
  auto executor = co_await asio::this_coro::executor;
  std::shared_ptr<ByteStream> phone = runtime::TcpByteStream::dial(executor, "127.0.0.1", port);
  bool ready = true;
  try {
    co_await runtime::startReady(*phone);
  } catch (const std::exception&) {
    ready = false;
  }
  if (!ready) {
    // Nobody listens at the port: the tunnel ends at once, as usbmuxd ends it.
    tunnel->cancel();
    co_return;
  }
  runtime::spawn(executor, pump(tunnel, phone), [](std::exception_ptr) {});
  runtime::spawn(executor, pump(phone, tunnel), [](std::exception_ptr) {});
}

}  // namespace

TunnelToPort::TunnelToPort(FakeUsbmuxd& daemon, std::uint16_t port) {
  daemon.onTunnel([port](std::shared_ptr<ByteStream> tunnel, std::uint16_t) {
    auto executor = tunnel->executor();
    runtime::spawn(executor, relay(std::move(tunnel), port), [](std::exception_ptr) {});
  });
}

}  // namespace brindlet::transport::testing
