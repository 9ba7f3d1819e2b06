// GIO alone in this file: its headers and Qt's keywords do not mix. The test harness picks GIO's
// memory settings backend, so the user's own settings are never touched.

#include <gtest/gtest.h>

#include <gio/gio.h>

#include "design/ReduceMotion.h"

namespace brindlet::design {
namespace {

TEST(ReduceMotion, FollowsGnomesAnimationSwitch) {
  GSettingsSchemaSource* source = g_settings_schema_source_get_default();
  GSettingsSchema* schema =
      source ? g_settings_schema_source_lookup(source, "org.gnome.desktop.interface", TRUE)
             : nullptr;
  if (!schema) GTEST_SKIP() << "the GNOME interface settings are not installed";
  g_settings_schema_unref(schema);
  GSettings* settings = g_settings_new("org.gnome.desktop.interface");
  for (bool animations : {true, false, true}) {
    ASSERT_TRUE(g_settings_set_boolean(settings, "enable-animations", animations));
    EXPECT_EQ(systemReducesMotion(), !animations);
  }
  g_settings_reset(settings, "enable-animations");
  g_object_unref(settings);
}

}  // namespace
}  // namespace brindlet::design
