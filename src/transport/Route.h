#pragma once

#include <cstddef>
#include <string>

namespace brindlet::transport {

// Where a link to a phone runs: a USB device seen by usbmuxd, or Wi-Fi under the phone's
// display name (loopback links use a Wi-Fi route too). The key of the host's links.
struct Route {
  enum class Kind { usb, wifi };

  Kind kind = Kind::wifi;
  int deviceID = 0;    // usb
  std::string serial;  // usb
  std::string name;    // wifi

  static Route usb(int deviceID, std::string serial) {
    return {Kind::usb, deviceID, std::move(serial), {}};
  }
  static Route wifi(std::string name) { return {Kind::wifi, 0, {}, std::move(name)}; }

  // "USB device 3 (SERIAL)" or "Wi-Fi \"Name\"", as the logs show it.
  std::string description() const;

  friend bool operator==(const Route& a, const Route& b);
};

}  // namespace brindlet::transport

template <>
struct std::hash<brindlet::transport::Route> {
  std::size_t operator()(const brindlet::transport::Route& route) const;
};
