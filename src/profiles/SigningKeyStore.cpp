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
  auto find = [store = secrets_] { return readOrMake(*store); };
  co_return co_await runtime::offloadBlocking(std::move(find), runtime::secretsWorker());
}

}  // namespace brindlet::profiles
