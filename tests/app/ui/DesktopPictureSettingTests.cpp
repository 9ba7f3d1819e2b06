// GIO alone in this file: its headers and Qt's keywords do not mix. The settings live in GIO's
// memory backend (the Qt harness sets GSETTINGS_BACKEND=memory before anything reads them).

#include <gio/gio.h>
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "app/ui/DesktopPictureSetting.h"

namespace brindlet::app::ui {
namespace {

bool installed(const char* id) {
  GSettingsSchemaSource* source = g_settings_schema_source_get_default();
  GSettingsSchema* schema = source ? g_settings_schema_source_lookup(source, id, TRUE) : nullptr;
  if (schema) g_settings_schema_unref(schema);
  return schema != nullptr;
}

void setString(const char* id, const char* key, const char* value) {
  GSettings* settings = g_settings_new(id);
  if (value)
    g_settings_set_string(settings, key, value);
  else
    g_settings_reset(settings, key);
  g_object_unref(settings);
}

TEST(DesktopPictureSetting, NamesTheFileOfTheSchemesPicture) {
  if (!installed("org.gnome.desktop.background") || !installed("org.gnome.desktop.interface"))
    GTEST_SKIP() << "GNOME's desktop settings schemas are not installed";
  struct Case {
    const char* scheme;
    const char* light;
    const char* dark;
    std::optional<std::string> file;
  };
  const Case cases[] = {
      {"default", "file:///usr/share/backgrounds/a%20b.png", "file:///tmp/dark.png",
       "/usr/share/backgrounds/a b.png"},
      {"prefer-dark", "file:///tmp/light.png", "file:///tmp/dark.png", "/tmp/dark.png"},
      {"prefer-dark", "file:///tmp/light.png", "", "/tmp/light.png"},
      {"prefer-light", "file:///tmp/light.png", "file:///tmp/dark.png", "/tmp/light.png"},
      {"default", "https://example.org/picture.png", "", std::nullopt},
      {"default", "", "", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.scheme) + " " + c.light);
    setString("org.gnome.desktop.interface", "color-scheme", c.scheme);
    setString("org.gnome.desktop.background", "picture-uri", c.light);
    setString("org.gnome.desktop.background", "picture-uri-dark", c.dark);
    EXPECT_EQ(desktopPictureFile(), c.file);
  }
  setString("org.gnome.desktop.interface", "color-scheme", nullptr);
  setString("org.gnome.desktop.background", "picture-uri", nullptr);
  setString("org.gnome.desktop.background", "picture-uri-dark", nullptr);
}

}  // namespace
}  // namespace brindlet::app::ui
