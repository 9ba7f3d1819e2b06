#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <optional>
#include <regex>

#include "secrets/MemorySecretStore.h"
#include "support/Loop.h"
#include "transport/DeviceIdentity.h"

namespace brindlet::transport {
namespace {

using brindlet::testing::runAlone;
using secrets::MemorySecretStore;
using secrets::SecretError;

const std::string service = "com.velvane.identity";
const std::string kNew = "a new UUID";

// A store as it is before the first call; the identity the first two calls give (kNew: a fresh
// UUID, the same both times); what is stored once the store works again, and what a later call
// then gives; the lines logged.
TEST(DeviceIdentity, CreatedOnceKeptAndNeverOverwrittenWhileTheStoreFails) {
  struct Case {
    const char* name;
    std::optional<runtime::Bytes> stored;
    std::function<void(MemorySecretStore&)> breakStore;
    std::string first;
    std::string storedAfter;  // kNew: the identity handed out
    std::vector<std::string> logged;
  };
  const auto text = [](std::string_view t) { return runtime::Bytes(t.begin(), t.end()); };
  const Case cases[] = {
      {"nothing stored", std::nullopt, nullptr, kNew, kNew, {}},
      {"stored text unchanged", text(" spaced uid "), nullptr, " spaced uid ", " spaced uid ", {}},
      {"empty stored text", text(""), nullptr, "", "", {}},
      {"not a UUID", text("Gerät"), nullptr, "Gerät", "Gerät", {}},
      {"invalid UTF-8 replaced", runtime::Bytes{0xC3, 0x28, 0xFF}, nullptr, kNew, kNew, {}},
      {"store refuses writes",
       std::nullopt,
       [](auto& s) { s.failWrites(SecretError::failed(-61, "write refused")); },
       kNew,
       kNew,
       {"Secret Service write failed: write refused",
        "Secret Service write failed: write refused"}},
      {"store unreadable",
       text("KEPT"),
       [](auto& s) { s.failReads(SecretError::unavailable(2, "no bus")); },
       kNew,
       "KEPT",
       {"Secret Service read failed: no bus", "Secret Service read failed: no bus"}},
  };
  static const std::regex uuid(
      "[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto secrets = std::make_shared<MemorySecretStore>();
    std::vector<std::string> logged;
    DeviceIdentity identity(secrets, [&](const std::string& line) { logged.push_back(line); });
    if (c.stored) secrets->store(service, "uid", *c.stored);
    if (c.breakStore) c.breakStore(*secrets);
    const std::string first = runAlone(identity.current(service));
    if (c.first == kNew) {
      EXPECT_TRUE(std::regex_match(first, uuid)) << first;
    } else {
      EXPECT_EQ(first, c.first);
    }
    EXPECT_EQ(runAlone(identity.current(service)), first);
    EXPECT_EQ(logged, c.logged);
    secrets->failWrites(std::nullopt);
    secrets->failReads(std::nullopt);
    const std::string expected = c.storedAfter == kNew ? first : c.storedAfter;
    EXPECT_EQ(runAlone(identity.current(service)), expected);
    EXPECT_EQ(runtime::asText(secrets->read(service, "uid")), expected);
    // A later run of the app over the same store finds the same identity.
    EXPECT_EQ(runAlone(DeviceIdentity(secrets).current(service)), expected);
  }
}

}  // namespace
}  // namespace brindlet::transport
