#include "profiles/SigningKeyStore.h"

#include <optional>

#include "runtime/Blocking.h"

namespace brindlet::profiles {
namespace {

// A blocking call: it reads and may write the secret store.
SigningKey readOrMake(secrets::SecretStore& secrets) {
  std::optional<runtime::Bytes> stored;
  try {
    const auto accounts = secrets.accounts(KeychainSigningKeyStore::service);
    if (!accounts.empty())
      stored = secrets.read(KeychainSigningKeyStore::service, accounts.front());
  } catch (const secrets::SecretError& e) {
    if (!e.is<secrets::SecretError::ItemNotFound>()) throw;
  }
  if (stored) return SigningKey::fromRaw(*stored);
  SigningKey key = SigningKey::generate();
  secrets.store(KeychainSigningKeyStore::service, KeychainSigningKeyStore::account,
                key.rawRepresentation());
  return key;
}

}  // namespace

KeychainSigningKeyStore::KeychainSigningKeyStore(std::shared_ptr<secrets::SecretStore> secrets)
    : secrets_(std::move(secrets)) {}

boost::asio::awaitable<SigningKey> KeychainSigningKeyStore::signingKey() {
  if (auto key = kept()) co_return std::move(*key);
  auto find = [store = secrets_] { return readOrMake(*store); };
  SigningKey key = co_await runtime::offloadBlocking(std::move(find), runtime::secretsWorker());
  co_return keep(std::move(key));
}

std::optional<SigningKey> KeychainSigningKeyStore::kept() {
  std::lock_guard lock(mutex_);
  return kept_;
}

SigningKey KeychainSigningKeyStore::keep(SigningKey key) {
  std::lock_guard lock(mutex_);
  if (!kept_) kept_ = std::move(key);
  return *kept_;
}

}  // namespace brindlet::profiles
