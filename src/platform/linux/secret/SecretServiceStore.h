#pragma once

#include <mutex>
#include <optional>

#include "secrets/SecretStore.h"

namespace brindlet::platform {

// Secrets in the desktop's Secret Service (gnome-keyring, KWallet) through libsecret: one
// generic item per secret, found by exactly two attributes, "service" and "account", in the
// default collection. Items written by other tools with the same two attributes are the same
// items. A write that failed (a keyring prompt cancelled, no service) is not tried again: the
// store's later writes fail the same way, so that one start asks the user at most once.
class SecretServiceStore final : public secrets::SecretStore {
 public:
  void store(std::string_view service, std::string_view account, runtime::ByteView secret) override;
  runtime::Bytes read(std::string_view service, std::string_view account) override;
  void remove(std::string_view service, std::string_view account) override;
  std::vector<std::string> accounts(std::string_view service) override;

 private:
  // libsecret's synchronous calls each spin a private main loop; one at a time keeps them
  // from interleaving on the shared connection.
  std::mutex mutex_;
  // The first write's failure, which every later write of the store's life repeats.
  std::optional<secrets::SecretError> refusedWrite_;
};

}  // namespace brindlet::platform
