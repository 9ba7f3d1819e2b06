#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>

#include "platform/linux/secret/SecretServiceStore.h"

namespace brindlet::platform {
namespace {

using secrets::SecretError;

// A session bus address where nobody listens: every operation must come back as a typed
// "unavailable", never hang, never abort. (What the identity and the pairing store make of that
// is the transport tests' concern.)
TEST(SecretServiceStore, WithoutASecretServiceEveryOperationIsUnavailable) {
  setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/brindlet-test-bus", 1);
  unsetenv("DISPLAY");
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

}  // namespace
}  // namespace brindlet::platform
