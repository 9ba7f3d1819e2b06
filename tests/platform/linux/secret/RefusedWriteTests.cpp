#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>

#include "platform/linux/secret/SecretServiceStore.h"
#include "support/SessionBus.h"
#include "support/TempDir.h"

namespace brindlet::platform {
namespace {

int lines(const std::string& text) {
  return static_cast<int>(std::count(text.begin(), text.end(), '\n'));
}

// A keyring without a default collection, where a write would ask the user to make one: the
// first write fails, and the next one fails the same way without asking the service again.
TEST(SecretServiceStore, AWriteThatFailedIsNotTriedAgain) {
  testsupport::TempDir home;
  testsupport::usePrivateHome(home.path());
  ::unsetenv("DISPLAY");
  const std::string calls = home.file("calls");
  const std::string command = std::string("exec ") + SLOW_SECRET_SERVICE + " 0 " + calls;
  auto bus = testsupport::startSessionBus(home.path(), command, "org.freedesktop.secrets");
  SecretServiceStore store;
  std::string first, second;
  try {
    store.store("com.test.refused", "identity", runtime::Bytes(4, 1));
    ADD_FAILURE() << "the write was taken";
  } catch (const secrets::SecretError& error) {
    first = error.text();
  }
  const int asked = lines(testsupport::readFile(calls));
  EXPECT_GT(asked, 0);
  try {
    store.store("com.test.refused", "signing key", runtime::Bytes(4, 2));
    ADD_FAILURE() << "the write was taken";
  } catch (const secrets::SecretError& error) {
    second = error.text();
  }
  EXPECT_EQ(second, first);
  EXPECT_EQ(lines(testsupport::readFile(calls)), asked) << testsupport::readFile(calls);
}

}  // namespace
}  // namespace brindlet::platform
