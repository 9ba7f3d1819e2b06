#include "profiles/SigningKeyStore.h"

#include <optional>

namespace brindlet::profiles {

KeychainSigningKeyStore::KeychainSigningKeyStore(std::shared_ptr<secrets::SecretStore> secrets)
    : secrets_(std::move(secrets)) {}

SigningKey KeychainSigningKeyStore::signingKey() {
  std::optional<runtime::Bytes> stored;
  try {
    const auto accounts = secrets_->accounts(service);
    if (!accounts.empty()) stored = secrets_->read(service, accounts.front());
  } catch (const secrets::SecretError& e) {
    if (!e.is<secrets::SecretError::ItemNotFound>()) throw;
  }
  if (stored) return SigningKey::fromRaw(*stored);
  SigningKey key = SigningKey::generate();
  secrets_->store(service, account, key.rawRepresentation());
  return key;
}

}  // namespace brindlet::profiles
