// GIO alone in this file: its headers and Qt's keywords do not mix.
#include "design/ReduceMotion.h"

#include <gio/gio.h>

namespace brindlet::design {

bool systemReducesMotion() {
  constexpr const char* kSchema = "org.gnome.desktop.interface";
  constexpr const char* kKey = "enable-animations";
  GSettingsSchemaSource* source = g_settings_schema_source_get_default();
  if (!source) return false;
  GSettingsSchema* schema = g_settings_schema_source_lookup(source, kSchema, TRUE);
  if (!schema) return false;
  const bool known = g_settings_schema_has_key(schema, kKey);
  g_settings_schema_unref(schema);
  if (!known) return false;
  GSettings* settings = g_settings_new(kSchema);
  const bool animations = g_settings_get_boolean(settings, kKey);
  g_object_unref(settings);
  return !animations;
}

}  // namespace brindlet::design
