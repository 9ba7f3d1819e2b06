#include "profiles/Control.h"

#include <nlohmann/json.hpp>

#include "profiles/Coding.h"
#include "profiles/ProfileError.h"
#include "profiles/UnknownKeys.h"
#include "runtime/Unicode.h"

namespace brindlet::profiles {

Control Control::decode(const runtime::JsonValueReader& value) {
  rejectUnknownKeys(value, allowedKeys, typeWord);
  const runtime::JsonObjectReader object = value.asObject();
  Control control{.kind = requiredWord<Kind>(object, "kind", &ProfileError::unknownControlKind)};
  control.label = object.required("label").asString();
  if (auto action = object.optional("action")) control.action = Action::decode(*action);
  control.min = optionalDouble(object, "min");
  control.max = optionalDouble(object, "max");
  return control;
}

void Control::encode(nlohmann::json& to) const {
  to = nlohmann::json::object();
  to["kind"] = wordOf(kind);
  to["label"] = label;
  if (action) action->encode(to["action"]);
  putOptional(to, "min", min);
  putOptional(to, "max", max);
}

void Control::validate() const {
  switch (kind) {
    case Kind::jog:
      if (!action) throw ProfileError::missingField("action", "jog control");
      action->validate(true);
      return;
    case Kind::slider:
      if (!min || !max) throw ProfileError::missingField("min and max", "slider control");
      if (!action) throw ProfileError::missingField("action", "slider control");
      action->validate(false);
      return;
    case Kind::trackpad:
      return;  // whatever it holds is carried, not checked
  }
}

bool operator==(const Control& a, const Control& b) {
  return a.kind == b.kind && runtime::canonicallyEqual(a.label, b.label) && a.action == b.action &&
         a.min == b.min && a.max == b.max;
}

}  // namespace brindlet::profiles
