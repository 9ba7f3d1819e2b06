#include "transport/SecureChannel.h"

#include <openssl/ssl.h>

#include <cstring>
#include <stdexcept>

namespace brindlet::transport::SecureChannel {
namespace {

using Keys = std::vector<Key>;

void freeKeys(void*, void* keys, CRYPTO_EX_DATA*, int, long, void*) {
  delete static_cast<Keys*>(keys);
}

// The keys live with the context, so a link that outlives every Parameters still finds them.
int keysIndex() {
  static const int index = SSL_CTX_get_ex_new_index(0, nullptr, nullptr, nullptr, freeKeys);
  return index;
}

const Keys& keysOf(const SSL_CTX* context) {
  return *static_cast<const Keys*>(SSL_CTX_get_ex_data(context, keysIndex()));
}

bool usable(const Key& key, std::size_t maxIdentity, std::size_t maxSecret) {
  return key.secret.size() > 0 && key.secret.size() <= maxSecret &&
         key.identity.find('\0') == std::string::npos && key.identity.size() <= maxIdentity;
}

unsigned copySecret(const Key& key, unsigned char* psk) {
  std::memcpy(psk, key.secret.bytes().data(), key.secret.size());
  return static_cast<unsigned>(key.secret.size());
}

unsigned clientKey(SSL* ssl, const char*, char* identity, unsigned maxIdentity, unsigned char* psk,
                   unsigned maxPsk) {
  if (maxIdentity == 0) return 0;
  for (const Key& key : keysOf(SSL_get_SSL_CTX(ssl))) {
    if (!usable(key, maxIdentity - 1, maxPsk)) continue;
    std::memcpy(identity, key.identity.c_str(), key.identity.size() + 1);
    return copySecret(key, psk);
  }
  return 0;
}

unsigned serverKey(SSL* ssl, const char* identity, unsigned char* psk, unsigned maxPsk) {
  if (!identity) return 0;
  std::string_view wanted(identity);
  for (const Key& key : keysOf(SSL_get_SSL_CTX(ssl)))
    if (key.identity == wanted && usable(key, PSK_MAX_IDENTITY_LEN, maxPsk))
      return copySecret(key, psk);
  return 0;  // unknown identity: the handshake fails
}

void configure(SSL_CTX* context) {
  bool ok = SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION) == 1 &&
            SSL_CTX_set_max_proto_version(context, TLS1_2_VERSION) == 1 &&
            SSL_CTX_set_cipher_list(context, cipherSuite) == 1 &&
            SSL_CTX_set_ciphersuites(context, "") == 1;
  if (!ok) throw std::runtime_error("TLS-PSK settings refused");
  // Every link proves the key afresh: a resumed session would skip the pre-shared key, also
  // after that key was forgotten.
  SSL_CTX_set_options(context, SSL_OP_NO_TICKET | SSL_OP_NO_RENEGOTIATION);
  SSL_CTX_set_session_cache_mode(context, SSL_SESS_CACHE_OFF);
  SSL_CTX_set_verify(context, SSL_VERIFY_NONE, nullptr);
  SSL_CTX_set_psk_client_callback(context, clientKey);
  SSL_CTX_set_psk_server_callback(context, serverKey);
}

}  // namespace

Parameters::Parameters(std::vector<Key> keys) {
  SSL_CTX* raw = SSL_CTX_new(TLS_method());
  if (!raw) throw std::runtime_error("TLS context cannot be made");
  context_.reset(raw, SSL_CTX_free);
  auto owned = std::make_unique<Keys>(std::move(keys));
  if (SSL_CTX_set_ex_data(raw, keysIndex(), owned.get()) != 1)
    throw std::runtime_error("TLS context cannot hold keys");
  owned.release();
  configure(raw);
}

const std::vector<Key>& Parameters::keys() const {
  return keysOf(context_.get());
}

}  // namespace brindlet::transport::SecureChannel
