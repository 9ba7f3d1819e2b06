// The signing key in a real gnome-keyring on a private session bus.

#include <gtest/gtest.h>

#include <memory>

#include "KeyringSession.h"
#include "platform/linux/secret/SecretServiceStore.h"
#include "profiles/SigningKeyStore.h"
#include "support/Loop.h"

namespace brindlet::profiles {
namespace {

TEST(SigningKeyKeyringPeer, KeyIsCreatedOnceAndKept) {
  platform::KeyringSession session;
  auto secrets = std::make_shared<platform::SecretServiceStore>();
  ASSERT_TRUE(secrets->accounts(KeychainSigningKeyStore::service).empty());
  const std::string first =
      brindlet::testing::runAlone(KeychainSigningKeyStore(secrets).signingKey()).publicKeyBase64();
  const std::string second =
      brindlet::testing::runAlone(KeychainSigningKeyStore(secrets).signingKey()).publicKeyBase64();
  EXPECT_EQ(second, first);
  EXPECT_EQ(secrets->accounts(KeychainSigningKeyStore::service),
            std::vector<std::string>{"default"});
  // Data that is not a raw key makes every call fail, and is left as it is.
  const runtime::Bytes bad(31, 9);
  secrets->store(KeychainSigningKeyStore::service, "default", bad);
  EXPECT_THROW(brindlet::testing::runAlone(KeychainSigningKeyStore(secrets).signingKey()),
               SigningKeyError);
  EXPECT_EQ(secrets->read(KeychainSigningKeyStore::service, "default"), bad);
}

}  // namespace
}  // namespace brindlet::profiles
