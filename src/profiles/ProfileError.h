#pragma once

#include <cstdint>
#include <string>
#include <variant>

#include "runtime/Error.h"

namespace brindlet::profiles {

// The one error of the profile format: reading, decoding, shortcut parsing, validation and
// signature checks all report through it. Each case carries what its message needs.
// text() is the value's own form, "caseName(payload)"; description() is the fixed English
// sentence the user sees. Texts in payloads compare by canonical equivalence.
class ProfileError : public runtime::Error {
 public:
  struct MalformedJSON {
    std::string text;
  };
  struct UnknownKey {
    std::string key;
    std::string type;
  };
  struct DuplicateKey {
    std::string key;
  };
  struct UnsupportedSchema {
    std::int64_t schema;
  };
  struct InvalidID {
    std::string id;
  };
  struct LayoutReferencesMissingKey {
    std::string layout;
    std::string key;
  };
  struct GlanceTooManyKeys {
    std::int64_t count;
  };
  struct GlanceTooManyLines {
    std::int64_t count;
  };
  struct GlanceReferencesMissingKey {
    std::string key;
  };
  struct GlanceReferencesMissingReader {
    std::string reader;
  };
  struct UnknownActionKind {
    std::string kind;
  };
  struct UnknownReaderKind {
    std::string kind;
  };
  struct UnknownControlKind {
    std::string kind;
  };
  struct UnknownSystemOp {
    std::string op;
  };
  struct InvalidShortcut {
    std::string shortcut;
  };
  struct MissingField {
    std::string field;
    std::string type;
  };
  struct KeyWithoutAction {
    std::string key;
  };
  struct UnknownIntent {
    std::string intent;
  };
  struct IntentAndAction {
    std::string key;
  };
  struct NoApps {};
  struct InvalidSignature {};
  struct Unsigned {};

  using Payload =
      std::variant<MalformedJSON, UnknownKey, DuplicateKey, UnsupportedSchema, InvalidID,
                   LayoutReferencesMissingKey, GlanceTooManyKeys, GlanceTooManyLines,
                   GlanceReferencesMissingKey, GlanceReferencesMissingReader, UnknownActionKind,
                   UnknownReaderKind, UnknownControlKind, UnknownSystemOp, InvalidShortcut,
                   MissingField, KeyWithoutAction, UnknownIntent, IntentAndAction, NoApps,
                   InvalidSignature, Unsigned>;

  static ProfileError malformedJSON(std::string text);
  static ProfileError unknownKey(std::string key, std::string type);
  static ProfileError duplicateKey(std::string key);
  static ProfileError unsupportedSchema(std::int64_t schema);
  static ProfileError invalidID(std::string id);
  static ProfileError layoutReferencesMissingKey(std::string layout, std::string key);
  static ProfileError glanceTooManyKeys(std::int64_t count);
  static ProfileError glanceTooManyLines(std::int64_t count);
  static ProfileError glanceReferencesMissingKey(std::string key);
  static ProfileError glanceReferencesMissingReader(std::string reader);
  static ProfileError unknownActionKind(std::string kind);
  static ProfileError unknownReaderKind(std::string kind);
  static ProfileError unknownControlKind(std::string kind);
  static ProfileError unknownSystemOp(std::string op);
  static ProfileError invalidShortcut(std::string shortcut);
  static ProfileError missingField(std::string field, std::string type);
  static ProfileError keyWithoutAction(std::string key);
  static ProfileError unknownIntent(std::string intent);
  static ProfileError intentAndAction(std::string key);
  static ProfileError noApps();
  static ProfileError invalidSignature();
  static ProfileError unsigned_();  // the case "unsigned"; the word itself is taken by C++

  const Payload& payload() const { return payload_; }
  template <class T>
  const T* as() const {
    return std::get_if<T>(&payload_);
  }

  // The message the user sees.
  const std::string& description() const { return description_; }

  friend bool operator==(const ProfileError& a, const ProfileError& b);

 private:
  ProfileError(Payload payload, std::string text, std::string description);
  static ProfileError make(Payload payload);

  Payload payload_;
  std::string description_;
};

}  // namespace brindlet::profiles
