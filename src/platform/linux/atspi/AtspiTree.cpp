#include "platform/linux/atspi/AtspiTree.h"

#include <atspi/atspi.h>
#include <dbus/dbus.h>

#include <array>
#include <charconv>
#include <mutex>
#include <optional>
#include <utility>

#include <boost/asio/post.hpp>

namespace brindlet::platform {
namespace {

using Element = deck::AccessibilityTree::Element;
using Role = deck::AccessibilityTree::Role;

// Long enough for a busy app to answer, short enough that a stopped one costs one refresh.
constexpr int callTimeoutMs = 250;

AtspiAccessible* raw(const Element& element) {
  return static_cast<AtspiAccessible*>(element.get());
}

// Runs a call that reports failure through a GError; the failure becomes `fallback`.
template <class Call, class T>
T checked(Call call, T fallback) {
  GError* error = nullptr;
  auto result = call(&error);
  if (error != nullptr) {
    g_error_free(error);
    return fallback;
  }
  return result;
}

std::string takeString(gchar* text) {
  if (text == nullptr) return {};
  std::string result(text);
  g_free(text);
  return result;
}

// Roles as libatspi names them; the first row of a role is the one asked for.
constexpr std::pair<AtspiRole, Role> roles[] = {
    {ATSPI_ROLE_APPLICATION, Role::application},
    {ATSPI_ROLE_FRAME, Role::frame},
    {ATSPI_ROLE_WINDOW, Role::window},
    {ATSPI_ROLE_DIALOG, Role::dialog},
    {ATSPI_ROLE_ALERT, Role::dialog},
    {ATSPI_ROLE_FILE_CHOOSER, Role::dialog},
    {ATSPI_ROLE_MENU_BAR, Role::menuBar},
    {ATSPI_ROLE_MENU, Role::menu},
    {ATSPI_ROLE_MENU_ITEM, Role::menuItem},
    {ATSPI_ROLE_CHECK_MENU_ITEM, Role::checkMenuItem},
    {ATSPI_ROLE_RADIO_MENU_ITEM, Role::radioMenuItem},
    {ATSPI_ROLE_TOOL_BAR, Role::toolBar},
    {ATSPI_ROLE_PANEL, Role::panel},
    {ATSPI_ROLE_FILLER, Role::filler},
    {ATSPI_ROLE_PUSH_BUTTON, Role::pushButton},
    {ATSPI_ROLE_TOGGLE_BUTTON, Role::toggleButton},
    {ATSPI_ROLE_CHECK_BOX, Role::checkBox},
    {ATSPI_ROLE_RADIO_BUTTON, Role::radioButton},
    {ATSPI_ROLE_PUSH_BUTTON_MENU, Role::pushButtonMenu},
    {ATSPI_ROLE_DOCUMENT_WEB, Role::documentWeb},
};

Role roleOf(AtspiRole role) {
  for (const auto& [atspi, ours] : roles) {
    if (atspi == role) return ours;
  }
  return Role::other;
}

AtspiRole atspiRoleOf(Role role) {
  for (const auto& [atspi, ours] : roles) {
    if (ours == role) return atspi;
  }
  return ATSPI_ROLE_INVALID;
}

std::string shortestDecimal(double number) {
  std::array<char, 32> text{};
  const auto [end, error] = std::to_chars(text.data(), text.data() + text.size(), number);
  return error == std::errc() ? std::string(text.data(), end) : std::string();
}

// How long a child list may be answered from memory: the reads of one refresh.
constexpr auto kRememberChildren = std::chrono::milliseconds(100);

}  // namespace

// libatspi keeps its caches on the worker, so elements are let go of there. Once the worker has
// ended nothing else uses libatspi, and whoever lets go of an element does it at once.
struct AtspiTree::Releaser {
  std::mutex mutex;
  std::optional<boost::asio::any_io_executor> worker;

  void release(void* object) {
    std::lock_guard lock(mutex);
    if (worker) {
      boost::asio::post(*worker, [object] { g_object_unref(object); });
    } else {
      g_object_unref(object);
    }
  }
};

AtspiTree::AtspiTree() : worker_("atspi"), releaser_(std::make_shared<Releaser>()) {
  releaser_->worker = worker_.executor();
}

AtspiTree::~AtspiTree() {
  worker_.stop();
  if (auto* bus = static_cast<DBusConnection*>(sessionBus_)) {
    dbus_connection_close(bus);
    dbus_connection_unref(bus);
  }
  std::lock_guard lock(releaser_->mutex);
  releaser_->worker.reset();
}

// Takes over the reference libatspi handed out.
AtspiTree::Element AtspiTree::adopt(void* accessible) const {
  if (accessible == nullptr) return {};
  return Element(accessible, [releaser = releaser_](void* object) { releaser->release(object); });
}

std::vector<AtspiTree::Element> AtspiTree::adoptAll(void* array) const {
  std::vector<Element> result;
  auto* accessibles = static_cast<GArray*>(array);
  if (accessibles == nullptr) return result;
  for (guint i = 0; i < accessibles->len; ++i)
    result.push_back(adopt(g_array_index(accessibles, AtspiAccessible*, i)));
  g_array_free(accessibles, TRUE);
  return result;
}

boost::asio::awaitable<void> AtspiTree::visit(std::function<void()> work) {
  auto job = [this, work = std::move(work)] {
    if (!started_) {
      atspi_init();
      atspi_set_timeout(callTimeoutMs, callTimeoutMs);
      started_ = true;
    }
    // Apps announce changes as signals; handling those keeps libatspi's cache current, and
    // makes the child lists remembered here stale.
    bool changed = false;
    while (g_main_context_iteration(nullptr, FALSE)) changed = true;
    const auto now = std::chrono::steady_clock::now();
    if (changed || now - childrenSince_ > kRememberChildren) {
      children_.clear();
      childrenSince_ = now;
    }
    work();
  };
  auto worker = worker_.executor();
  co_await runtime::offload(std::move(worker), std::move(job));
}

std::vector<deck::AccessibilityTree::Element> AtspiTree::applications() {
  auto desktop = adopt(atspi_get_desktop(0));
  auto apps = desktop ? children(desktop) : std::vector<Element>{};
  // Without a mask libatspi asks the app again for every name, role and child list; with it
  // they are kept and brought up to date by the app's change signals, which visit() handles.
  for (auto& app : apps) atspi_accessible_set_cache_mask(raw(app), ATSPI_CACHE_DEFAULT);
  return apps;
}

int AtspiTree::processId(const Element& element) {
  // Each answer is a call to the bus daemon; an app's connection keeps its process for life, and
  // the bus never hands out a connection's unique name again.
  const auto* object = reinterpret_cast<const AtspiObject*>(raw(element));
  const char* bus = object->app != nullptr ? object->app->bus_name : nullptr;
  if (bus != nullptr) {
    if (const auto known = processes_.find(bus); known != processes_.end()) return known->second;
  }
  const auto pid = static_cast<int>(checked(
      [&](GError** error) { return atspi_accessible_get_process_id(raw(element), error); }, 0u));
  if (bus != nullptr && pid > 0) {
    if (processes_.size() >= 1024) processes_.clear();
    processes_.emplace(bus, pid);
  }
  return pid;
}

std::vector<deck::AccessibilityTree::Element> AtspiTree::children(const Element& element) {
  if (const auto known = children_.find(element.get()); known != children_.end()) {
    return known->second.children;
  }
  std::vector<Element> result;
  const gint count = checked(
      [&](GError** error) { return atspi_accessible_get_child_count(raw(element), error); }, 0);
  for (gint i = 0; i < count; ++i) {
    auto* child = checked(
        [&](GError** error) { return atspi_accessible_get_child_at_index(raw(element), i, error); },
        static_cast<AtspiAccessible*>(nullptr));
    if (auto adopted = adopt(child)) result.push_back(std::move(adopted));
  }
  children_[element.get()] = {element, result};
  return result;
}

deck::AccessibilityTree::Role AtspiTree::role(const Element& element) {
  return roleOf(
      checked([&](GError** error) { return atspi_accessible_get_role(raw(element), error); },
              ATSPI_ROLE_INVALID));
}

std::string AtspiTree::name(const Element& element) {
  return takeString(
      checked([&](GError** error) { return atspi_accessible_get_name(raw(element), error); },
              static_cast<gchar*>(nullptr)));
}

std::string AtspiTree::description(const Element& element) {
  return takeString(
      checked([&](GError** error) { return atspi_accessible_get_description(raw(element), error); },
              static_cast<gchar*>(nullptr)));
}

std::optional<std::string> AtspiTree::value(const Element& element) {
  if (AtspiValue* value = atspi_accessible_get_value_iface(raw(element))) {
    GError* error = nullptr;
    const double number = atspi_value_get_current_value(value, &error);
    g_object_unref(value);
    if (error == nullptr) return shortestDecimal(number);
    g_error_free(error);
  }
  if (AtspiText* text = atspi_accessible_get_text_iface(raw(element))) {
    const gint count =
        checked([&](GError** error) { return atspi_text_get_character_count(text, error); }, -1);
    std::optional<std::string> contents;
    if (count >= 0) {
      gchar* got =
          checked([&](GError** error) { return atspi_text_get_text(text, 0, count, error); },
                  static_cast<gchar*>(nullptr));
      if (got != nullptr) contents = takeString(got);
    }
    g_object_unref(text);
    return contents;
  }
  return std::nullopt;
}

bool AtspiTree::isActive(const Element& element) {
  AtspiStateSet* states = atspi_accessible_get_state_set(raw(element));
  if (states == nullptr) return false;
  const bool active = atspi_state_set_contains(states, ATSPI_STATE_ACTIVE);
  g_object_unref(states);
  return active;
}

// A connection of our own that never ends the process when the bus goes; libatspi's
// connections are its own. None when there is no session bus.
void* AtspiTree::ownBus() {
  auto* bus = static_cast<DBusConnection*>(sessionBus_);
  if (bus != nullptr && !dbus_connection_get_is_connected(bus)) {
    dbus_connection_unref(bus);
    sessionBus_ = bus = nullptr;
  }
  if (bus == nullptr) {
    DBusError error;
    dbus_error_init(&error);
    bus = dbus_bus_get_private(DBUS_BUS_SESSION, &error);
    dbus_error_free(&error);
    if (bus == nullptr) return nullptr;
    dbus_connection_set_exit_on_disconnect(bus, FALSE);
    sessionBus_ = bus;
  }
  return bus;
}

void AtspiTree::requestTrees() {
  auto* bus = static_cast<DBusConnection*>(ownBus());
  if (bus == nullptr) return;
  DBusMessage* call = dbus_message_new_method_call("org.a11y.Bus", "/org/a11y/bus",
                                                   "org.freedesktop.DBus.Properties", "Set");
  const char* interface = "org.a11y.Status";
  const char* property = "IsEnabled";
  const dbus_bool_t enabled = TRUE;
  DBusMessageIter args, value;
  dbus_message_iter_init_append(call, &args);
  dbus_message_iter_append_basic(&args, DBUS_TYPE_STRING, &interface);
  dbus_message_iter_append_basic(&args, DBUS_TYPE_STRING, &property);
  dbus_message_iter_open_container(&args, DBUS_TYPE_VARIANT, "b", &value);
  dbus_message_iter_append_basic(&value, DBUS_TYPE_BOOLEAN, &enabled);
  dbus_message_iter_close_container(&args, &value);
  DBusError error;
  dbus_error_init(&error);
  DBusMessage* reply = dbus_connection_send_with_reply_and_block(bus, call, callTimeoutMs, &error);
  dbus_message_unref(call);
  if (reply != nullptr) dbus_message_unref(reply);
  dbus_error_free(&error);
}

bool AtspiTree::readTreesEnabled() {
  auto* bus = static_cast<DBusConnection*>(ownBus());
  if (bus == nullptr) return false;
  DBusMessage* call = dbus_message_new_method_call("org.a11y.Bus", "/org/a11y/bus",
                                                   "org.freedesktop.DBus.Properties", "Get");
  const char* interface = "org.a11y.Status";
  const char* property = "IsEnabled";
  dbus_message_append_args(call, DBUS_TYPE_STRING, &interface, DBUS_TYPE_STRING, &property,
                           DBUS_TYPE_INVALID);
  DBusError error;
  dbus_error_init(&error);
  DBusMessage* reply = dbus_connection_send_with_reply_and_block(bus, call, callTimeoutMs, &error);
  dbus_message_unref(call);
  dbus_error_free(&error);
  if (reply == nullptr) return false;
  dbus_bool_t enabled = FALSE;
  DBusMessageIter args, value;
  if (dbus_message_iter_init(reply, &args) &&
      dbus_message_iter_get_arg_type(&args) == DBUS_TYPE_VARIANT) {
    dbus_message_iter_recurse(&args, &value);
    if (dbus_message_iter_get_arg_type(&value) == DBUS_TYPE_BOOLEAN)
      dbus_message_iter_get_basic(&value, &enabled);
  }
  dbus_message_unref(reply);
  return enabled != FALSE;
}

boost::asio::awaitable<bool> AtspiTree::treesEnabled() {
  auto worker = worker_.executor();
  auto read = [this] { return readTreesEnabled(); };
  const bool enabled = co_await runtime::offload(std::move(worker), std::move(read));
  co_return enabled;
}

boost::asio::awaitable<void> AtspiTree::enableTrees() {
  auto worker = worker_.executor();
  auto request = [this] { requestTrees(); };
  co_await runtime::offload(std::move(worker), std::move(request));
}

std::optional<std::vector<deck::AccessibilityTree::Element>> AtspiTree::descendants(
    const Element& root, const std::vector<Role>& wanted) {
  AtspiCollection* collection = atspi_accessible_get_collection_iface(raw(root));
  if (collection == nullptr) return std::nullopt;
  GArray* roleList = g_array_new(FALSE, FALSE, sizeof(gint));
  for (const auto role : wanted) {
    // The request carries roles as a 128-bit set: later roles (push button menus) are not asked.
    const gint atspi = atspiRoleOf(role);
    if (atspi < 128) g_array_append_val(roleList, atspi);
  }
  AtspiMatchRule* rule = atspi_match_rule_new(
      nullptr, ATSPI_Collection_MATCH_ALL, nullptr, ATSPI_Collection_MATCH_ALL, roleList,
      ATSPI_Collection_MATCH_ANY, nullptr, ATSPI_Collection_MATCH_ALL, FALSE);
  GError* error = nullptr;
  GArray* found = atspi_collection_get_matches(
      collection, rule, ATSPI_Collection_SORT_ORDER_CANONICAL, 0, TRUE, &error);
  g_object_unref(rule);
  g_array_free(roleList, TRUE);
  g_object_unref(collection);
  if (error != nullptr) {
    g_error_free(error);
    if (found != nullptr) adoptAll(found);
    return std::nullopt;
  }
  return adoptAll(found);
}

bool AtspiTree::press(const Element& element) {
  AtspiAction* action = atspi_accessible_get_action_iface(raw(element));
  if (action == nullptr) return false;
  const bool done = checked(
      [&](GError** error) { return atspi_action_do_action(action, 0, error) != FALSE; }, false);
  g_object_unref(action);
  return done;
}

}  // namespace brindlet::platform
