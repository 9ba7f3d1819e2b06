#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <boost/asio/awaitable.hpp>

#include "secrets/SecretStore.h"
#include "transport/Keychain.h"
#include "transport/SymmetricKey.h"

namespace brindlet::transport {

// Pairing keys by the other side's device identity. Every operation is awaited and resumes the
// caller on its own executor: a store that can wait (on a keyring, a disk) does so off the
// caller's loop. No operation throws: a key that cannot be read is absent, a list that cannot be
// read is empty, a failed write is only logged.
class PairingStore {
 public:
  virtual ~PairingStore() = default;

  // Nothing for an identity without a key, and nothing for a stored key of no bytes: an empty
  // pre-shared key must never reach the secure channel.
  virtual boost::asio::awaitable<std::optional<SymmetricKey>> key(std::string identity) = 0;
  // Replaces any key stored for the identity.
  virtual boost::asio::awaitable<void> save(SymmetricKey key, std::string identity) = 0;
  virtual boost::asio::awaitable<void> remove(std::string identity) = 0;
  virtual boost::asio::awaitable<std::vector<std::string>> identities() = 0;
};

// One secret item per paired peer: the store's service, the peer's identity as account, the
// key's raw bytes as the secret. The secret store is asked on the secrets worker.
class KeychainPairingStore final : public PairingStore {
 public:
  KeychainPairingStore(std::shared_ptr<secrets::SecretStore> secrets, std::string service,
                       KeychainLog log = transportErrorLog());

  const std::string& service() const { return service_; }

  boost::asio::awaitable<std::optional<SymmetricKey>> key(std::string identity) override;
  boost::asio::awaitable<void> save(SymmetricKey key, std::string identity) override;
  boost::asio::awaitable<void> remove(std::string identity) override;
  boost::asio::awaitable<std::vector<std::string>> identities() override;

 private:
  std::shared_ptr<secrets::SecretStore> secrets_;
  const std::string service_;
  KeychainLog log_;
};

}  // namespace brindlet::transport
