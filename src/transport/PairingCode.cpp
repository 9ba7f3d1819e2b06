#include "transport/PairingCode.h"

#include <openssl/core_names.h>
#include <openssl/kdf.h>
#include <openssl/rand.h>

#include <array>
#include <cstdio>
#include <memory>
#include <stdexcept>

namespace brindlet::transport::PairingCode {
namespace {

// Shared by both sides of every pairing and never sent.
constexpr std::string_view derivationLabel = "tamsick-joinward-v1";
constexpr std::uint64_t codeRange = 1'000'000;
constexpr std::uint32_t rejectBelow = 967'296;  // 2^32 mod 1,000,000

void secureRandom(std::uint8_t* out, std::size_t count) {
  if (RAND_bytes(out, static_cast<int>(count)) != 1)
    throw std::runtime_error("secure random source failed");
}

struct KdfFree {
  void operator()(EVP_KDF* k) const { EVP_KDF_free(k); }
  void operator()(EVP_KDF_CTX* c) const { EVP_KDF_CTX_free(c); }
};

OSSL_PARAM octets(const char* name, std::string_view bytes) {
  return OSSL_PARAM_construct_octet_string(name, const_cast<char*>(bytes.data()), bytes.size());
}

}  // namespace

std::string generate(const std::function<std::uint64_t()>& random) {
  // Multiply-and-shift with rejection: every value of the range is equally likely.
  std::uint64_t m = 0;
  do {
    auto r = static_cast<std::uint32_t>(random());
    m = std::uint64_t{r} * codeRange;
  } while (static_cast<std::uint32_t>(m) < rejectBelow);
  char text[8];
  std::snprintf(text, sizeof text, "%06u", static_cast<unsigned>(m >> 32));
  return text;
}

std::string generate() {
  return generate([] {
    std::uint64_t value = 0;
    secureRandom(reinterpret_cast<std::uint8_t*>(&value), sizeof value);
    return value;
  });
}

std::string pairingIdentity(std::string_view identity) {
  return "pair:" + std::string(identity);
}

SymmetricKey derivedKey(std::string_view code, std::string_view a, std::string_view b) {
  std::string info = std::string(a) + "|" + std::string(b);
  std::unique_ptr<EVP_KDF, KdfFree> kdf(EVP_KDF_fetch(nullptr, "HKDF", nullptr));
  std::unique_ptr<EVP_KDF_CTX, KdfFree> ctx(kdf ? EVP_KDF_CTX_new(kdf.get()) : nullptr);
  if (!ctx) throw std::runtime_error("HKDF is not available");
  std::array<OSSL_PARAM, 5> params = {
      OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, const_cast<char*>("SHA256"), 0),
      octets(OSSL_KDF_PARAM_KEY, code),
      octets(OSSL_KDF_PARAM_SALT, derivationLabel),
      octets(OSSL_KDF_PARAM_INFO, info),
      OSSL_PARAM_construct_end(),
  };
  std::array<std::uint8_t, 32> out{};
  if (EVP_KDF_derive(ctx.get(), out.data(), out.size(), params.data()) != 1)
    throw std::runtime_error("HKDF derivation failed");
  SymmetricKey key(out);
  OPENSSL_cleanse(out.data(), out.size());
  return key;
}

SymmetricKey newKey() {
  std::array<std::uint8_t, 32> bytes{};
  secureRandom(bytes.data(), bytes.size());
  SymmetricKey key(bytes);
  OPENSSL_cleanse(bytes.data(), bytes.size());
  return key;
}

runtime::Bytes keyData(const SymmetricKey& key) {
  return runtime::Bytes(key.bytes().begin(), key.bytes().end());
}

}  // namespace brindlet::transport::PairingCode
