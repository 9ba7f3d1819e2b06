#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "secrets/SecretStore.h"
#include "transport/Keychain.h"
#include "transport/SymmetricKey.h"

namespace brindlet::transport {

// Pairing keys by the other side's device identity. No operation throws: a key that cannot be
// read is absent, a list that cannot be read is empty, a failed write is only logged.
class PairingStore {
 public:
  virtual ~PairingStore() = default;

  // Nothing for an identity without a key, and nothing for a stored key of no bytes: an empty
  // pre-shared key must never reach the secure channel.
  virtual std::optional<SymmetricKey> key(const std::string& identity) = 0;
  // Replaces any key stored for the identity.
  virtual void save(const SymmetricKey& key, const std::string& identity) = 0;
  virtual void remove(const std::string& identity) = 0;
  virtual std::vector<std::string> identities() = 0;
};

// One secret item per paired peer: the store's service, the peer's identity as account, the
// key's raw bytes as the secret.
class KeychainPairingStore final : public PairingStore {
 public:
  KeychainPairingStore(std::shared_ptr<secrets::SecretStore> secrets, std::string service,
                       KeychainLog log = transportErrorLog());

  const std::string& service() const { return service_; }

  std::optional<SymmetricKey> key(const std::string& identity) override;
  void save(const SymmetricKey& key, const std::string& identity) override;
  void remove(const std::string& identity) override;
  std::vector<std::string> identities() override;

 private:
  std::shared_ptr<secrets::SecretStore> secrets_;
  const std::string service_;
  KeychainLog log_;
};

}  // namespace brindlet::transport
