// GIO alone in this file: its headers and Qt's keywords do not mix.
#include "app/ui/DesktopPictureSetting.h"

#include <gio/gio.h>

namespace brindlet::app::ui {

namespace {

bool schemaHasKey(const char* id, const char* key) {
  GSettingsSchemaSource* source = g_settings_schema_source_get_default();
  if (!source) return false;
  GSettingsSchema* schema = g_settings_schema_source_lookup(source, id, TRUE);
  if (!schema) return false;
  const bool has = g_settings_schema_has_key(schema, key);
  g_settings_schema_unref(schema);
  return has;
}

std::string stringSetting(const char* id, const char* key) {
  if (!schemaHasKey(id, key)) return {};
  GSettings* settings = g_settings_new(id);
  gchar* value = g_settings_get_string(settings, key);
  std::string text = value ? value : "";
  g_free(value);
  g_object_unref(settings);
  return text;
}

}  // namespace

std::optional<std::string> desktopPictureFile() {
  constexpr const char* kBackground = "org.gnome.desktop.background";
  const bool dark = stringSetting("org.gnome.desktop.interface", "color-scheme") == "prefer-dark";
  std::string uri = dark ? stringSetting(kBackground, "picture-uri-dark") : std::string();
  if (uri.empty()) uri = stringSetting(kBackground, "picture-uri");
  if (uri.empty()) return std::nullopt;
  gchar* file = g_filename_from_uri(uri.c_str(), nullptr, nullptr);
  if (!file) return std::nullopt;
  std::string path = file;
  g_free(file);
  return path;
}

}  // namespace brindlet::app::ui
