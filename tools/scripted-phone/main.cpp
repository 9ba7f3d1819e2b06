// scripted-phone: a phone on the phone transport for tests and demonstrations. Its flags are
// in `usage` below; lines on standard input are commands (see ScriptedPhone.h); end of input
// stops the transport and exits.

#include <unistd.h>

#include <cstdio>
#include <iostream>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/streambuf.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "FolderPairingStore.h"
#include "ScriptedPhone.h"
#include "platform/linux/avahi/AvahiServiceDiscovery.h"
#include "runtime/Log.h"
#include "transport/DeckTransport.h"
#include "transport/MemoryPairingStore.h"

namespace {

namespace asio = boost::asio;
using namespace brindlet;

const std::string usage =
    "usage: scripted-phone --name NAME [--uid UID] [--port N] [--secure-port N] [--store DIR]\n"
    "                      [--usb] [--advertise] [--no-start] [--video-out FILE] [--terse]\n"
    "\n"
    "  --name NAME        the phone's name, as the computer shows it (required)\n"
    "  --uid UID          the phone's device identity (a new one by default)\n"
    "  --port N           the plain listener's port (" +
    std::to_string(transport::DeckTransport::port) +
    " by default; 0: any free one)\n"
    "  --secure-port N    the TLS listener's port (" +
    std::to_string(transport::DeckTransport::tlsPort) +
    " by default, any free one\n"
    "                     when --port is 0; 0: any free one)\n"
    "  --store DIR        keep pairing keys in DIR across runs (in memory otherwise)\n"
    "  --usb              take plain connections from loopback addresses as USB hosts\n"
    "  --advertise        publish the TLS listener through the Avahi daemon\n"
    "  --no-start         do not listen until the \"start\" command\n"
    "  --video-out FILE   append each video frame's payload (Annex-B) to FILE\n"
    "  --terse            keep statistics for the \"stats\" command, print a channel's first\n"
    "                     frame only\n"
    "  --help             print this and exit\n"
    "\n"
    "Commands, one per line: start, stop [reason], forget, pane <w> <h> <scale>,\n"
    "touch <phase> <x> <y>, send <envelope JSON>, close [reason], stats, quit,\n"
    "stop-on-ready [reason] (the host's next displayReady is answered with a stop).\n";

struct Arguments {
  transport::ClientTransport::Settings settings;
  std::optional<std::string> store;
  std::string videoFile;
  bool start = true;
  bool terse = false;
  bool help = false;
};

// A port given after `flag`: digits only, 0 to 65535.
std::uint16_t portOf(const std::string& flag, const std::string& text) {
  const bool digits = !text.empty() && text.size() <= 5 &&
                      text.find_first_not_of("0123456789") == std::string::npos;
  if (!digits || std::stoul(text) > 65535) {
    throw std::invalid_argument(flag + " takes a port number from 0 to 65535, not \"" + text +
                                "\"");
  }
  return static_cast<std::uint16_t>(std::stoul(text));
}

Arguments parse(int argc, char** argv) {
  Arguments a;
  a.settings.localHello.proto = 1;
  a.settings.localHello.app = "scripted-phone";
  a.settings.localHello.device = "scripted";
  a.settings.advertise = false;
  for (int i = 1; i < argc; ++i) {
    const std::string flag = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) throw std::invalid_argument(flag + " needs a value");
      return argv[++i];
    };
    if (flag == "--name") {
      a.settings.localHello.name = value();
    } else if (flag == "--uid") {
      a.settings.localHello.uid = value();
    } else if (flag == "--port") {
      a.settings.port = portOf(flag, value());
    } else if (flag == "--secure-port") {
      a.settings.securePort = portOf(flag, value());
    } else if (flag == "--store") {
      a.store = value();
    } else if (flag == "--usb") {
      a.settings.loopbackIsUSB = true;
    } else if (flag == "--advertise") {
      a.settings.advertise = true;
    } else if (flag == "--video-out") {
      a.videoFile = value();
    } else if (flag == "--no-start") {
      a.start = false;
    } else if (flag == "--terse") {
      a.terse = true;
    } else if (flag == "--help" || flag == "-h") {
      a.help = true;
      return a;
    } else {
      throw std::invalid_argument("unknown argument " + flag);
    }
  }
  if (a.settings.localHello.name.empty()) throw std::invalid_argument("--name is required");
  return a;
}

void printLine(const std::string& line) {
  std::cout << line << '\n' << std::flush;
}

asio::awaitable<void> readCommands(std::shared_ptr<tools::ScriptedPhone> phone, bool start,
                                   std::shared_ptr<transport::ClientTransport> transport,
                                   asio::io_context& io) {
  if (start) {
    std::string first("start");
    co_await phone->command(std::move(first));
  }
  asio::posix::stream_descriptor input(io, ::dup(STDIN_FILENO));
  asio::streambuf buffer;
  for (;;) {
    boost::system::error_code ec;
    co_await asio::async_read_until(input, buffer, '\n',
                                    asio::redirect_error(asio::use_awaitable, ec));
    if (ec) break;
    std::istream lines(&buffer);
    std::string line;
    std::getline(lines, line);
    if (!co_await phone->command(std::move(line))) break;
  }
  std::string reason(protocol::ByeReason::backgrounded);
  co_await transport->stop(std::move(reason));
  transport->events()->cancel();
  io.stop();
}

}  // namespace

int main(int argc, char** argv) {
  Arguments arguments;
  try {
    arguments = parse(argc, argv);
  } catch (const std::exception& e) {
    std::cerr << "scripted-phone: " << e.what() << '\n' << usage;
    return 2;
  }
  if (arguments.help) {
    std::cout << usage;
    return 0;
  }
  if (arguments.store) {
    arguments.settings.store = std::make_shared<tools::FolderPairingStore>(*arguments.store);
  } else {
    arguments.settings.store = std::make_shared<transport::MemoryPairingStore>();
  }
  if (arguments.settings.advertise) {
    arguments.settings.discovery = std::make_shared<platform::AvahiServiceDiscovery>();
  }

  asio::io_context io;
  auto transport = transport::ClientTransport::make(io.get_executor(), arguments.settings);
  std::shared_ptr<tools::ScriptedPhone> phone;
  try {
    phone = std::make_shared<tools::ScriptedPhone>(transport, printLine, arguments.videoFile,
                                                   arguments.terse);
  } catch (const std::exception& e) {
    std::cerr << "scripted-phone: " << e.what() << '\n';
    return 2;
  }
  asio::co_spawn(io, phone->watchEvents(), asio::detached);
  asio::co_spawn(io, readCommands(phone, arguments.start, transport, io), asio::detached);
  asio::signal_set signals(io, SIGINT, SIGTERM);
  signals.async_wait([&](auto, int) { io.stop(); });
  io.run();
  return 0;
}
