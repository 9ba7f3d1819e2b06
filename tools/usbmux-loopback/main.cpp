// usbmux-loopback: a usbmuxd of our own that lists one device and tunnels every connection to
// it to a port on 127.0.0.1, where a phone stand-in listens.
//
//   usbmux-loopback --socket PATH --port N [--serial SERIAL]
//   usbmux-loopback --help
//
// Prints "listening PATH" once the socket takes connections; end of input, SIGINT or SIGTERM
// stop it and remove the socket. Point the app at it with USBMUXD_SOCKET_ADDRESS=UNIX:PATH.

#include <signal.h>

#include <cstdio>
#include <filesystem>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/signal_set.hpp>

#include "transport/FakeUsbmuxd.h"

namespace {

using namespace brindlet;

struct Arguments {
  std::string socket;
  std::uint16_t port = 0;
  std::string serial = "00008110-000A1B2C3D4E5F60";
  bool help = false;
};

constexpr const char* kUsage = "usage: usbmux-loopback --socket PATH --port N [--serial SERIAL]\n";
constexpr const char* kHelp =
    "A usbmuxd of its own that lists one device and tunnels every connection to it to a port on\n"
    "127.0.0.1. End of input, SIGINT or SIGTERM stop it.\n"
    "  --socket PATH      the socket it listens on (USBMUXD_SOCKET_ADDRESS=UNIX:PATH)\n"
    "  --port N           the loopback port the device's connections go to (1 to 65535)\n"
    "  --serial SERIAL    the listed device's serial number\n"
    "  --help             this text\n";

Arguments parse(int argc, char** argv) {
  Arguments a;
  for (int i = 1; i < argc; ++i) {
    const std::string flag = argv[i];
    if (flag == "--help" || flag == "-h") {
      a.help = true;
      return a;
    }
    if (i + 1 >= argc) throw std::invalid_argument(flag + " needs a value");
    const std::string value = argv[++i];
    if (flag == "--socket") {
      a.socket = value;
    } else if (flag == "--port") {
      const auto number = std::stoul(value);
      if (number == 0 || number > 65535) throw std::out_of_range("port " + value);
      a.port = static_cast<std::uint16_t>(number);
    } else if (flag == "--serial") {
      a.serial = value;
    } else {
      throw std::invalid_argument("unknown option " + flag);
    }
  }
  if (a.socket.empty() || a.port == 0) throw std::invalid_argument("--socket and --port needed");
  return a;
}

}  // namespace

int main(int argc, char** argv) {
  Arguments arguments;
  try {
    arguments = parse(argc, argv);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "usbmux-loopback: %s\n%s", error.what(), kUsage);
    return 2;
  }
  if (arguments.help) {
    std::printf("%s%s", kUsage, kHelp);
    return 0;
  }
  // Shared with the input thread, which may read its end of input after main has returned: the
  // loop it posts to must still be there then.
  auto loop = std::make_shared<boost::asio::io_context>();
  boost::asio::io_context& io = *loop;
  std::filesystem::remove(arguments.socket);
  transport::testing::FakeUsbmuxd daemon(io.get_executor(), arguments.socket);
  transport::testing::TunnelToPort tunnels(daemon, arguments.port);
  daemon.attach(transport::USBMuxDevice{1, arguments.serial, "USB"});

  boost::asio::signal_set signals(io, SIGINT, SIGTERM);
  signals.async_wait([&io](const boost::system::error_code&, int) { io.stop(); });
  // End of input stops it too: the demo's supervisor closes the pipe.
  std::thread input([loop] {
    std::string line;
    while (std::getline(std::cin, line)) {
    }
    boost::asio::post(*loop, [&io = *loop] { io.stop(); });
  });
  input.detach();

  std::printf("listening %s\n", arguments.socket.c_str());
  std::fflush(stdout);
  io.run();
  daemon.shutDown();
  std::filesystem::remove(arguments.socket);
  return 0;
}
