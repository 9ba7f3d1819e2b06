#include "transport/MemoryPairingStore.h"

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

}  // namespace brindlet::transport
