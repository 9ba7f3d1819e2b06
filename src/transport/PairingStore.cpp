#include "transport/PairingStore.h"

namespace brindlet::transport {

KeychainPairingStore::KeychainPairingStore(std::shared_ptr<secrets::SecretStore> secrets,
                                           std::string service, KeychainLog log)
    : secrets_(std::move(secrets)), service_(std::move(service)), log_(std::move(log)) {}

std::optional<SymmetricKey> KeychainPairingStore::key(const std::string& identity) {
  auto data = keychain::readData(*secrets_, service_, identity);
  if (!data || data->empty()) return std::nullopt;
  return SymmetricKey(*data);
}

void KeychainPairingStore::save(const SymmetricKey& key, const std::string& identity) {
  keychain::writeData(*secrets_, key.bytes(), service_, identity, log_);
}

void KeychainPairingStore::remove(const std::string& identity) {
  try {
    secrets_->remove(service_, identity);
  } catch (const secrets::SecretError&) {
    // Forgetting a peer that has no key, or that cannot be reached, reports nothing.
  }
}

std::vector<std::string> KeychainPairingStore::identities() {
  return keychain::allAccounts(*secrets_, service_);
}

}  // namespace brindlet::transport
