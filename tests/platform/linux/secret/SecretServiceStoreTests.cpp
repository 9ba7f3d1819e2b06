#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>

#include "KeyringSession.h"
#include "platform/linux/secret/SecretServiceStore.h"
#include "support/Loop.h"
#include "transport/DeviceIdentity.h"
#include "transport/PairingStore.h"

namespace brindlet::platform {
namespace {

using brindlet::testing::runAlone;
using secrets::SecretError;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::UnorderedElementsAre;
using testsupport::runProgram;

KeyringSession* session = nullptr;

class KeyringEnvironment : public ::testing::Environment {
 public:
  void SetUp() override { session = new KeyringSession(); }
  void TearDown() override {
    delete session;
    session = nullptr;
  }
};
const auto* environment = ::testing::AddGlobalTestEnvironment(new KeyringEnvironment);

runtime::Bytes allByteValues(std::size_t size) {
  runtime::Bytes out(size);
  for (std::size_t i = 0; i < size; ++i) out[i] = static_cast<std::uint8_t>(i * 37 + 255);
  return out;
}

SecretError errorOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const SecretError& e) {
    return e;
  }
  ADD_FAILURE() << "no error";
  return SecretError::failed(0, "none");
}

TEST(SecretServiceStore, StoresReadsListsAndRemoves) {
  SecretServiceStore store;
  const std::string service = "brindlet.test.roundtrip";
  EXPECT_THAT(store.accounts(service), IsEmpty());
  EXPECT_EQ(errorOf([&] { store.read(service, "phone-1"); }), SecretError::itemNotFound());

  const runtime::Bytes first = allByteValues(32);
  store.store(service, "phone-1", first);
  store.store(service, "phone-2", runtime::Bytes(16, 0));
  EXPECT_EQ(store.read(service, "phone-1"), first);

  store.store(service, "phone-1", runtime::Bytes(32, 0xAB));  // in place: still two items
  EXPECT_EQ(store.read(service, "phone-1"), runtime::Bytes(32, 0xAB));
  EXPECT_THAT(store.accounts(service), UnorderedElementsAre("phone-1", "phone-2"));

  store.remove(service, "phone-1");
  EXPECT_EQ(errorOf([&] { store.read(service, "phone-1"); }), SecretError::itemNotFound());
  EXPECT_EQ(errorOf([&] { store.remove(service, "phone-1"); }), SecretError::itemNotFound());
  EXPECT_THAT(store.accounts(service), ElementsAre("phone-2"));
}

TEST(SecretServiceStore, ItemsAreTheSecretToolsItems) {
  SecretServiceStore store;
  const std::string service = "brindlet.test.tool";
  store.store(service, "Phone ü", runtime::asBytes("key bytes\x01\x7F"));
  auto found = runProgram({"secret-tool", "lookup", "service", service, "account", "Phone ü"});
  EXPECT_EQ(found.status, 0);
  EXPECT_EQ(found.output, "key bytes\x01\x7F");

  // And the other way round: an item the tool made is read, replaced in place and removed.
  auto made = runProgram(
      {"sh", "-c",
       "printf 'from tool' | secret-tool store --label=t service " + service + " account other"});
  ASSERT_EQ(made.status, 0);
  EXPECT_EQ(store.read(service, "other"), runtime::Bytes(runtime::asBytes("from tool").begin(),
                                                         runtime::asBytes("from tool").end()));
  store.store(service, "other", runtime::asBytes("replaced"));
  EXPECT_THAT(store.accounts(service), UnorderedElementsAre("Phone ü", "other"));
  EXPECT_EQ(runProgram({"secret-tool", "lookup", "service", service, "account", "other"}).output,
            "replaced");
  store.remove(service, "other");
  EXPECT_NE(runProgram({"secret-tool", "lookup", "service", service, "account", "other"}).status,
            0);
}

TEST(SecretServiceStore, RefusesNamesTheBusCannotCarry) {
  SecretServiceStore store;
  const std::string names[] = {std::string("ab\0c", 4), "\xC3\x28"};
  for (const std::string& account : names) {
    SecretError e =
        errorOf([&] { store.store("brindlet.test.names", account, runtime::Bytes(4, 1)); });
    EXPECT_TRUE(e.is<SecretError::Failed>()) << e.text();
  }
  EXPECT_THAT(store.accounts("brindlet.test.names"), IsEmpty());
}

TEST(SecretServiceStore, PairingStoreAndIdentityOnTheKeyring) {
  auto secrets = std::make_shared<SecretServiceStore>();
  transport::KeychainPairingStore pairing(secrets, "brindlet.test.pairing");
  transport::KeychainPairingStore other(secrets, "brindlet.test.pairing2");
  const transport::SymmetricKey key(allByteValues(32));
  runAlone(pairing.save(key, "A1B2-phone"));
  EXPECT_EQ(runAlone(pairing.key("A1B2-phone")), key);
  EXPECT_EQ(runAlone(other.key("A1B2-phone")), std::nullopt);
  EXPECT_THAT(runAlone(pairing.identities()), ElementsAre("A1B2-phone"));
  runAlone(pairing.remove("A1B2-phone"));
  EXPECT_EQ(runAlone(pairing.key("A1B2-phone")), std::nullopt);

  std::string identity =
      runAlone(transport::DeviceIdentity(secrets).current("brindlet.test.identity"));
  EXPECT_EQ(identity.size(), 36u);
  EXPECT_EQ(runAlone(transport::DeviceIdentity(secrets).current("brindlet.test.identity")),
            identity);
  EXPECT_EQ(
      runProgram({"secret-tool", "lookup", "service", "brindlet.test.identity", "account", "uid"})
          .output,
      identity);
}

}  // namespace
}  // namespace brindlet::platform
