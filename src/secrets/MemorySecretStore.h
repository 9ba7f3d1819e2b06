#pragma once

#include <map>
#include <mutex>
#include <optional>
#include <utility>

#include "secrets/SecretStore.h"

namespace brindlet::secrets {

// In-memory secrets, the test double of the secret store. Failures of the real store can be
// imitated: a set failure is thrown by every write (or read) until cleared.
class MemorySecretStore final : public SecretStore {
 public:
  void store(std::string_view service, std::string_view account, runtime::ByteView secret) override;
  runtime::Bytes read(std::string_view service, std::string_view account) override;
  void remove(std::string_view service, std::string_view account) override;
  std::vector<std::string> accounts(std::string_view service) override;

  void failWrites(std::optional<SecretError> error);  // store and remove
  void failReads(std::optional<SecretError> error);   // read and accounts

 private:
  using Key = std::pair<std::string, std::string>;
  std::mutex mutex_;
  std::map<Key, runtime::Bytes> items_;
  std::optional<SecretError> writeFailure_;
  std::optional<SecretError> readFailure_;
};

}  // namespace brindlet::secrets
