#pragma once

#include <chrono>
#include <map>
#include <mutex>
#include <optional>
#include <utility>

#include "secrets/SecretStore.h"

namespace brindlet::secrets {

// In-memory secrets, the test double of the secret store. Each call is checked as the real
// store's blocking calls are: made on a main loop, it fails the test. Failures of the real store
// can be imitated: a set failure is thrown by every write (or read) until cleared; and a slow
// keyring: every call answers only after the set delay.
class MemorySecretStore final : public SecretStore {
 public:
  void store(std::string_view service, std::string_view account, runtime::ByteView secret) override;
  runtime::Bytes read(std::string_view service, std::string_view account) override;
  void remove(std::string_view service, std::string_view account) override;
  std::vector<std::string> accounts(std::string_view service) override;

  void failWrites(std::optional<SecretError> error);  // store and remove
  void failReads(std::optional<SecretError> error);   // read and accounts
  void delayAnswers(std::chrono::milliseconds delay);

 private:
  // The blocking check and the delay, which every call starts with.
  void answer(const char* what);

  using Key = std::pair<std::string, std::string>;
  std::mutex mutex_;
  std::map<Key, runtime::Bytes> items_;
  std::optional<SecretError> writeFailure_;
  std::optional<SecretError> readFailure_;
  std::chrono::milliseconds delay_{0};
};

}  // namespace brindlet::secrets
