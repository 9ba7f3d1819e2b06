// The signing key in a real gnome-keyring on a private session bus.

#include <gtest/gtest.h>

#include <memory>

#include "KeyringSession.h"
#include "platform/linux/secret/SecretServiceStore.h"
#include "profiles/ProfileTestSupport.h"
#include "profiles/SigningKeyStore.h"

namespace brindlet::profiles {
namespace {

TEST(SigningKeyKeyringPeer, KeyIsCreatedOnceAndKept) {
  platform::KeyringSession session;
  auto secrets = std::make_shared<platform::SecretServiceStore>();
  ASSERT_TRUE(secrets->accounts(KeychainSigningKeyStore::service).empty());
  const std::string first = test::signingKeyOf(KeychainSigningKeyStore(secrets)).publicKeyBase64();
  const std::string second = test::signingKeyOf(KeychainSigningKeyStore(secrets)).publicKeyBase64();
  EXPECT_EQ(second, first);
  EXPECT_EQ(secrets->accounts(KeychainSigningKeyStore::service),
            std::vector<std::string>{"default"});
  // Data that is not a raw key makes every call fail, and is left as it is.
  const runtime::Bytes bad(31, 9);
  secrets->store(KeychainSigningKeyStore::service, "default", bad);
  EXPECT_THROW(test::signingKeyOf(KeychainSigningKeyStore(secrets)), SigningKeyError);
  EXPECT_EQ(secrets->read(KeychainSigningKeyStore::service, "default"), bad);
}

}  // namespace
}  // namespace brindlet::profiles
