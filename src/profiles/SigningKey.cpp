#include "profiles/SigningKey.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <memory>

#include "runtime/Base64.h"

namespace brindlet::profiles {
namespace {

struct PKeyFree {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct MdCtxFree {
  void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};
using PKey = std::unique_ptr<EVP_PKEY, PKeyFree>;
using MdCtx = std::unique_ptr<EVP_MD_CTX, MdCtxFree>;

[[noreturn]] void failCrypto(const char* step) {
  const unsigned long code = ERR_get_error();
  char reason[256] = {};
  if (code != 0) ERR_error_string_n(code, reason, sizeof reason);
  ERR_clear_error();
  throw SigningKeyError::cryptoFailure(std::string(step) + (code != 0 ? ": " : "") + reason);
}

PKey privateKey(const runtime::Bytes& raw) {
  PKey key(EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr, raw.data(), raw.size()));
  if (!key) failCrypto("EVP_PKEY_new_raw_private_key");
  return key;
}

}  // namespace

SigningKeyError::SigningKeyError(Payload payload, std::string text)
    : runtime::Error(std::move(text)), payload_(std::move(payload)) {}

SigningKeyError SigningKeyError::invalidKeyData(std::size_t length) {
  return {InvalidKeyData{length},
          runtime::ErrorText("invalidKeyData").number("length", static_cast<std::int64_t>(length))};
}

SigningKeyError SigningKeyError::cryptoFailure(std::string text) {
  std::string form = runtime::ErrorText("cryptoFailure").text("", text);
  return {CryptoFailure{std::move(text)}, std::move(form)};
}

SigningKey SigningKey::generate() {
  runtime::Bytes raw(rawSize);
  if (RAND_bytes(raw.data(), static_cast<int>(raw.size())) != 1) failCrypto("RAND_bytes");
  return SigningKey(std::move(raw));
}

SigningKey SigningKey::fromRaw(runtime::ByteView raw) {
  if (raw.size() != rawSize) throw SigningKeyError::invalidKeyData(raw.size());
  SigningKey key(runtime::Bytes(raw.begin(), raw.end()));
  privateKey(key.raw_);  // refuses what the library would refuse, at construction
  return key;
}

runtime::Bytes SigningKey::publicKey() const {
  const PKey key = privateKey(raw_);
  runtime::Bytes out(rawSize);
  std::size_t length = out.size();
  if (EVP_PKEY_get_raw_public_key(key.get(), out.data(), &length) != 1 || length != rawSize)
    failCrypto("EVP_PKEY_get_raw_public_key");
  return out;
}

std::string SigningKey::publicKeyBase64() const {
  return runtime::base64Encode(publicKey());
}

runtime::Bytes SigningKey::sign(runtime::ByteView message) const {
  const PKey key = privateKey(raw_);
  const MdCtx ctx(EVP_MD_CTX_new());
  if (!ctx || EVP_DigestSignInit(ctx.get(), nullptr, nullptr, nullptr, key.get()) != 1)
    failCrypto("EVP_DigestSignInit");
  runtime::Bytes signature(signatureSize);
  std::size_t length = signature.size();
  if (EVP_DigestSign(ctx.get(), signature.data(), &length, message.data(), message.size()) != 1 ||
      length != signatureSize)
    failCrypto("EVP_DigestSign");
  return signature;
}

bool verifyEd25519(runtime::ByteView publicKey, runtime::ByteView message,
                   runtime::ByteView signature) {
  if (publicKey.size() != SigningKey::rawSize || signature.size() != SigningKey::signatureSize)
    return false;
  const PKey key(
      EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, publicKey.data(), publicKey.size()));
  const MdCtx ctx(EVP_MD_CTX_new());
  const bool valid = key && ctx &&
                     EVP_DigestVerifyInit(ctx.get(), nullptr, nullptr, nullptr, key.get()) == 1 &&
                     EVP_DigestVerify(ctx.get(), signature.data(), signature.size(), message.data(),
                                      message.size()) == 1;
  ERR_clear_error();
  return valid;
}

}  // namespace brindlet::profiles
