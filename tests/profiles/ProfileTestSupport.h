#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>

#include "profiles/Profile.h"
#include "profiles/ProfileError.h"
#include "profiles/SigningKeyStore.h"
#include "runtime/Json.h"
#include "support/Loop.h"
#include "support/TempDir.h"

namespace brindlet::profiles::test {

// The store's key, awaited on a loop of its own (a key is made only from bytes, so the bytes
// are what the loop hands back).
inline SigningKey signingKeyOf(SigningKeyStore& store) {
  auto raw = [](SigningKeyStore& keys) -> boost::asio::awaitable<runtime::Bytes> {
    const SigningKey key = co_await keys.signingKey();
    co_return key.rawRepresentation();
  };
  return SigningKey::fromRaw(brindlet::testing::runAlone(raw(store)));
}
inline SigningKey signingKeyOf(SigningKeyStore&& store) {
  return signingKeyOf(store);
}

inline std::filesystem::path sourceDir() {
  const char* dir = std::getenv("BRINDLET_SOURCE_DIR");
  return dir != nullptr ? dir : ".";
}

inline std::filesystem::path fixture(const std::string& name) {
  return sourceDir() / "tests/profiles/fixtures" / name;
}

inline std::string contents(const std::filesystem::path& path) {
  return testsupport::readFile(path);
}

// "ok", the ProfileError's form, or "decoder" for the JSON reader's own failures.
template <class Run>
std::string outcome(Run run) {
  try {
    run();
  } catch (const ProfileError& e) {
    return e.text();
  } catch (const runtime::JsonReadError&) {
    return "decoder";
  }
  return "ok";
}

// A record decoded from JSON text, as loading decodes it (without the pre-scan).
template <class T>
T decoded(std::string_view text) {
  return T::decode(runtime::JsonDocument(text).reader());
}

template <class T>
std::string decodeOutcome(std::string_view text) {
  return outcome([&] { decoded<T>(text); });
}

// "ok", or the message the user would see.
inline std::string loadMessage(std::string_view bytes) {
  try {
    Profile::load(bytes);
  } catch (const ProfileError& e) {
    return e.description();
  }
  return "ok";
}

}  // namespace brindlet::profiles::test
