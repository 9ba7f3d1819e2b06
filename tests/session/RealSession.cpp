#include "session/RealSession.h"

#include <sstream>
#include <stdexcept>

#include "platform/linux/media/LibavVideoEncoder.h"
#include "platform/linux/x11/RandrDisplayBackend.h"
#include "platform/linux/x11/RandrMonitorLayout.h"
#include "platform/linux/x11/X11CaptureBackend.h"
#include "platform/linux/x11/X11EventPoster.h"
#include "platform/linux/x11/X11WindowSystem.h"
#include "session/InputInjector.h"
#include "session/WindowFollower.h"
#include "streaming/DisplayStreamer.h"
#include "streaming/FakeDisplayBackend.h"
#include "streaming/VirtualDisplayManager.h"
#include "support/LoopbackHost.h"
#include "transport/HostTransport.h"
#include "transport/MemoryPairingStore.h"

namespace brindlet::session::testing {

namespace asio = boost::asio;
using namespace std::chrono_literals;

RealSession::RealSession()
    : phone({SCRIPTED_PHONE, "--name", kPhoneName, "--uid", "PHONE-1", "--port", "0", "--usb",
             "--video-out", videoFile}) {
  x.startWindowManager();
  if (!phone.waitFor("listening ", 10s) || !phone.waitFor("\n", 10s))
    throw std::runtime_error("the scripted phone did not listen: " + phone.output());
  std::istringstream listening(phone.output().substr(phone.output().find("listening ")));
  std::string word;
  listening >> word >> phonePort;
  thread = std::make_unique<runtime::LoopThread>(loop);
  await(build());
}

// Made outside the coroutine: g++ 12 warns of a mismatched delete when the factory is inlined
// into a coroutine frame.
static streaming::VideoEncoderFactory encoders() {
  return platform::media::LibavVideoEncoder::factory();
}

asio::awaitable<void> RealSession::build() {
  const auto executor = loop.context().get_executor();
  displays = co_await platform::RandrDisplayBackend::open(x.display());
  auto availability = co_await streaming::VirtualDisplayManager::probe(*displays);
  manager = std::make_shared<streaming::VirtualDisplayManager>(
      executor, availability, displays, std::make_shared<streaming::FakeSleepWakeSource>());
  streamer = streaming::DisplayStreamer::make(
      encoders(), std::make_shared<platform::X11CaptureBackend>(x.display()));
  monitors = co_await platform::RandrMonitorLayout::open(x.display());
  poster = co_await platform::X11EventPoster::open(x.display());
  windows = co_await platform::X11WindowSystem::open(x.display());
  input = std::make_shared<InputInjector>(
      InputInjector::Options{*poster, runtime::Clock::system(), defaults});
  // The follower fits windows by the phone display's scale, read from the session at arming.
  auto scale = std::make_shared<std::weak_ptr<HostSession>>();
  WindowFollower::Options options{executor, *windows, runtime::Clock::system(), defaults};
  options.scale = [scale] {
    auto s = scale->lock();
    return s ? s->displayScale() : 1.0;
  };
  follower = std::make_shared<WindowFollower>(std::move(options));

  auto settings = testsupport::loopbackHostSettings(dir.file("no-usbmuxd"));
  host = transport::HostTransport::make(executor, std::move(settings));
  HostSession::Roles roles{host,
                           std::make_shared<transport::MemoryPairingStore>(),
                           manager,
                           streamer,
                           input,
                           poster,
                           follower,
                           monitors,
                           runtime::Clock::system()};
  session = HostSession::make(executor, std::move(roles));
  *scale = session;
  co_await session->start();
}

RealSession::~RealSession() {
  phone.closeInput();
  phone.waitExit(3s);
  try {
    await(host->stop());
  } catch (...) {
  }
  onLoop([this] {
    session.reset();
    follower.reset();
  });
  // Detaching waits on the loop for the display to go.
  await(manager->detach());
  await(streamer->stop());
  thread->stop();
}

void RealSession::dial() {
  const auto seen = outputSize();
  await(host->connectLoopback(kPhoneName, phonePort));
  if (!phone.waitFor("connected(", 10s) && outputSize() == seen)
    throw std::runtime_error("the phone did not connect: " + phone.output());
}

void RealSession::tell(const std::string& command) {
  phone.write(command + "\n");
}

void RealSession::send(protocol::ControlMessage message) {
  tell("send " + protocol::ControlEnvelope(1, std::move(message)).encodedJSON());
}

std::optional<std::pair<protocol::ControlEnvelope, std::size_t>> RealSession::receive(
    std::string_view type, std::size_t from, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  const std::string marker = "received ";
  for (;;) {
    const std::string& out = phone.output();
    for (std::size_t at = out.find(marker, from); at != std::string::npos;
         at = out.find(marker, at + 1)) {
      const auto end = out.find('\n', at);
      if (end == std::string::npos) break;
      auto envelope = protocol::ControlEnvelope::decode(
          std::string_view(out).substr(at + marker.size(), end - at - marker.size()));
      if (envelope.message.type() == type) return std::pair(std::move(envelope), end + 1);
    }
    if (std::chrono::steady_clock::now() > deadline) return std::nullopt;
    phone.waitFor("\x01", 2ms);  // reads what the phone printed meanwhile
  }
}

const std::string& RealSession::output() {
  phone.waitFor("\x01", 5ms);
  return phone.output();
}

}  // namespace brindlet::session::testing
