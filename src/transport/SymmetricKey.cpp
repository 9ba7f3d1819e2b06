#include "transport/SymmetricKey.h"

#include <openssl/crypto.h>

namespace brindlet::transport {

SymmetricKey::~SymmetricKey() {
  if (!bytes_.empty()) OPENSSL_cleanse(bytes_.data(), bytes_.size());
}

bool operator==(const SymmetricKey& a, const SymmetricKey& b) {
  return a.size() == b.size() && CRYPTO_memcmp(a.bytes_.data(), b.bytes_.data(), a.size()) == 0;
}

}  // namespace brindlet::transport
