#include "support/UsbPhone.h"

#include <chrono>
#include <cstdio>
#include <stdexcept>

#include "support/Eventually.h"

namespace brindlet::testsupport {

using namespace std::chrono_literals;

UsbPhone startUsbPhone(const std::string& build, const std::string& folder, int port,
                       const std::string& name, const std::string& videoOut) {
  UsbPhone usb;
  usb.socket = folder + "/usbmuxd";
  const int secure = port == 0 ? 0 : port + 1;
  std::vector<std::string> argv{build + "/tools/scripted-phone/scripted-phone",
                                "--name",
                                name,
                                "--port",
                                std::to_string(port),
                                "--secure-port",
                                std::to_string(secure),
                                "--usb"};
  if (!videoOut.empty()) argv.insert(argv.end(), {"--video-out", videoOut});
  usb.phone = std::make_unique<ChildProcess>(std::move(argv));
  // "listening <plain> <tls>\n": the port it took.
  const auto& said = usb.phone->output();
  const auto whole = [&] {
    usb.phone->waitFor("\x01", 20ms);  // reads what it printed meanwhile
    const auto at = said.find("listening");
    return at != std::string::npos && said.find('\n', at) != std::string::npos;
  };
  if (!eventually(whole, 10s, 1ms))
    throw std::runtime_error("the scripted phone did not listen: " + said);
  int listening = 0;
  std::sscanf(said.c_str() + said.find("listening"), "listening %d", &listening);
  if (listening <= 0) throw std::runtime_error("the scripted phone said " + said);
  usb.usbmuxd = std::make_unique<ChildProcess>(
      std::vector<std::string>{build + "/tools/usbmux-loopback/usbmux-loopback", "--socket",
                               usb.socket, "--port", std::to_string(listening)});
  if (!usb.usbmuxd->waitFor("listening", 10s))
    throw std::runtime_error("the stand-in usbmuxd did not listen: " + usb.usbmuxd->output());
  return usb;
}

}  // namespace brindlet::testsupport
