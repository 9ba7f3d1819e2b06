#pragma once

#include <cstddef>
#include <string>
#include <variant>

#include "runtime/Bytes.h"
#include "runtime/Error.h"

namespace brindlet::profiles {

// Why an Ed25519 key could not be made or used.
class SigningKeyError : public runtime::Error {
 public:
  struct InvalidKeyData {
    std::size_t length;  // a raw private key is 32 bytes
  };
  struct CryptoFailure {
    std::string text;  // what the crypto library said
  };
  using Payload = std::variant<InvalidKeyData, CryptoFailure>;

  static SigningKeyError invalidKeyData(std::size_t length);
  static SigningKeyError cryptoFailure(std::string text);

  const Payload& payload() const { return payload_; }

 private:
  SigningKeyError(Payload payload, std::string text);
  Payload payload_;
};

// An Ed25519 private key, kept as its raw 32-byte seed.
class SigningKey {
 public:
  static constexpr std::size_t rawSize = 32;
  static constexpr std::size_t signatureSize = 64;

  // A new random key. Throws SigningKeyError.
  static SigningKey generate();
  // Throws SigningKeyError::invalidKeyData unless `raw` is 32 bytes.
  static SigningKey fromRaw(runtime::ByteView raw);

  const runtime::Bytes& rawRepresentation() const { return raw_; }
  runtime::Bytes publicKey() const;  // raw, 32 bytes
  std::string publicKeyBase64() const;
  runtime::Bytes sign(runtime::ByteView message) const;  // 64 bytes

 private:
  explicit SigningKey(runtime::Bytes raw) : raw_(std::move(raw)) {}
  runtime::Bytes raw_;
};

// Whether `signature` is a valid Ed25519 signature of `message` under the raw 32-byte public
// key. A key or signature of the wrong size, or a key that is not a curve point, is false.
bool verifyEd25519(runtime::ByteView publicKey, runtime::ByteView message,
                   runtime::ByteView signature);

}  // namespace brindlet::profiles
