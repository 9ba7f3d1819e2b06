#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <variant>
#include <vector>

#include "runtime/Bytes.h"

namespace brindlet::transport {

// One device as usbmuxd reports it.
struct USBMuxDevice {
  std::int64_t id = 0;                 // usbmuxd's device number
  std::string serial;                  // empty when the daemon gave none
  std::string connectionType = "USB";  // "USB" when the daemon gave none

  std::string text() const;
  friend bool operator==(const USBMuxDevice&, const USBMuxDevice&) = default;
};

// A device came or went, as a Listen connection reports it.
struct USBMuxEvent {
  struct Attached {
    USBMuxDevice device;
    friend bool operator==(const Attached&, const Attached&) = default;
  };
  struct Detached {
    std::int64_t deviceID = 0;
    friend bool operator==(const Detached&, const Detached&) = default;
  };

  std::variant<Attached, Detached> value;

  static USBMuxEvent attached(USBMuxDevice device) { return {Attached{std::move(device)}}; }
  static USBMuxEvent detached(std::int64_t deviceID) { return {Detached{deviceID}}; }

  // "attached(...)" or "detached(deviceID: n)".
  std::string text() const;
  friend bool operator==(const USBMuxEvent&, const USBMuxEvent&) = default;
};

// One decoded usbmuxd message. Decoding understands more than the client receives in practice:
// device lists and the two requests themselves decode too.
struct USBMuxMessage {
  struct Result {
    std::int64_t code = 0;
    friend bool operator==(const Result&, const Result&) = default;
  };
  struct DeviceList {
    std::vector<USBMuxDevice> devices;
    friend bool operator==(const DeviceList&, const DeviceList&) = default;
  };
  struct Connect {
    std::int64_t deviceID = 0;
    std::uint16_t port = 0;
    friend bool operator==(const Connect&, const Connect&) = default;
  };
  struct Other {
    std::string messageType;
    friend bool operator==(const Other&, const Other&) = default;
  };
  struct Listen {
    friend bool operator==(const Listen&, const Listen&) = default;
  };

  std::variant<Result, USBMuxEvent, DeviceList, Connect, Other, Listen> value;

  bool isSuccess() const {
    auto* r = std::get_if<Result>(&value);
    return r && r->code == 0;
  }
  // The value's form, e.g. "result(-1)", "event(detached(deviceID: 3))".
  std::string text() const;
  friend bool operator==(const USBMuxMessage&, const USBMuxMessage&) = default;
};

// The wire form: a 16-byte header of four little-endian 32-bit numbers (total length, version,
// message kind, tag), then a property-list dictionary.
namespace USBMuxWire {

inline constexpr std::size_t headerSize = 16;
inline constexpr std::uint32_t version = 1;
inline constexpr std::uint32_t plistMessage = 8;
inline constexpr std::uint32_t listenTag = 1;
inline constexpr std::uint32_t connectTag = 2;
inline constexpr std::uint32_t listDevicesTag = 3;
// No real message comes near this; a larger declared length is refused rather than awaited.
inline constexpr std::uint32_t maxLength = 1024 * 1024;

// A value of a request's dictionary.
using Field = std::variant<std::int64_t, std::string>;
using Fields = std::map<std::string, Field>;

// The bytes of one request: the common keys, then `fields` (which win), as an XML dictionary.
runtime::Bytes request(const std::string& messageType, std::uint32_t tag, const Fields& fields);
// The request bytes for Listen, for Connect to `port` on a device, and for the device list.
runtime::Bytes listenRequest();
runtime::Bytes connectRequest(std::int64_t deviceID, std::uint16_t port);
runtime::Bytes listDevicesRequest();

// The total length a buffered header declares (the buffer holds at least 16 bytes).
std::uint32_t declaredLength(runtime::ByteView header);

// Decodes one whole message, header included; the payload may be an XML or a binary property
// list. Throws TransportError::usbmux.
USBMuxMessage decode(runtime::ByteView message);

// A port as the PortNumber field carries it: its two bytes swapped (network byte order read as
// a little-endian number), and back.
inline std::uint16_t swapPort(std::uint16_t port) {
  return std::uint16_t((port >> 8) | (port << 8));
}

}  // namespace USBMuxWire

}  // namespace brindlet::transport
