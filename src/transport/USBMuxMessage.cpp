#include "transport/USBMuxMessage.h"

#include <memory>
#include <optional>

#include <plist/plist.h>

#include "runtime/Error.h"
#include "transport/TransportError.h"

namespace brindlet::transport {
namespace {

using runtime::Bytes;
using runtime::ByteView;

struct PlistFree {
  void operator()(void* node) const { plist_free(static_cast<plist_t>(node)); }
};
using Plist = std::unique_ptr<void, PlistFree>;

TransportError unreadable() {
  return TransportError::usbmux("unreadable message");
}

void putLittleEndian(Bytes& out, std::uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8) out.push_back(std::uint8_t(value >> shift));
}

std::optional<std::string> stringOf(plist_t node) {
  if (!node || plist_get_node_type(node) != PLIST_STRING) return std::nullopt;
  std::uint64_t length = 0;
  const char* text = plist_get_string_ptr(node, &length);
  return text ? std::string(text, length) : std::string();
}

// Integers are unsigned 64-bit nodes in the property list; negative numbers come back as their
// two's complement.
std::optional<std::int64_t> integerOf(plist_t node) {
  if (!node || plist_get_node_type(node) != PLIST_UINT) return std::nullopt;
  std::uint64_t value = 0;
  plist_get_uint_val(node, &value);
  return std::int64_t(value);
}

plist_t item(plist_t dictionary, const char* key) {
  return plist_dict_get_item(dictionary, key);
}

// A device record: an integer "DeviceID", and a "Properties" dictionary with the serial and the
// connection type when they are texts.
std::optional<USBMuxDevice> deviceFromRecord(plist_t record) {
  if (!record || plist_get_node_type(record) != PLIST_DICT) return std::nullopt;
  auto id = integerOf(item(record, "DeviceID"));
  if (!id) return std::nullopt;
  USBMuxDevice device;
  device.id = *id;
  plist_t properties = item(record, "Properties");
  if (properties && plist_get_node_type(properties) == PLIST_DICT) {
    device.serial = stringOf(item(properties, "SerialNumber")).value_or("");
    device.connectionType = stringOf(item(properties, "ConnectionType")).value_or("USB");
  }
  return device;
}

std::vector<USBMuxDevice> deviceListOf(plist_t root) {
  std::vector<USBMuxDevice> devices;
  plist_t list = item(root, "DeviceList");
  if (!list || plist_get_node_type(list) != PLIST_ARRAY) return devices;
  for (std::uint32_t i = 0; i < plist_array_get_size(list); ++i) {
    if (auto device = deviceFromRecord(plist_array_get_item(list, i))) devices.push_back(*device);
  }
  return devices;
}

USBMuxMessage messageOf(const std::string& kind, plist_t root) {
  if (kind == "Result") {
    return {USBMuxMessage::Result{integerOf(item(root, "Number")).value_or(-1)}};
  }
  if (kind == "Attached") {
    auto device = deviceFromRecord(root);
    if (!device) throw TransportError::usbmux("Attached without a device");
    return {USBMuxEvent::attached(*device)};
  }
  if (kind == "Detached") {
    auto id = integerOf(item(root, "DeviceID"));
    if (!id) throw TransportError::usbmux("Detached without DeviceID");
    return {USBMuxEvent::detached(*id)};
  }
  if (kind == "Listen") return {USBMuxMessage::Listen{}};
  if (kind == "Connect") {
    auto id = integerOf(item(root, "DeviceID"));
    auto port = integerOf(item(root, "PortNumber"));
    if (!id || !port) throw TransportError::usbmux("Connect without DeviceID or PortNumber");
    return {USBMuxMessage::Connect{*id, USBMuxWire::swapPort(std::uint16_t(*port))}};
  }
  if (kind == "DeviceList") return {USBMuxMessage::DeviceList{deviceListOf(root)}};
  return {USBMuxMessage::Other{kind}};
}

}  // namespace

std::string USBMuxDevice::text() const {
  return runtime::ErrorText("USBMuxDevice")
      .number("id", id)
      .text("serial", serial)
      .text("connectionType", connectionType);
}

std::string USBMuxEvent::text() const {
  if (auto* a = std::get_if<Attached>(&value)) {
    return runtime::ErrorText("attached").word("", a->device.text());
  }
  return runtime::ErrorText("detached").number("deviceID", std::get<Detached>(value).deviceID);
}

std::string USBMuxMessage::text() const {
  struct Visitor {
    std::string operator()(const Result& r) const {
      return runtime::ErrorText("result").number("", r.code);
    }
    std::string operator()(const USBMuxEvent& e) const {
      return runtime::ErrorText("event").word("", e.text());
    }
    std::string operator()(const DeviceList& l) const {
      std::string devices = "[";
      for (std::size_t i = 0; i < l.devices.size(); ++i) {
        if (i) devices += ", ";
        devices += l.devices[i].text();
      }
      return runtime::ErrorText("deviceList").word("", devices + "]");
    }
    std::string operator()(const Connect& c) const {
      return runtime::ErrorText("connect").number("deviceID", c.deviceID).number("port", c.port);
    }
    std::string operator()(const Other& o) const {
      return runtime::ErrorText("other").text("", o.messageType);
    }
    std::string operator()(const Listen&) const { return "listen"; }
  };
  return std::visit(Visitor{}, value);
}

namespace USBMuxWire {

Bytes request(const std::string& messageType, std::uint32_t tag, const Fields& fields) {
  Fields all = {{"MessageType", messageType},
                {"ProgName", std::string("Brindlet")},
                {"ClientVersionString", std::string("velvane")},
                {"kLibUSBMuxVersion", std::int64_t(3)}};
  for (const auto& [key, value] : fields) all[key] = value;

  Plist dictionary(plist_new_dict());
  for (const auto& [key, value] : all) {
    plist_t node = std::holds_alternative<std::int64_t>(value)
                       ? plist_new_uint(std::uint64_t(std::get<std::int64_t>(value)))
                       : plist_new_string(std::get<std::string>(value).c_str());
    plist_dict_set_item(dictionary.get(), key.c_str(), node);
  }
  char* xml = nullptr;
  std::uint32_t length = 0;
  plist_to_xml(dictionary.get(), &xml, &length);
  // A dictionary that would not serialise goes out with an empty payload.
  if (!xml) length = 0;

  Bytes out;
  out.reserve(headerSize + length);
  putLittleEndian(out, std::uint32_t(headerSize + length));
  putLittleEndian(out, version);
  putLittleEndian(out, plistMessage);
  putLittleEndian(out, tag);
  if (xml) {
    out.insert(out.end(), xml, xml + length);
    plist_to_xml_free(xml);
  }
  return out;
}

Bytes listenRequest() {
  return request("Listen", listenTag, {});
}

Bytes connectRequest(std::int64_t deviceID, std::uint16_t port) {
  return request("Connect", connectTag,
                 {{"DeviceID", deviceID}, {"PortNumber", std::int64_t(swapPort(port))}});
}

Bytes listDevicesRequest() {
  return request("ListDevices", listDevicesTag, {});
}

std::uint32_t declaredLength(ByteView header) {
  return std::uint32_t(header[0]) | std::uint32_t(header[1]) << 8 | std::uint32_t(header[2]) << 16 |
         std::uint32_t(header[3]) << 24;
}

USBMuxMessage decode(ByteView message) {
  if (message.size() < headerSize) throw unreadable();
  auto payload = message.subspan(headerSize);
  if (payload.empty() || payload.size() > maxLength) throw unreadable();
  plist_t parsed = nullptr;
  plist_from_memory(reinterpret_cast<const char*>(payload.data()), std::uint32_t(payload.size()),
                    &parsed);
  Plist root(parsed);
  if (!root || plist_get_node_type(root.get()) != PLIST_DICT) throw unreadable();

  auto kind = stringOf(item(root.get(), "MessageType"));
  if (!kind) {
    if (!item(root.get(), "DeviceList")) throw unreadable();
    kind = "DeviceList";
  }
  return messageOf(*kind, root.get());
}

}  // namespace USBMuxWire

}  // namespace brindlet::transport
