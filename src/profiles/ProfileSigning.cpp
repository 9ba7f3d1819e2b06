#include <nlohmann/json.hpp>

#include "profiles/Profile.h"
#include "profiles/ProfileError.h"
#include "profiles/SigningKey.h"
#include "runtime/Base64.h"

namespace brindlet::profiles {
namespace {

runtime::ByteView bytesOf(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

}  // namespace

// The canonical form is runtime::writeJson's, the one JSON writer of the system:
// - UTF-8, no white space between tokens, no line break at the end;
// - the keys of every object in ascending order of their UTF-8 bytes (code-point order), at
//   every level, the maps of keys, controls, readers and a key state's maps included;
// - strings with the escapes \" \\ \b \f \n \r \t, every other control character as \u00xx in
//   lower-case hexadecimal, and everything else raw: "/" and every character past ASCII;
// - integers (schema, a reader's lines) as written; a double that is whole and below 2^53 in
//   magnitude without a fraction ("5", "-0"), any other double in its shortest text that reads
//   back as the same double (std::to_chars: "0.1", "2.5e-07", "1e+300");
// - absent optional fields left out, never written as null.
// It is recomputed from the decoded profile, so a file's own key order, white space and escapes
// play no part in its signature.
std::string Profile::canonicalData() const {
  nlohmann::json document;
  encode(document);
  return runtime::writeJson(document);
}

std::string Profile::signingPayload() const {
  if (!signature) return canonicalData();
  Profile unsigned_ = *this;
  unsigned_.signature.reset();
  return unsigned_.canonicalData();
}

Profile Profile::sign(const SigningKey& key, const std::optional<std::string>& authorName) const {
  Profile signed_ = *this;
  std::string name = authorName ? *authorName : author ? author->name : "Unknown";
  signed_.author = Author{.name = std::move(name), .key = key.publicKeyBase64()};
  signed_.signature.reset();
  const std::string payload = signed_.canonicalData();
  signed_.signature = runtime::base64Encode(key.sign(bytesOf(payload)));
  return signed_;
}

void Profile::verifySignature() const {
  if (!signature || !author || !author->key) throw ProfileError::unsigned_();
  const auto publicKey = runtime::base64Decode(*author->key);
  if (!publicKey || publicKey->size() != SigningKey::rawSize)
    throw ProfileError::invalidSignature();
  const auto signatureBytes = runtime::base64Decode(*signature);
  if (!signatureBytes) throw ProfileError::invalidSignature();
  std::string payload;
  try {
    payload = signingPayload();
  } catch (const runtime::JsonWriteError&) {
    throw ProfileError::invalidSignature();
  }
  if (!verifyEd25519(*publicKey, bytesOf(payload), *signatureBytes))
    throw ProfileError::invalidSignature();
}

}  // namespace brindlet::profiles
