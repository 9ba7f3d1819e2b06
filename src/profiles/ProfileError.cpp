#include "profiles/ProfileError.h"

#include <utility>

#include "runtime/Unicode.h"

namespace brindlet::profiles {
namespace {

using runtime::ErrorText;
using E = ProfileError;

struct Rendered {
  std::string text;     // "caseName(payload)"
  std::string message;  // what the user reads
};

std::string q(const std::string& text) {
  return "\"" + text + "\"";
}

struct Render {
  Rendered operator()(const E::MalformedJSON& p) const {
    return {ErrorText("malformedJSON").text("", p.text), "Not valid JSON: " + p.text};
  }
  Rendered operator()(const E::UnknownKey& p) const {
    return {ErrorText("unknownKey").text("", p.key).text("type", p.type),
            "Unknown key " + q(p.key) + " in " + p.type};
  }
  Rendered operator()(const E::DuplicateKey& p) const {
    return {ErrorText("duplicateKey").text("", p.key), "Duplicate key " + q(p.key)};
  }
  Rendered operator()(const E::UnsupportedSchema& p) const {
    return {ErrorText("unsupportedSchema").number("", p.schema),
            "Unsupported schema " + std::to_string(p.schema) + "; this app reads schema 1"};
  }
  Rendered operator()(const E::InvalidID& p) const {
    return {ErrorText("invalidID").text("", p.id),
            "Invalid profile id " + q(p.id) + "; use reverse-DNS like com.example.profile.zoom"};
  }
  Rendered operator()(const E::LayoutReferencesMissingKey& p) const {
    return {ErrorText("layoutReferencesMissingKey").text("layout", p.layout).text("key", p.key),
            "Layout " + q(p.layout) + " uses key " + q(p.key) + ", which isn't defined"};
  }
  Rendered operator()(const E::GlanceTooManyKeys& p) const {
    return {ErrorText("glanceTooManyKeys").number("", p.count),
            "Glance has " + std::to_string(p.count) + " keys; at most 4"};
  }
  Rendered operator()(const E::GlanceTooManyLines& p) const {
    return {ErrorText("glanceTooManyLines").number("", p.count),
            "Glance has " + std::to_string(p.count) + " lines; at most 3"};
  }
  Rendered operator()(const E::GlanceReferencesMissingKey& p) const {
    return {ErrorText("glanceReferencesMissingKey").text("", p.key),
            "Glance uses key " + q(p.key) + ", which isn't defined"};
  }
  Rendered operator()(const E::GlanceReferencesMissingReader& p) const {
    return {ErrorText("glanceReferencesMissingReader").text("", p.reader),
            "Glance uses reader " + q(p.reader) + ", which isn't defined"};
  }
  Rendered operator()(const E::UnknownActionKind& p) const {
    return {ErrorText("unknownActionKind").text("", p.kind), "Unknown action kind " + q(p.kind)};
  }
  Rendered operator()(const E::UnknownReaderKind& p) const {
    return {ErrorText("unknownReaderKind").text("", p.kind), "Unknown reader kind " + q(p.kind)};
  }
  Rendered operator()(const E::UnknownControlKind& p) const {
    return {ErrorText("unknownControlKind").text("", p.kind), "Unknown control kind " + q(p.kind)};
  }
  Rendered operator()(const E::UnknownSystemOp& p) const {
    return {ErrorText("unknownSystemOp").text("", p.op), "Unknown system op " + q(p.op)};
  }
  Rendered operator()(const E::InvalidShortcut& p) const {
    return {ErrorText("invalidShortcut").text("", p.shortcut),
            "Can't read the shortcut " + q(p.shortcut)};
  }
  Rendered operator()(const E::MissingField& p) const {
    return {ErrorText("missingField").text("", p.field).text("type", p.type),
            p.type + " needs " + q(p.field)};
  }
  Rendered operator()(const E::KeyWithoutAction& p) const {
    return {ErrorText("keyWithoutAction").text("", p.key), "Key " + q(p.key) + " has no action"};
  }
  Rendered operator()(const E::UnknownIntent& p) const {
    return {ErrorText("unknownIntent").text("", p.intent), "Unknown intent " + q(p.intent)};
  }
  Rendered operator()(const E::IntentAndAction& p) const {
    return {ErrorText("intentAndAction").text("", p.key),
            "Key " + q(p.key) + " has both an intent and an action; use one"};
  }
  Rendered operator()(const E::NoApps&) const {
    return {ErrorText("noApps"),
            "A profile needs at least one app bundle id (or \"*\" for the default profile)"};
  }
  Rendered operator()(const E::InvalidSignature&) const {
    return {ErrorText("invalidSignature"), "The signature doesn't match the profile"};
  }
  Rendered operator()(const E::Unsigned&) const {
    return {ErrorText("unsigned"), "The profile isn't signed"};
  }
};

}  // namespace

ProfileError::ProfileError(Payload payload, std::string text, std::string description)
    : runtime::Error(std::move(text)),
      payload_(std::move(payload)),
      description_(std::move(description)) {}

ProfileError ProfileError::make(Payload payload) {
  Rendered rendered = std::visit(Render{}, payload);
  return ProfileError(std::move(payload), std::move(rendered.text), std::move(rendered.message));
}

bool operator==(const ProfileError& a, const ProfileError& b) {
  // The text form holds every payload, texts quoted with their quotes and backslashes escaped,
  // so it stands for the payload unambiguously; and none of its own punctuation combines with a
  // neighbouring character under normalization. Canonical equality of the two forms is
  // therefore canonical equality field by field.
  return a.payload_.index() == b.payload_.index() && runtime::canonicallyEqual(a.text(), b.text());
}

ProfileError ProfileError::malformedJSON(std::string text) {
  return make(MalformedJSON{std::move(text)});
}
ProfileError ProfileError::unknownKey(std::string key, std::string type) {
  return make(UnknownKey{std::move(key), std::move(type)});
}
ProfileError ProfileError::duplicateKey(std::string key) {
  return make(DuplicateKey{std::move(key)});
}
ProfileError ProfileError::unsupportedSchema(std::int64_t schema) {
  return make(UnsupportedSchema{schema});
}
ProfileError ProfileError::invalidID(std::string id) {
  return make(InvalidID{std::move(id)});
}
ProfileError ProfileError::layoutReferencesMissingKey(std::string layout, std::string key) {
  return make(LayoutReferencesMissingKey{std::move(layout), std::move(key)});
}
ProfileError ProfileError::glanceTooManyKeys(std::int64_t count) {
  return make(GlanceTooManyKeys{count});
}
ProfileError ProfileError::glanceTooManyLines(std::int64_t count) {
  return make(GlanceTooManyLines{count});
}
ProfileError ProfileError::glanceReferencesMissingKey(std::string key) {
  return make(GlanceReferencesMissingKey{std::move(key)});
}
ProfileError ProfileError::glanceReferencesMissingReader(std::string reader) {
  return make(GlanceReferencesMissingReader{std::move(reader)});
}
ProfileError ProfileError::unknownActionKind(std::string kind) {
  return make(UnknownActionKind{std::move(kind)});
}
ProfileError ProfileError::unknownReaderKind(std::string kind) {
  return make(UnknownReaderKind{std::move(kind)});
}
ProfileError ProfileError::unknownControlKind(std::string kind) {
  return make(UnknownControlKind{std::move(kind)});
}
ProfileError ProfileError::unknownSystemOp(std::string op) {
  return make(UnknownSystemOp{std::move(op)});
}
ProfileError ProfileError::invalidShortcut(std::string shortcut) {
  return make(InvalidShortcut{std::move(shortcut)});
}
ProfileError ProfileError::missingField(std::string field, std::string type) {
  return make(MissingField{std::move(field), std::move(type)});
}
ProfileError ProfileError::keyWithoutAction(std::string key) {
  return make(KeyWithoutAction{std::move(key)});
}
ProfileError ProfileError::unknownIntent(std::string intent) {
  return make(UnknownIntent{std::move(intent)});
}
ProfileError ProfileError::intentAndAction(std::string key) {
  return make(IntentAndAction{std::move(key)});
}
ProfileError ProfileError::noApps() {
  return make(NoApps{});
}
ProfileError ProfileError::invalidSignature() {
  return make(InvalidSignature{});
}
ProfileError ProfileError::unsigned_() {
  return make(Unsigned{});
}

}  // namespace brindlet::profiles
