#include "profiles/Action.h"

#include <nlohmann/json.hpp>

#include "profiles/Coding.h"
#include "profiles/ProfileError.h"
#include "profiles/Shortcut.h"
#include "profiles/UnknownKeys.h"
#include "profiles/UrlSyntax.h"

namespace brindlet::profiles {
namespace {

// A present field, or missingField(field, type: what).
const std::string& needed(const std::optional<std::string>& value, std::string_view field,
                          std::string_view what) {
  if (!value) throw ProfileError::missingField(std::string(field), std::string(what));
  return *value;
}

void validateJog(const Action& action) {
  if (!action.positive || !action.negative)
    throw ProfileError::missingField("positive and negative", "jog shortcut");
  Shortcut::parse(*action.positive);
  Shortcut::parse(*action.negative);
}

}  // namespace

Action Action::shortcut(std::string keys) {
  return Action{.kind = Kind::shortcut, .keys = std::move(keys)};
}

Action Action::system(SystemOp operation) {
  return Action{.kind = Kind::system, .operation = operation};
}

Action Action::decode(const runtime::JsonValueReader& value) {
  rejectUnknownKeys(value, allowedKeys, typeWord);
  const runtime::JsonObjectReader object = value.asObject();
  Action action{.kind = requiredWord<Kind>(object, "kind", &ProfileError::unknownActionKind)};
  action.keys = optionalString(object, "keys");
  action.positive = optionalString(object, "positive");
  action.negative = optionalString(object, "negative");
  action.source = optionalString(object, "source");
  action.name = optionalString(object, "name");
  action.url = optionalString(object, "url");
  action.command = optionalString(object, "command");
  action.timeoutSeconds = optionalDouble(object, "timeoutSeconds");
  action.operation = optionalWord<SystemOp>(object, "op", &ProfileError::unknownSystemOp);
  return action;
}

void Action::encode(nlohmann::json& to) const {
  to = nlohmann::json::object();
  to["kind"] = wordOf(kind);
  putOptional(to, "keys", keys);
  putOptional(to, "positive", positive);
  putOptional(to, "negative", negative);
  putOptional(to, "source", source);
  putOptional(to, "name", name);
  putOptional(to, "url", url);
  putOptional(to, "command", command);
  putOptional(to, "timeoutSeconds", timeoutSeconds);
  if (operation) to["op"] = wordOf(*operation);
}

void Action::validate(bool isJogControl) const {
  switch (kind) {
    case Kind::shortcut:
      if (isJogControl) return validateJog(*this);
      Shortcut::parse(needed(keys, "keys", "shortcut action"));
      return;
    case Kind::applescript:
      needed(source, "source", "applescript action");
      return;
    case Kind::shortcutsApp:
      needed(name, "name", "shortcutsApp action");
      return;
    case Kind::url:
      if (!url || !isValidURL(*url)) throw ProfileError::missingField("url", "url action");
      return;
    case Kind::shell:
      needed(command, "command", "shell action");
      return;
    case Kind::system:
      if (!operation) throw ProfileError::missingField("op", "system action");
      return;
  }
}

bool operator==(const Action& a, const Action& b) {
  return a.kind == b.kind && sameText(a.keys, b.keys) && sameText(a.positive, b.positive) &&
         sameText(a.negative, b.negative) && sameText(a.source, b.source) &&
         sameText(a.name, b.name) && sameText(a.url, b.url) && sameText(a.command, b.command) &&
         a.timeoutSeconds == b.timeoutSeconds && a.operation == b.operation;
}

}  // namespace brindlet::profiles
