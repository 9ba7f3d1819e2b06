#include "transport/PairingStore.h"

#include "runtime/Blocking.h"

namespace brindlet::transport {

namespace asio = boost::asio;

// Each call copies what it needs into its step on the secrets worker, which therefore never
// reaches back into this object while the caller waits.

KeychainPairingStore::KeychainPairingStore(std::shared_ptr<secrets::SecretStore> secrets,
                                           std::string service, KeychainLog log)
    : secrets_(std::move(secrets)), service_(std::move(service)), log_(std::move(log)) {}

asio::awaitable<std::optional<SymmetricKey>> KeychainPairingStore::key(std::string identity) {
  auto read = [store = secrets_, service = service_,
               identity = std::move(identity)]() -> std::optional<SymmetricKey> {
    auto data = keychain::readData(*store, service, identity);
    if (!data || data->empty()) return std::nullopt;
    return SymmetricKey(*data);
  };
  co_return co_await runtime::offloadBlocking(std::move(read), runtime::secretsWorker());
}

asio::awaitable<void> KeychainPairingStore::save(SymmetricKey key, std::string identity) {
  auto write = [store = secrets_, service = service_, log = log_, key = std::move(key),
                identity = std::move(identity)] {
    keychain::writeData(*store, key.bytes(), service, identity, log);
  };
  co_await runtime::offloadBlocking(std::move(write), runtime::secretsWorker());
}

asio::awaitable<void> KeychainPairingStore::remove(std::string identity) {
  auto forget = [store = secrets_, service = service_, identity = std::move(identity)] {
    try {
      store->remove(service, identity);
    } catch (const secrets::SecretError&) {
      // Forgetting a peer that has no key, or that cannot be reached, reports nothing.
    }
  };
  co_await runtime::offloadBlocking(std::move(forget), runtime::secretsWorker());
}

asio::awaitable<std::vector<std::string>> KeychainPairingStore::identities() {
  auto list = [store = secrets_, service = service_] {
    return keychain::allAccounts(*store, service);
  };
  co_return co_await runtime::offloadBlocking(std::move(list), runtime::secretsWorker());
}

}  // namespace brindlet::transport
