// A Secret Service that holds no items and answers each search only after a delay, as a keyring
// waiting for its user's password does, and that refuses every write: it has no default
// collection to write to, as where the user cancelled the prompt to make one. Usage:
// slow-secret-service <delay in ms> [<file that gets each call's method name>]. Owns
// org.freedesktop.secrets on the session bus until it is ended.
#include <gio/gio.h>

#include <cstdio>
#include <cstdlib>

namespace {

constexpr const char* kInterface = R"(
<node>
  <interface name="org.freedesktop.Secret.Service">
    <method name="OpenSession">
      <arg name="algorithm" type="s" direction="in"/>
      <arg name="input" type="v" direction="in"/>
      <arg name="output" type="v" direction="out"/>
      <arg name="result" type="o" direction="out"/>
    </method>
    <method name="ReadAlias">
      <arg name="name" type="s" direction="in"/>
      <arg name="collection" type="o" direction="out"/>
    </method>
    <method name="SearchItems">
      <arg name="attributes" type="a{ss}" direction="in"/>
      <arg name="unlocked" type="ao" direction="out"/>
      <arg name="locked" type="ao" direction="out"/>
    </method>
  </interface>
</node>)";

guint delayMs = 0;
const char* callLog = nullptr;

gboolean answerSearch(gpointer data) {
  auto* invocation = static_cast<GDBusMethodInvocation*>(data);
  g_dbus_method_invocation_return_value(invocation, g_variant_new("(aoao)", nullptr, nullptr));
  return G_SOURCE_REMOVE;
}

void call(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* method,
          GVariant* parameters, GDBusMethodInvocation* invocation, gpointer) {
  if (callLog) {
    if (FILE* log = std::fopen(callLog, "a")) {
      std::fprintf(log, "%s\n", method);
      std::fclose(log);
    }
  }
  if (g_strcmp0(method, "ReadAlias") == 0) {
    g_dbus_method_invocation_return_dbus_error(
        invocation, "org.freedesktop.Secret.Error.NoSuchObject", "no default collection");
    return;
  }
  if (g_strcmp0(method, "OpenSession") == 0) {
    const gchar* algorithm = nullptr;
    GVariant* input = nullptr;
    g_variant_get(parameters, "(&sv)", &algorithm, &input);
    g_variant_unref(input);
    if (g_strcmp0(algorithm, "plain") != 0) {
      g_dbus_method_invocation_return_dbus_error(
          invocation, "org.freedesktop.DBus.Error.NotSupported", "only plain");
      return;
    }
    g_dbus_method_invocation_return_value(
        invocation,
        g_variant_new("(vo)", g_variant_new_string(""), "/org/freedesktop/secrets/session/1"));
    return;
  }
  // SearchItems: the answer comes later, the loop meanwhile free for other callers.
  g_timeout_add(delayMs, answerSearch, invocation);
}

void acquired(GDBusConnection* connection, const gchar*, gpointer) {
  static const GDBusInterfaceVTable table = {call, nullptr, nullptr, {}};
  GDBusNodeInfo* info = g_dbus_node_info_new_for_xml(kInterface, nullptr);
  g_dbus_connection_register_object(connection, "/org/freedesktop/secrets", info->interfaces[0],
                                    &table, nullptr, nullptr, nullptr);
}

}  // namespace

int main(int argc, char** argv) {
  delayMs = argc > 1 ? static_cast<guint>(std::atoi(argv[1])) : 2000;
  callLog = argc > 2 ? argv[2] : nullptr;
  g_bus_own_name(G_BUS_TYPE_SESSION, "org.freedesktop.secrets", G_BUS_NAME_OWNER_FLAGS_NONE,
                 acquired, nullptr, nullptr, nullptr, nullptr);
  g_main_loop_run(g_main_loop_new(nullptr, FALSE));
}
