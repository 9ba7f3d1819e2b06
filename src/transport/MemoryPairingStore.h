#pragma once

#include <optional>
#include <string>
#include <vector>

#include "transport/PairingStore.h"
#include "transport/SymmetricKey.h"

namespace brindlet::transport {

// Keys held in memory only, lost with the object: the keychain's store over secrets in memory,
// so that it goes to the secrets worker and is checked as a blocking call just as the real one.
class MemoryPairingStore final : public PairingStore {
 public:
  MemoryPairingStore();

  boost::asio::awaitable<std::optional<SymmetricKey>> key(std::string identity) override;
  boost::asio::awaitable<void> save(SymmetricKey key, std::string identity) override;
  boost::asio::awaitable<void> remove(std::string identity) override;
  boost::asio::awaitable<std::vector<std::string>> identities() override;

 private:
  KeychainPairingStore keychain_;
};

}  // namespace brindlet::transport
