#pragma once

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "transport/PairingStore.h"
#include "transport/SymmetricKey.h"

namespace brindlet::transport {

// Keys held in memory only, lost with the object.
class MemoryPairingStore final : public PairingStore {
 public:
  std::optional<SymmetricKey> key(const std::string& identity) override;
  void save(const SymmetricKey& key, const std::string& identity) override;
  void remove(const std::string& identity) override;
  std::vector<std::string> identities() override;

 private:
  std::mutex mutex_;
  std::map<std::string, SymmetricKey> keys_;
};

}  // namespace brindlet::transport
