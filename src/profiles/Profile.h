#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "profiles/Accent.h"
#include "profiles/Control.h"
#include "profiles/DocumentParts.h"
#include "profiles/KeySpec.h"
#include "profiles/Reader.h"
#include "profiles/Schema.h"
#include "runtime/Bytes.h"
#include "runtime/Json.h"

namespace brindlet::profiles {

class SigningKey;

// One deck profile: which apps it serves, the keys and controls the phone shows and in which
// order, what each key does, the live values that drive the keys' looks, the glance, and who
// made and signed it. Maps are keyed by id.
struct Profile {
  static constexpr std::string_view typeWord = "profile";
  static constexpr auto allowedKeys = std::to_array<std::string_view>(
      {"schema", "id", "name", "apps", "windowTitleContains", "testedAppVersion", "accent",
       "author", "signature", "layouts", "touchBar", "glance", "keys", "controls", "readers"});
  // The app entry of a default profile, served when no other profile matches.
  static constexpr std::string_view anyApp = "*";

  std::int64_t schema = profiles::schema;
  std::string id{};                 // reverse-DNS, like com.example.profile.zoom
  std::string name{};               // what the user sees
  std::vector<std::string> apps{};  // app ids the profile serves
  std::optional<std::string> windowTitleContains{};
  std::optional<std::string> testedAppVersion{};
  std::optional<Accent> accent{};
  std::optional<Author> author{};
  std::optional<std::string> signature{};  // Base64 of the Ed25519 signature
  Layouts layouts{};
  std::optional<IdList> touchBar{};
  std::optional<Glance> glance{};
  std::map<std::string, KeySpec> keys{};
  std::optional<std::map<std::string, Control>> controls{};
  std::optional<std::map<std::string, Reader>> readers{};

  // Reading a file: the strict pre-scan, strict decoding, then validate(); the first fault
  // wins. Throws ProfileError only: the decoder's own failures become malformedJSON.
  static Profile load(std::string_view bytes);

  // Strict decoding of the document's JSON value (no validation). Throws ProfileError or
  // JsonReadError.
  static Profile decode(const runtime::JsonValueReader& value);
  void encode(nlohmann::json& to) const;

  // The semantic rules, in this order: schema, id, apps, then the four steps below, then the
  // readers. Keys, controls and readers are checked in ascending id order, so a file with
  // several faults always reports the same one. Throws ProfileError.
  void validate() const;
  void validateLayouts() const;
  void validateGlance() const;
  void validateKeys() const;
  void validateControls() const;

  // Whether the profile serves this app (exact id) and window (a title rule matches ignoring
  // case under the user's locale; no title never matches a rule). "*" is not a match here.
  bool matches(std::string_view bundleID, const std::optional<std::string>& windowTitle) const;

  // The canonical JSON: sorted keys, no white space, absent fields left out. Throws
  // runtime::JsonWriteError for what JSON cannot hold (a non-finite number, invalid UTF-8).
  std::string canonicalData() const;
  // The canonical JSON of the profile without its signature: the bytes a signature covers.
  std::string signingPayload() const;
  // A copy signed with `key`: its author named `authorName`, else the author's own name, else
  // "Unknown", with the key's public key. Throws as canonicalData.
  Profile sign(const SigningKey& key, const std::optional<std::string>& authorName = {}) const;
  // Returns when the signature verifies with the author's key. Throws ProfileError: unsigned
  // when the signature or the author's key is absent, invalidSignature for any other fault.
  void verifySignature() const;

  friend bool operator==(const Profile& a, const Profile& b);
};

// Whether an id is reverse-DNS: a first label of lower-case ASCII letters, digits and hyphens,
// then at least two more labels of ASCII letters, digits and hyphens, none of them empty.
bool isValidProfileID(std::string_view id);

}  // namespace brindlet::profiles
