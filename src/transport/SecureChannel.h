#pragma once

#include <memory>
#include <string>
#include <vector>

#include "transport/SymmetricKey.h"

struct ssl_ctx_st;  // OpenSSL's SSL_CTX

namespace brindlet::transport {

// TLS 1.2 with pre-shared keys and nothing else: one ECDHE-PSK suite, no certificates. A
// completed handshake is itself the proof that both sides hold the same key.
namespace SecureChannel {

struct Key {
  std::string identity;  // sent on the wire as its UTF-8 bytes
  SymmetricKey secret;
  friend bool operator==(const Key&, const Key&) = default;
};

// The TLS settings of one link or listener, for either role: dialling offers the first usable
// key; listening accepts the first key whose identity matches the peer's. Keys with an empty
// secret, or with an identity that cannot travel (a NUL byte, longer than TLS allows), are never
// used. Shares the underlying context: copies are cheap and stay valid while any is alive.
class Parameters {
 public:
  explicit Parameters(std::vector<Key> keys);

  const std::vector<Key>& keys() const;
  ssl_ctx_st* native() const { return context_.get(); }

 private:
  std::shared_ptr<ssl_ctx_st> context_;
};

inline Parameters parameters(std::vector<Key> keys) {
  return Parameters(std::move(keys));
}

// The suite's name in OpenSSL's terms (0xCCAC, TLS_ECDHE_PSK_WITH_CHACHA20_POLY1305_SHA256).
inline constexpr const char* cipherSuite = "ECDHE-PSK-CHACHA20-POLY1305";

}  // namespace SecureChannel
}  // namespace brindlet::transport
