#include "transport/DeviceIdentity.h"

#include <openssl/rand.h>

#include <array>
#include <cstdio>
#include <map>
#include <mutex>
#include <stdexcept>

#include "runtime/Blocking.h"
#include "runtime/Unicode.h"

namespace brindlet::transport {
namespace {

constexpr std::string_view account = "uid";

// A new random identity: 36 upper-case hexadecimal characters in groups of 8-4-4-4-12.
std::string newUUIDString() {
  std::array<std::uint8_t, 16> b{};
  if (RAND_bytes(b.data(), static_cast<int>(b.size())) != 1)
    throw std::runtime_error("secure random source failed");
  b[6] = static_cast<std::uint8_t>((b[6] & 0x0F) | 0x40);  // version 4
  b[8] = static_cast<std::uint8_t>((b[8] & 0x3F) | 0x80);  // RFC 4122 variant
  char text[37];
  std::snprintf(text, sizeof text,
                "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", b[0], b[1],
                b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13], b[14],
                b[15]);
  return text;
}

}  // namespace

// What a call's step on the secrets worker holds, so that it outlives a caller that stops
// waiting.
struct DeviceIdentity::Shared {
  std::shared_ptr<secrets::SecretStore> secrets;
  KeychainLog log;
  std::mutex mutex;
  std::map<std::string, std::string> handedOut;  // by service

  std::string fallback(const std::string& service) {
    std::lock_guard lock(mutex);
    auto [it, inserted] = handedOut.try_emplace(service);
    if (inserted) it->second = newUUIDString();
    return it->second;
  }

  // A blocking call: it reads and may write the secret store.
  std::string current(const std::string& service) {
    bool absent = false;
    try {
      runtime::Bytes data = secrets->read(service, account);
      std::string text(runtime::asText(data));
      if (runtime::isValidUTF8(text)) {
        std::lock_guard lock(mutex);
        handedOut[service] = text;
        return text;
      }
      absent = true;  // unreadable bytes are replaced
    } catch (const secrets::SecretError& e) {
      absent = e.is<secrets::SecretError::ItemNotFound>();
      if (!absent) log(keychain::readFailedLine(e));
    }
    std::string identity = fallback(service);
    // Only an item that is missing or unreadable is written; a store that could not be asked
    // may still hold this device's real identity, which must not be overwritten.
    if (absent) keychain::writeData(*secrets, runtime::asBytes(identity), service, account, log);
    return identity;
  }
};

DeviceIdentity::DeviceIdentity(std::shared_ptr<secrets::SecretStore> secrets, KeychainLog log)
    : shared_(std::make_shared<Shared>()) {
  shared_->secrets = std::move(secrets);
  shared_->log = std::move(log);
}

boost::asio::awaitable<std::string> DeviceIdentity::current(std::string service) {
  auto read = [shared = shared_, service = std::move(service)] { return shared->current(service); };
  co_return co_await runtime::offloadBlocking(std::move(read), runtime::secretsWorker());
}

}  // namespace brindlet::transport
