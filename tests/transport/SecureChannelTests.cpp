#include <gtest/gtest.h>
#include <openssl/ssl.h>

#include <memory>

#include "transport/PairingCode.h"
#include "transport/SecureChannel.h"

namespace brindlet::transport {
namespace {

using SecureChannel::Key;

SymmetricKey keyOf(std::size_t size, std::uint8_t fill) {
  return SymmetricKey(runtime::Bytes(size, fill));
}

struct Outcome {
  bool clientDone = false;
  bool serverDone = false;
  std::string cipher;
  int version = 0;
  std::string identity;  // as the server saw it
};

// Runs one handshake between two in-process endpoints joined by a memory pipe.
Outcome handshake(const SecureChannel::Parameters& client,
                  const SecureChannel::Parameters& server) {
  std::unique_ptr<SSL, decltype(&SSL_free)> c(SSL_new(client.native()), SSL_free);
  std::unique_ptr<SSL, decltype(&SSL_free)> s(SSL_new(server.native()), SSL_free);
  BIO* cb = nullptr;
  BIO* sb = nullptr;
  BIO_new_bio_pair(&cb, 0, &sb, 0);
  SSL_set_bio(c.get(), cb, cb);
  SSL_set_bio(s.get(), sb, sb);
  SSL_set_connect_state(c.get());
  SSL_set_accept_state(s.get());
  Outcome out;
  for (int round = 0; round < 20; ++round) {
    int cr = SSL_do_handshake(c.get());
    int sr = SSL_do_handshake(s.get());
    out.clientDone = cr == 1;
    out.serverDone = sr == 1;
    bool cWaits = cr != 1 && SSL_get_error(c.get(), cr) == SSL_ERROR_WANT_READ;
    bool sWaits = sr != 1 && SSL_get_error(s.get(), sr) == SSL_ERROR_WANT_READ;
    if ((out.clientDone || !cWaits) && (out.serverDone || !sWaits)) break;
  }
  if (out.clientDone && out.serverDone) {
    out.cipher = SSL_get_cipher_name(c.get());
    out.version = SSL_version(c.get());
    const char* seen = SSL_get_psk_identity(s.get());
    out.identity = seen ? seen : "";
  }
  return out;
}

TEST(SecureChannel, HandshakeNeedsTheSameKeyUnderAKnownIdentity) {
  const std::string mac = "A1B2C3D4-0000-4000-8000-000000000001";
  const SymmetricKey paired = keyOf(32, 0x5A);
  const SymmetricKey code = PairingCode::derivedKey("123456", mac, "phone");
  struct Case {
    const char* name;
    std::vector<Key> dial;
    std::vector<Key> listen;
    bool succeeds;
    std::string identity;
  };
  const Case cases[] = {
      {"paired key", {{mac, paired}}, {{"other", keyOf(32, 1)}, {mac, paired}}, true, mac},
      {"pairing code", {{"pair:" + mac, code}}, {{"pair:" + mac, code}}, true, "pair:" + mac},
      {"wrong key", {{mac, keyOf(32, 0x5B)}}, {{mac, paired}}, false, ""},
      {"wrong code",
       {{"pair:" + mac, PairingCode::derivedKey("123457", mac, "phone")}},
       {{"pair:" + mac, code}},
       false,
       ""},
      {"unknown identity", {{"stranger", paired}}, {{mac, paired}}, false, ""},
      {"listener without keys", {{mac, paired}}, {}, false, ""},
      {"dialler without keys", {}, {{mac, paired}}, false, ""},
      {"first match wins", {{mac, paired}}, {{mac, paired}, {mac, keyOf(32, 2)}}, true, mac},
      {"later match unused", {{mac, paired}}, {{mac, keyOf(32, 2)}, {mac, paired}}, false, ""},
      // An empty secret is never a key: the listener goes on to the next match, the
      // dialler to its next key.
      {"empty listener key skipped",
       {{mac, paired}},
       {{mac, keyOf(0, 0)}, {mac, paired}},
       true,
       mac},
      {"empty dial key skipped",
       {{"x", keyOf(0, 0)}, {mac, paired}},
       {{"x", keyOf(0, 0)}, {mac, paired}},
       true,
       mac},
      {"only empty keys", {{mac, keyOf(0, 0)}}, {{mac, keyOf(0, 0)}}, false, ""},
      // A NUL would cut the identity short on the wire and name another peer.
      {"identity with NUL", {{std::string("ab\0c", 4), paired}}, {{"ab", paired}}, false, ""},
      {"16-byte key", {{mac, keyOf(16, 3)}}, {{mac, keyOf(16, 3)}}, true, mac},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Outcome out = handshake(SecureChannel::parameters(c.dial), SecureChannel::parameters(c.listen));
    EXPECT_EQ(out.clientDone && out.serverDone, c.succeeds);
    if (c.succeeds) {
      EXPECT_EQ(out.cipher, "ECDHE-PSK-CHACHA20-POLY1305");
      EXPECT_EQ(out.version, TLS1_2_VERSION);
      EXPECT_EQ(out.identity, c.identity);
    }
  }
}

}  // namespace
}  // namespace brindlet::transport
