#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <nlohmann/json.hpp>

#include "profiles/ProfileTestSupport.h"
#include "profiles/SigningKey.h"
#include "profiles/SigningKeyStore.h"
#include "runtime/Base64.h"
#include "secrets/MemorySecretStore.h"

namespace brindlet::profiles {
namespace {

using nlohmann::json;
using test::contents;
using test::fixture;

TEST(CanonicalJson, NumbersJSONCannotHoldAreRefused) {
  Profile profile = Profile::load(contents(fixture("minimal.json")));
  profile.controls = std::map<std::string, Control>{
      {"s", Control{.kind = Control::Kind::slider, .label = "S", .min = NAN, .max = 1}}};
  EXPECT_THROW(profile.canonicalData(), runtime::JsonWriteError);
  // A signed profile whose payload can't be written does not verify.
  profile.signature = runtime::base64Encode(runtime::Bytes(64, 1));
  profile.author = Author{.name = "A", .key = SigningKey::generate().publicKeyBase64()};
  EXPECT_THROW(profile.verifySignature(), ProfileError);
}

TEST(CanonicalJson, ProfileForm) {
  const Profile profile = Profile::load(contents(fixture("minimal.json")));
  EXPECT_EQ(profile.canonicalData(),
            R"({"apps":[""],"id":"a.b.c","keys":{},"layouts":{"compact":[],"regular":[]},)"
            R"("name":"Minimal","schema":1})");
}

std::string verification(const Profile& profile) {
  try {
    profile.verifySignature();
  } catch (const ProfileError& e) {
    return e.text();
  }
  return "verified";
}

TEST(Signing, VerificationOutcomes) {
  const SigningKey key = SigningKey::generate();
  const Profile signed_ = Profile::load(contents(fixture("complete.json"))).sign(key);
  const std::string otherKey = SigningKey::generate().publicKeyBase64();
  using Change = std::function<void(Profile&)>;
  const struct {
    const char* what;
    Change change;
    const char* expected;
  } cases[] = {
      {"as signed", [](Profile&) {}, "verified"},
      {"no signature", [](Profile& p) { p.signature.reset(); }, "unsigned"},
      {"author without key", [](Profile& p) { p.author->key.reset(); }, "unsigned"},
      {"name changed", [](Profile& p) { p.name += "!"; }, "invalidSignature"},
      {"a reader removed", [](Profile& p) { p.readers->erase("proc"); }, "invalidSignature"},
      {"another key", [&](Profile& p) { p.author->key = otherKey; }, "invalidSignature"},
      {"line break in the signature", [](Profile& p) { p.signature->insert(20, "\n"); },
       "invalidSignature"},
      {"key of 31 bytes",
       [](Profile& p) { p.author->key = runtime::base64Encode(runtime::Bytes(31, 7)); },
       "invalidSignature"},
      {"signature of 63 bytes",
       [](Profile& p) {
         auto bytes = *runtime::base64Decode(*p.signature);
         bytes.pop_back();
         p.signature = runtime::base64Encode(bytes);
       },
       "invalidSignature"},
  };
  for (const auto& c : cases) {
    Profile profile = signed_;
    c.change(profile);
    EXPECT_EQ(verification(profile), c.expected) << c.what;
  }
}

TEST(Signing, FileFormDoesNotMatter) {
  const SigningKey key = SigningKey::generate();
  const Profile signed_ = Profile::load(contents(fixture("minimal.json"))).sign(key);
  const std::string canonical = signed_.canonicalData();
  // Members re-ordered, white space added, and a character written as an escape.
  json document = json::parse(canonical);
  std::string pretty = document.dump(4);
  const auto name = pretty.find("Minimal");
  pretty.replace(name, 1, "\\u004d");
  const std::string texts[] = {canonical, pretty, nlohmann::ordered_json::parse(canonical).dump(1)};
  for (const auto& text : texts) EXPECT_EQ(verification(Profile::load(text)), "verified") << text;
}

// -0.0 is written "-0" and must read back as -0.0, not as the integer 0, for the signature to
// hold after a reload.
TEST(Signing, NegativeZeroKeepsItsSignatureThroughAReload) {
  Profile profile = Profile::load(contents(fixture("complete.json")));
  profile.controls->at("vol").min = -0.0;
  const Profile signed_ = profile.sign(SigningKey::generate());
  const Profile reloaded = Profile::load(signed_.canonicalData());
  EXPECT_EQ(verification(reloaded), "verified");
  EXPECT_EQ(reloaded.canonicalData(), signed_.canonicalData());
  EXPECT_TRUE(std::signbit(*reloaded.controls->at("vol").min));
}

TEST(Signing, AuthorNameAndKey) {
  const SigningKey first = SigningKey::generate();
  const SigningKey second = SigningKey::generate();
  Profile profile = Profile::load(contents(fixture("minimal.json")));
  EXPECT_EQ(profile.sign(first).author,
            (Author{.name = "Unknown", .key = first.publicKeyBase64()}));
  EXPECT_FALSE(profile.signature);  // the receiver is unchanged
  profile.author = Author{.name = "Ada", .key = "old"};
  EXPECT_EQ(profile.sign(first, "Grace").author->name, "Grace");
  // Signing again with another key replaces key and signature.
  const Profile resigned = profile.sign(first).sign(second);
  EXPECT_EQ(verification(resigned), "verified");
  EXPECT_EQ(resigned.author, (Author{.name = "Ada", .key = second.publicKeyBase64()}));
}

TEST(KeychainSigningKeyStore, FailuresAreNotReplacedByANewKey) {
  using secrets::SecretError;
  const struct {
    const char* what;
    std::optional<SecretError> readFailure;
    std::optional<runtime::Bytes> stored;
  } cases[] = {
      {"store locked", SecretError::locked(), std::nullopt},
      {"no secret service", SecretError::unavailable(1, "no bus"), std::nullopt},
      {"stored data of 31 bytes", std::nullopt, runtime::Bytes(31, 1)},
  };
  for (const auto& c : cases) {
    auto secrets = std::make_shared<secrets::MemorySecretStore>();
    if (c.stored) secrets->store(KeychainSigningKeyStore::service, "default", *c.stored);
    secrets->failReads(c.readFailure);
    KeychainSigningKeyStore store(secrets);
    EXPECT_ANY_THROW(test::signingKeyOf(store)) << c.what;
    EXPECT_ANY_THROW(test::signingKeyOf(store)) << c.what;
    secrets->failReads(std::nullopt);
    EXPECT_EQ(secrets->accounts(KeychainSigningKeyStore::service).size(), c.stored ? 1u : 0u)
        << c.what;
    if (c.stored) {
      EXPECT_EQ(secrets->read(KeychainSigningKeyStore::service, "default"), *c.stored) << c.what;
    }
  }
  // A store that refuses the new key: its error, and no key handed out.
  auto refusing = std::make_shared<secrets::MemorySecretStore>();
  refusing->failWrites(SecretError::failed(5, "refused"));
  EXPECT_THROW(test::signingKeyOf(KeychainSigningKeyStore(refusing)), SecretError);
}

// Every profile reload asks for the key: the keyring answers once, and a keyring that later
// cannot be reached (or a process short of descriptors) changes nothing.
TEST(KeychainSigningKeyStore, KeepsTheKeyItHad) {
  using secrets::SecretError;
  for (const bool stored : {true, false}) {
    auto secrets = std::make_shared<secrets::MemorySecretStore>();
    const SigningKey existing = SigningKey::generate();
    if (stored) {
      secrets->store(KeychainSigningKeyStore::service, "default", existing.rawRepresentation());
    }
    KeychainSigningKeyStore store(secrets);
    const SigningKey first = test::signingKeyOf(store);
    if (stored) {
      EXPECT_EQ(first.rawRepresentation(), existing.rawRepresentation());
    }
    secrets->failReads(SecretError::unavailable(1, "no bus"));
    secrets->failWrites(SecretError::unavailable(1, "no bus"));
    EXPECT_EQ(test::signingKeyOf(store).rawRepresentation(), first.rawRepresentation()) << stored;
  }
}

}  // namespace
}  // namespace brindlet::profiles
