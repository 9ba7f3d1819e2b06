// Our Ed25519 signatures against the openssl command: each verifies what the other signed, over
// the canonical bytes of a profile.

#include <gtest/gtest.h>

#include <fstream>

#include "profiles/ProfileTestSupport.h"
#include "profiles/SigningKey.h"
#include "runtime/Base64.h"
#include "support/ChildProcess.h"
#include "support/TempDir.h"

namespace brindlet::profiles {
namespace {

using testsupport::runProgram;

void writeBytes(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

std::string asText(const runtime::Bytes& bytes) {
  return {bytes.begin(), bytes.end()};
}

// An Ed25519 public key in the DER form openssl reads: the fixed prefix of its
// SubjectPublicKeyInfo, then the 32 raw bytes.
std::string publicKeyDER(const runtime::Bytes& raw) {
  const std::string prefix("\x30\x2a\x30\x05\x06\x03\x2b\x65\x70\x03\x21\x00", 12);
  return prefix + asText(raw);
}

Profile sample() {
  Profile profile = Profile::load(test::contents(test::fixture("complete.json")));
  profile.signature.reset();
  return profile;
}

TEST(SignaturePeer, OpensslVerifiesOurSignatures) {
  testsupport::TempDir dir;
  const SigningKey key = SigningKey::generate();
  const Profile signed_ = sample().sign(key, "Ada");
  writeBytes(dir.file("payload"), signed_.signingPayload());
  writeBytes(dir.file("sig"), asText(*runtime::base64Decode(*signed_.signature)));
  writeBytes(dir.file("pub.der"), publicKeyDER(key.publicKey()));
  const auto verify = [&] {
    return runProgram({"openssl", "pkeyutl", "-verify", "-rawin", "-pubin", "-keyform", "DER",
                       "-inkey", dir.file("pub.der"), "-in", dir.file("payload"), "-sigfile",
                       dir.file("sig")});
  };
  const auto good = verify();
  EXPECT_EQ(good.status, 0) << good.output;
  EXPECT_NE(good.output.find("Signature Verified Successfully"), std::string::npos);

  Profile tampered = signed_;
  tampered.name += " (changed)";
  writeBytes(dir.file("payload"), tampered.signingPayload());
  EXPECT_NE(verify().status, 0);
}

TEST(SignaturePeer, WeVerifyOpensslSignatures) {
  testsupport::TempDir dir;
  ASSERT_EQ(runProgram({"openssl", "genpkey", "-algorithm", "ed25519", "-out", dir.file("key.pem")})
                .status,
            0);
  ASSERT_EQ(runProgram({"openssl", "pkey", "-in", dir.file("key.pem"), "-pubout", "-outform", "DER",
                        "-out", dir.file("pub.der")})
                .status,
            0);
  const std::string der = test::contents(dir.file("pub.der"));
  ASSERT_EQ(der.size(), 44u);
  const runtime::Bytes publicKey(der.end() - 32, der.end());

  Profile profile = sample();
  profile.author = Author{.name = "Openssl", .key = runtime::base64Encode(publicKey)};
  writeBytes(dir.file("payload"), profile.signingPayload());
  const auto signing =
      runProgram({"openssl", "pkeyutl", "-sign", "-rawin", "-inkey", dir.file("key.pem"), "-in",
                  dir.file("payload"), "-out", dir.file("sig")});
  ASSERT_EQ(signing.status, 0) << signing.output;
  const std::string signature = test::contents(dir.file("sig"));
  profile.signature = runtime::base64Encode(runtime::Bytes(signature.begin(), signature.end()));
  EXPECT_NO_THROW(profile.verifySignature());
  // And after a round through a file.
  EXPECT_NO_THROW(Profile::load(profile.canonicalData()).verifySignature());
  profile.testedAppVersion = "6";
  EXPECT_THROW(profile.verifySignature(), ProfileError);
}

}  // namespace
}  // namespace brindlet::profiles
