#include "transport/PairingStore.h"

namespace brindlet::transport {

std::optional<SymmetricKey> MemoryPairingStore::key(const std::string& identity) {
  std::lock_guard lock(mutex_);
  auto it = keys_.find(identity);
  if (it == keys_.end() || it->second.size() == 0) return std::nullopt;
  return it->second;
}

void MemoryPairingStore::save(const SymmetricKey& key, const std::string& identity) {
  std::lock_guard lock(mutex_);
  keys_.insert_or_assign(identity, key);
}

void MemoryPairingStore::remove(const std::string& identity) {
  std::lock_guard lock(mutex_);
  keys_.erase(identity);
}

std::vector<std::string> MemoryPairingStore::identities() {
  std::lock_guard lock(mutex_);
  std::vector<std::string> out;
  out.reserve(keys_.size());
  for (const auto& entry : keys_) out.push_back(entry.first);
  return out;
}

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
