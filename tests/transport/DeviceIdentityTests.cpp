#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <regex>

#include "secrets/MemorySecretStore.h"
#include "transport/DeviceIdentity.h"

namespace brindlet::transport {
namespace {

using secrets::MemorySecretStore;
using secrets::SecretError;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

const std::string service = "com.velvane.identity";

bool looksLikeUUID(const std::string& text) {
  static const std::regex form(
      "[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}");
  return std::regex_match(text, form);
}

struct Fixture {
  std::shared_ptr<MemorySecretStore> secrets = std::make_shared<MemorySecretStore>();
  std::vector<std::string> logged;
  DeviceIdentity identity{secrets, [this](const std::string& line) { logged.push_back(line); }};

  std::string stored() {
    auto bytes = secrets->read(service, "uid");
    return std::string(runtime::asText(bytes));
  }
};

TEST(DeviceIdentity, CreatedOnceThenRead) {
  Fixture f;
  std::string first = f.identity.current(service);
  EXPECT_TRUE(looksLikeUUID(first)) << first;
  EXPECT_EQ(f.stored(), first);
  EXPECT_EQ(f.identity.current(service), first);
  // Another object over the same store (a later run of the app) finds the same identity.
  EXPECT_EQ(DeviceIdentity(f.secrets).current(service), first);
  EXPECT_THAT(f.logged, IsEmpty());
}

TEST(DeviceIdentity, StoredTextIsReturnedUnchanged) {
  const std::string texts[] = {"", " spaced uid ", "not-a-uuid", "Gerät"};
  for (const std::string& text : texts) {
    Fixture f;
    f.secrets->store(service, "uid", runtime::asBytes(text));
    EXPECT_EQ(f.identity.current(service), text);
  }
}

TEST(DeviceIdentity, InvalidUTF8IsReplaced) {
  Fixture f;
  const runtime::Bytes broken = {0xC3, 0x28, 0xFF};
  f.secrets->store(service, "uid", broken);
  std::string identity = f.identity.current(service);
  EXPECT_TRUE(looksLikeUUID(identity));
  EXPECT_EQ(f.stored(), identity);
}

TEST(DeviceIdentity, StableWhileStoreRefusesWrites) {
  Fixture f;
  f.secrets->failWrites(SecretError::failed(-61, "write refused"));
  std::string first = f.identity.current(service);
  EXPECT_TRUE(looksLikeUUID(first));
  EXPECT_EQ(f.identity.current(service), first);
  EXPECT_THAT(f.logged, ElementsAre("Keychain write failed: -61", "Keychain write failed: -61"));
  // Once the store works again, the identity already handed out is the one kept.
  f.secrets->failWrites(std::nullopt);
  EXPECT_EQ(f.identity.current(service), first);
  EXPECT_EQ(f.stored(), first);
}

TEST(DeviceIdentity, UnreadableStoreIsNotOverwritten) {
  Fixture f;
  f.secrets->store(service, "uid", runtime::asBytes("KEPT"));
  f.secrets->failReads(SecretError::unavailable(2, "no bus"));
  std::string stand_in = f.identity.current(service);
  EXPECT_TRUE(looksLikeUUID(stand_in));
  EXPECT_EQ(f.identity.current(service), stand_in);
  EXPECT_THAT(f.logged, ElementsAre("Keychain read failed: 2", "Keychain read failed: 2"));
  f.secrets->failReads(std::nullopt);
  EXPECT_EQ(f.stored(), "KEPT");
  EXPECT_EQ(f.identity.current(service), "KEPT");
}

}  // namespace
}  // namespace brindlet::transport
