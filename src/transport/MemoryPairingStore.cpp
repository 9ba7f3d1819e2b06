#include "transport/MemoryPairingStore.h"

#include <memory>

#include "secrets/MemorySecretStore.h"

namespace brindlet::transport {

namespace asio = boost::asio;

MemoryPairingStore::MemoryPairingStore()
    : keychain_(std::make_shared<secrets::MemorySecretStore>(), "pairing") {}

asio::awaitable<std::optional<SymmetricKey>> MemoryPairingStore::key(std::string identity) {
  return keychain_.key(std::move(identity));
}

asio::awaitable<void> MemoryPairingStore::save(SymmetricKey key, std::string identity) {
  return keychain_.save(std::move(key), std::move(identity));
}

asio::awaitable<void> MemoryPairingStore::remove(std::string identity) {
  return keychain_.remove(std::move(identity));
}

asio::awaitable<std::vector<std::string>> MemoryPairingStore::identities() {
  return keychain_.identities();
}

}  // namespace brindlet::transport
