#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>

#include "platform/linux/secret/SecretServiceStore.h"
#include "transport/DeviceIdentity.h"
#include "transport/PairingStore.h"

namespace brindlet::platform {
namespace {

using secrets::SecretError;

// A session bus address where nobody listens: every operation must come back as a typed
// "unavailable", never hang, never abort.
void pointAtNoBus() {
  setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/brindlet-test-bus", 1);
  unsetenv("DISPLAY");
}

TEST(SecretServiceStore, WithoutASecretServiceEveryOperationIsUnavailable) {
  pointAtNoBus();
  SecretServiceStore store;
  const std::function<void()> operations[] = {
      [&] { store.store("svc", "acc", runtime::Bytes(4, 1)); },
      [&] { store.read("svc", "acc"); },
      [&] { store.remove("svc", "acc"); },
      [&] { store.accounts("svc"); },
  };
  for (const auto& operation : operations) {
    try {
      operation();
      ADD_FAILURE() << "no error";
    } catch (const SecretError& e) {
      EXPECT_TRUE(e.is<SecretError::Unavailable>()) << e.text();
    }
  }
}

TEST(SecretServiceStore, WithoutASecretServiceTheIdentityStaysPut) {
  pointAtNoBus();
  auto secrets = std::make_shared<SecretServiceStore>();
  std::vector<std::string> logged;
  transport::DeviceIdentity identity(secrets,
                                     [&](const std::string& line) { logged.push_back(line); });
  std::string first = identity.current("com.velvane.identity");
  EXPECT_EQ(first.size(), 36u);
  EXPECT_EQ(identity.current("com.velvane.identity"), first);
  ASSERT_EQ(logged.size(), 2u);
  EXPECT_THAT(logged[0], ::testing::StartsWith("Keychain read failed: "));

  transport::KeychainPairingStore pairing(secrets, "com.velvane.pairing",
                                          [&](const std::string& l) { logged.push_back(l); });
  EXPECT_EQ(pairing.key("phone"), std::nullopt);
  EXPECT_TRUE(pairing.identities().empty());
  pairing.save(transport::SymmetricKey(runtime::Bytes(32, 1)), "phone");
  EXPECT_THAT(logged.back(), ::testing::StartsWith("Keychain write failed: "));
}

}  // namespace
}  // namespace brindlet::platform
