#include <gtest/gtest.h>

#include "transport/DeckTransport.h"
#include "transport/TransportError.h"

namespace brindlet::transport {
namespace {

using protocol::ProtocolError;

TEST(TransportError, TextsAndEquality) {
  const std::pair<TransportError, const char*> cases[] = {
      {TransportError::connectionFailed("timed out"), R"(connectionFailed("timed out"))"},
      {TransportError::expectedHello("video frame"), R"(expectedHello("video frame"))"},
      {TransportError::protocolViolation(ProtocolError::unknownChannel(9)),
       "protocolViolation(unknownChannel(9))"},
      {TransportError::usbmux("BadVersion"), R"(usbmux("BadVersion"))"},
      {TransportError::closed(), "closed"},
      {TransportError::helloTimeout(), "helloTimeout"},
      {TransportError::wrongCode(), "wrongCode"},
      {TransportError::pairingLockedOut(), "pairingLockedOut"},
  };
  for (const auto& [error, text] : cases) {
    EXPECT_EQ(error.text(), text);
    for (const auto& [other, otherText] : cases) EXPECT_EQ(error == other, text == otherText);
  }
  EXPECT_NE(TransportError::connectionFailed("a"), TransportError::usbmux("a"));
  EXPECT_NE(TransportError::protocolViolation(ProtocolError::unknownChannel(9)),
            TransportError::protocolViolation(ProtocolError::unknownChannel(8)));
}

TEST(DeckTransport, Constants) {
  EXPECT_EQ(DeckTransport::serviceType, "_velvane._tcp");
  EXPECT_EQ(DeckTransport::port, 9000);
  EXPECT_EQ(DeckTransport::tlsPort, 9001);
  EXPECT_EQ(transportLog().category(), "transport");
}

}  // namespace
}  // namespace brindlet::transport
