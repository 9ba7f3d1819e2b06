#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string_view>

#include <boost/asio/awaitable.hpp>

#include "profiles/SigningKey.h"
#include "secrets/SecretStore.h"

namespace brindlet::profiles {

// Yields this computer's own profile-signing key, creating it on first use. The profile store
// compares its public key with the author key of each user profile to tell the user's own
// profiles from imported ones. The key is awaited and resumes the caller on its own executor: a
// store that can wait on a keyring does so off the caller's loop.
class SigningKeyStore {
 public:
  virtual ~SigningKeyStore() = default;
  // Throws when the key can be neither read nor made.
  virtual boost::asio::awaitable<SigningKey> signingKey() = 0;
};

// The key in the user's secret store, asked on the secrets worker: one item of a fixed service
// holding the raw 32-byte key.
class KeychainSigningKeyStore final : public SigningKeyStore {
 public:
  static constexpr std::string_view service = "com.velvane.mac.profile-signing";
  static constexpr std::string_view account = "default";

  explicit KeychainSigningKeyStore(std::shared_ptr<secrets::SecretStore> secrets);

  // The first item of the service, as a raw key (SigningKeyError::invalidKeyData when it is
  // not one; the item is left as it is). Only when the store answers that there is no item is
  // a new key made and added; any other failure of the store is thrown as its SecretError, so
  // that a store that can't be reached for a moment never gets a second key. The key once had
  // is kept: every profile reload needs it, and the keyring is asked only until it has answered.
  boost::asio::awaitable<SigningKey> signingKey() override;

 private:
  std::optional<SigningKey> kept();
  // The key kept from now on: the first one had, should two callers have asked at once.
  SigningKey keep(SigningKey key);

  std::shared_ptr<secrets::SecretStore> secrets_;
  std::mutex mutex_;  // callers may await from different loops
  std::optional<SigningKey> kept_;
};

}  // namespace brindlet::profiles
