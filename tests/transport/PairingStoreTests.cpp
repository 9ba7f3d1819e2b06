#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include "runtime/Blocking.h"
#include "secrets/MemorySecretStore.h"
#include "support/Loop.h"
#include "transport/MemoryPairingStore.h"
#include "transport/PairingStore.h"

namespace brindlet::transport {
namespace {

using secrets::MemorySecretStore;
using secrets::SecretError;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::UnorderedElementsAre;

using brindlet::testing::runAlone;

SymmetricKey keyOf(std::size_t size, std::uint8_t fill) {
  return SymmetricKey(runtime::Bytes(size, fill));
}

struct Fixture {
  std::shared_ptr<MemorySecretStore> secrets = std::make_shared<MemorySecretStore>();
  std::vector<std::string> logged;
  std::function<std::unique_ptr<PairingStore>(const std::string&)> make;
};

// Both stores must behave alike; the keychain one runs over the in-memory secrets double.
std::vector<std::pair<std::string, std::function<void(Fixture&)>>> kinds() {
  return {
      {"memory",
       [](Fixture& f) {
         f.make = [](const std::string&) { return std::make_unique<MemoryPairingStore>(); };
       }},
      {"keychain",
       [](Fixture& f) {
         f.make = [&f](const std::string& service) {
           return std::make_unique<KeychainPairingStore>(
               f.secrets, service, [&f](const std::string& line) { f.logged.push_back(line); });
         };
       }},
  };
}

TEST(PairingStore, KeysByIdentity) {
  for (auto& [name, setUp] : kinds()) {
    SCOPED_TRACE(name);
    Fixture f;
    setUp(f);
    auto store = f.make("com.velvane.pairing");
    EXPECT_EQ(runAlone(store->key("phone-1")), std::nullopt);
    EXPECT_THAT(runAlone(store->identities()), IsEmpty());

    runAlone(store->save(keyOf(32, 1), "phone-1"));
    EXPECT_EQ(runAlone(store->key("phone-1")), keyOf(32, 1));
    runAlone(store->save(keyOf(32, 2), "phone-1"));  // replaces, never a second entry
    EXPECT_EQ(runAlone(store->key("phone-1")), keyOf(32, 2));
    runAlone(store->save(keyOf(16, 3), "phone-2"));  // stored length is kept as it is
    EXPECT_EQ(runAlone(store->key("phone-2")), keyOf(16, 3));
    EXPECT_THAT(runAlone(store->identities()), UnorderedElementsAre("phone-1", "phone-2"));

    runAlone(store->remove("phone-1"));
    EXPECT_EQ(runAlone(store->key("phone-1")), std::nullopt);
    runAlone(store->remove("never-saved"));  // nothing to do, nothing reported
    EXPECT_THAT(runAlone(store->identities()), ElementsAre("phone-2"));
    runAlone(store->save(keyOf(0, 0), "phone-3"));  // an empty key is no key
    EXPECT_EQ(runAlone(store->key("phone-3")), std::nullopt);
    EXPECT_THAT(f.logged, IsEmpty());
  }
  // The keychain item: the service given, the identity as its account, the key's bytes.
  Fixture f;
  kinds()[1].second(f);
  runAlone(f.make("com.velvane.pairing")->save(keyOf(32, 9), "Phone ü|1"));
  EXPECT_EQ(f.secrets->read("com.velvane.pairing", "Phone ü|1"), runtime::Bytes(32, 9));
}

TEST(KeychainPairingStore, FailuresAreQuiet) {
  struct Case {
    const char* name;
    SecretError error;
    const char* line;
  };
  const Case cases[] = {
      {"locked", SecretError::locked("Collection is locked"),
       "Secret Service write failed: Collection is locked"},
      {"locked, no words", SecretError::locked(), "Secret Service write failed: locked"},
      {"unavailable", SecretError::unavailable(16, "no bus"),
       "Secret Service write failed: no bus"},
      {"failed", SecretError::failed(-7, "refused"), "Secret Service write failed: refused"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Fixture f;
    kinds()[1].second(f);
    auto store = f.make("svc");
    runAlone(store->save(keyOf(32, 1), "phone"));
    f.secrets->failWrites(c.error);
    runAlone(store->save(keyOf(32, 2), "phone"));  // the previous key stays
    EXPECT_THAT(f.logged, ElementsAre(c.line));
    runAlone(store->remove("phone"));
    EXPECT_EQ(runAlone(store->key("phone")), keyOf(32, 1));

    f.secrets->failReads(c.error);
    EXPECT_EQ(runAlone(store->key("phone")), std::nullopt);
    EXPECT_THAT(runAlone(store->identities()), IsEmpty());
    EXPECT_EQ(f.logged.size(), 1u);
  }
}

// The memory double is checked as the real store's blocking calls are, so that a test which
// asks it on a main loop fails just as the app would block there.
TEST(MemorySecretStoreDeathTest, EveryCallOnAMainLoopIsCaught) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const std::pair<const char*, std::function<void(MemorySecretStore&)>> calls[] = {
      {"storing a secret", [](auto& s) { s.store("svc", "a", runtime::Bytes(32, 1)); }},
      {"reading a secret", [](auto& s) { s.read("svc", "a"); }},
      {"removing a secret", [](auto& s) { s.remove("svc", "a"); }},
      {"listing secrets", [](auto& s) { s.accounts("svc"); }},
  };
  for (const auto& [what, call] : calls) {
    MemorySecretStore store;
    // Whether the check throws or aborts, the call never comes back to the loop.
    auto onLoop = [&]() noexcept {
      runtime::RunningMainLoop loop;
      call(store);
    };
    EXPECT_DEATH(onLoop(), what);
  }
}

}  // namespace
}  // namespace brindlet::transport
