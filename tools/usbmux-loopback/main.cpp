// usbmux-loopback: a usbmuxd of our own that lists one device and tunnels every connection to
// it to a port on 127.0.0.1, where a phone stand-in listens.
//
//   usbmux-loopback --socket PATH --port N [--serial SERIAL]
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
};

Arguments parse(int argc, char** argv) {
  Arguments a;
  for (int i = 1; i < argc; ++i) {
    const std::string flag = argv[i];
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
    std::fprintf(stderr, "usbmux-loopback: %s\n", error.what());
    std::fprintf(stderr, "usage: usbmux-loopback --socket PATH --port N [--serial SERIAL]\n");
    return 2;
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
