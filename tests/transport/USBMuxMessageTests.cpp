#include <gtest/gtest.h>

#include <plist/plist.h>

#include "transport/FakeUsbmuxd.h"
#include "transport/TransportError.h"
#include "transport/USBMuxMessage.h"

namespace brindlet::transport {
namespace {

using runtime::Bytes;
using testing::binaryPlist;
using testing::plistDict;
using testing::usbmuxWire;

std::uint32_t wordAt(const Bytes& bytes, std::size_t at) {
  return USBMuxWire::declaredLength(runtime::ByteView(bytes).subspan(at, 4));
}

// The request's payload read back as a dictionary: each key with its integer or text value.
std::map<std::string, std::string> payloadOf(const Bytes& request) {
  plist_t root = nullptr;
  plist_from_xml(reinterpret_cast<const char*>(request.data() + 16),
                 std::uint32_t(request.size() - 16), &root);
  std::map<std::string, std::string> out;
  plist_dict_iter it = nullptr;
  plist_dict_new_iter(root, &it);
  for (;;) {
    char* key = nullptr;
    plist_t value = nullptr;
    plist_dict_next_item(root, it, &key, &value);
    if (!key) break;
    if (plist_get_node_type(value) == PLIST_UINT) {
      std::uint64_t n = 0;
      plist_get_uint_val(value, &n);
      out[key] = std::to_string(n);
    } else {
      char* s = nullptr;
      plist_get_string_val(value, &s);
      out[key] = s ? s : "";
      free(s);
    }
    free(key);
  }
  free(it);
  plist_free(root);
  return out;
}

TEST(USBMuxWire, RequestsCarryHeaderAndKeys) {
  struct Case {
    const char* name;
    Bytes request;
    std::uint32_t tag;
    std::map<std::string, std::string> keys;
  };
  const std::map<std::string, std::string> common = {
      {"ProgName", "Brindlet"}, {"ClientVersionString", "velvane"}, {"kLibUSBMuxVersion", "3"}};
  auto with = [&](std::map<std::string, std::string> extra) {
    extra.insert(common.begin(), common.end());
    return extra;
  };
  const Case cases[] = {
      {"listen", USBMuxWire::listenRequest(), 1, with({{"MessageType", "Listen"}})},
      {"connect to 9000 swaps the port bytes", USBMuxWire::connectRequest(7, 9000), 2,
       with({{"MessageType", "Connect"}, {"DeviceID", "7"}, {"PortNumber", "10275"}})},
      {"device list", USBMuxWire::listDevicesRequest(), 3, with({{"MessageType", "ListDevices"}})},
      {"extra keys win over the common ones",
       USBMuxWire::request("ListDevices", 9, {{"ProgName", std::string("other")}}),
       9,
       {{"MessageType", "ListDevices"},
        {"ProgName", "other"},
        {"ClientVersionString", "velvane"},
        {"kLibUSBMuxVersion", "3"}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_GT(c.request.size(), 16u);
    EXPECT_EQ(wordAt(c.request, 0), c.request.size());
    EXPECT_EQ(wordAt(c.request, 4), 1u);
    EXPECT_EQ(wordAt(c.request, 8), 8u);
    EXPECT_EQ(wordAt(c.request, 12), c.tag);
    EXPECT_EQ(payloadOf(c.request), c.keys);
  }
}

const std::string kDevice =
    "<key>DeviceID</key><integer>4</integer><key>Properties</key><dict>"
    "<key>SerialNumber</key><string>abc-123</string>"
    "<key>ConnectionType</key><string>Network</string></dict>";

USBMuxMessage attachedOf(std::int64_t id, std::string serial, std::string type) {
  return {USBMuxEvent::attached({id, std::move(serial), std::move(type)})};
}

// The daemon's replies and events. Requests read back are the fake daemon's concern, seen when
// inetcat talks to it (USBMuxPeerTests).
TEST(USBMuxWire, DecodesEveryReply) {
  struct Case {
    const char* name;
    std::string entries;
    USBMuxMessage expected;
  };
  const Case cases[] = {
      {"result",
       "<key>MessageType</key><string>Result</string><key>Number</key><integer>3</integer>",
       {USBMuxMessage::Result{3}}},
      {"result without Number",
       "<key>MessageType</key><string>Result</string>",
       {USBMuxMessage::Result{-1}}},
      {"result with a text Number",
       "<key>MessageType</key><string>Result</string><key>Number</key><string>0</string>",
       {USBMuxMessage::Result{-1}}},
      {"attached", "<key>MessageType</key><string>Attached</string>" + kDevice,
       attachedOf(4, "abc-123", "Network")},
      {"attached without properties",
       "<key>MessageType</key><string>Attached</string><key>DeviceID</key><integer>5</integer>",
       attachedOf(5, "", "USB")},
      {"attached with non-text serial and type",
       "<key>MessageType</key><string>Attached</string><key>DeviceID</key><integer>6</integer>"
       "<key>Properties</key><dict><key>SerialNumber</key><integer>1</integer>"
       "<key>ConnectionType</key><true/></dict>",
       attachedOf(6, "", "USB")},
      {"detached",
       "<key>MessageType</key><string>Detached</string><key>DeviceID</key><integer>4</integer>",
       {USBMuxEvent::detached(4)}},
      {"device list keeps good records in order",
       "<key>MessageType</key><string>DeviceList</string><key>DeviceList</key><array>"
       "<dict>" +
           kDevice +
           "</dict><dict><key>DeviceID</key><string>x</string></dict>"
           "<string>junk</string><dict><key>DeviceID</key><integer>1</integer></dict></array>",
       {USBMuxMessage::DeviceList{{{4, "abc-123", "Network"}, {1, "", "USB"}}}}},
      {"device list without MessageType",
       "<key>DeviceList</key><array/>",
       {USBMuxMessage::DeviceList{}}},
      {"device list of another type",
       "<key>MessageType</key><string>DeviceList</string><key>DeviceList</key><string/>",
       {USBMuxMessage::DeviceList{}}},
      {"other", "<key>MessageType</key><string>Paired</string>", {USBMuxMessage::Other{"Paired"}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto xml = plistDict(c.entries);
    EXPECT_EQ(USBMuxWire::decode(usbmuxWire(xml)), c.expected) << c.expected.text();
    // Any version, message kind or tag in the header, and a binary payload, read alike.
    EXPECT_EQ(USBMuxWire::decode(usbmuxWire(binaryPlist(xml), 77, 0, 0)), c.expected);
  }
}

TEST(USBMuxWire, DecodeFailuresNameTheirCause) {
  struct Case {
    const char* name;
    Bytes message;
    std::string text;
  };
  const Case cases[] = {
      {"shorter than a header", Bytes(15, 0), "unreadable message"},
      {"no payload", usbmuxWire(""), "unreadable message"},
      {"not a property list", usbmuxWire("hello"), "unreadable message"},
      {"root is an array",
       usbmuxWire("<?xml version=\"1.0\"?><plist version=\"1.0\"><array/></plist>"),
       "unreadable message"},
      {"no kind", usbmuxWire(plistDict("<key>Number</key><integer>0</integer>")),
       "unreadable message"},
      {"MessageType not a text",
       usbmuxWire(plistDict("<key>MessageType</key><integer>1</integer>")), "unreadable message"},
      {"attached without DeviceID",
       usbmuxWire(plistDict("<key>MessageType</key><string>Attached</string>")),
       "Attached without a device"},
      {"detached with a text DeviceID",
       usbmuxWire(plistDict("<key>MessageType</key><string>Detached</string>"
                            "<key>DeviceID</key><string>4</string>")),
       "Detached without DeviceID"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    try {
      USBMuxWire::decode(c.message);
      ADD_FAILURE() << "decoded";
    } catch (const TransportError& e) {
      EXPECT_EQ(e, TransportError::usbmux(c.text));
    }
  }
}

}  // namespace
}  // namespace brindlet::transport
