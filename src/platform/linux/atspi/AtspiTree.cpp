#include "platform/linux/atspi/AtspiTree.h"

#include <atspi/atspi.h>

#include <array>
#include <charconv>

namespace brindlet::platform {
namespace {

using Element = deck::AccessibilityTree::Element;
using Role = deck::AccessibilityTree::Role;

// Long enough for a busy app to answer, short enough that a stopped one costs one refresh.
constexpr int callTimeoutMs = 250;

AtspiAccessible* raw(const Element& element) {
  return static_cast<AtspiAccessible*>(element.get());
}

// Takes over the reference libatspi handed out.
Element adopt(AtspiAccessible* accessible) {
  if (accessible == nullptr) return {};
  return Element(accessible, [](void* object) { g_object_unref(object); });
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

Role roleOf(AtspiRole role) {
  switch (role) {
    case ATSPI_ROLE_APPLICATION:
      return Role::application;
    case ATSPI_ROLE_FRAME:
      return Role::frame;
    case ATSPI_ROLE_WINDOW:
      return Role::window;
    case ATSPI_ROLE_DIALOG:
    case ATSPI_ROLE_ALERT:
    case ATSPI_ROLE_FILE_CHOOSER:
      return Role::dialog;
    case ATSPI_ROLE_MENU_BAR:
      return Role::menuBar;
    case ATSPI_ROLE_MENU:
      return Role::menu;
    case ATSPI_ROLE_MENU_ITEM:
      return Role::menuItem;
    case ATSPI_ROLE_CHECK_MENU_ITEM:
      return Role::checkMenuItem;
    case ATSPI_ROLE_RADIO_MENU_ITEM:
      return Role::radioMenuItem;
    case ATSPI_ROLE_TOOL_BAR:
      return Role::toolBar;
    case ATSPI_ROLE_PANEL:
      return Role::panel;
    case ATSPI_ROLE_FILLER:
      return Role::filler;
    case ATSPI_ROLE_PUSH_BUTTON:
      return Role::pushButton;
    case ATSPI_ROLE_TOGGLE_BUTTON:
      return Role::toggleButton;
    case ATSPI_ROLE_CHECK_BOX:
      return Role::checkBox;
    case ATSPI_ROLE_RADIO_BUTTON:
      return Role::radioButton;
    case ATSPI_ROLE_PUSH_BUTTON_MENU:
      return Role::pushButtonMenu;
    case ATSPI_ROLE_DOCUMENT_WEB:
      return Role::documentWeb;
    default:
      return Role::other;
  }
}

std::vector<Element> childrenOf(AtspiAccessible* parent) {
  std::vector<Element> result;
  const gint count =
      checked([&](GError** error) { return atspi_accessible_get_child_count(parent, error); }, 0);
  for (gint i = 0; i < count; ++i) {
    auto* child = checked(
        [&](GError** error) { return atspi_accessible_get_child_at_index(parent, i, error); },
        static_cast<AtspiAccessible*>(nullptr));
    if (auto element = adopt(child)) result.push_back(std::move(element));
  }
  return result;
}

std::string shortestDecimal(double number) {
  std::array<char, 32> text{};
  const auto [end, error] = std::to_chars(text.data(), text.data() + text.size(), number);
  return error == std::errc() ? std::string(text.data(), end) : std::string();
}

}  // namespace

AtspiTree::AtspiTree() : worker_("atspi") {}

AtspiTree::~AtspiTree() {
  worker_.stop();
}

boost::asio::awaitable<void> AtspiTree::visit(std::function<void()> work) {
  auto job = [this, work = std::move(work)] {
    if (!started_) {
      atspi_init();
      atspi_set_timeout(callTimeoutMs, callTimeoutMs);
      started_ = true;
    }
    // Apps announce changes as signals; handling those keeps libatspi's cache current.
    while (g_main_context_iteration(nullptr, FALSE)) {
    }
    work();
  };
  auto worker = worker_.executor();
  co_await runtime::offload(std::move(worker), std::move(job));
}

std::vector<deck::AccessibilityTree::Element> AtspiTree::applications() {
  auto desktop = adopt(atspi_get_desktop(0));
  return desktop ? childrenOf(raw(desktop)) : std::vector<Element>{};
}

int AtspiTree::processId(const Element& element) {
  return static_cast<int>(checked(
      [&](GError** error) { return atspi_accessible_get_process_id(raw(element), error); }, 0u));
}

std::vector<deck::AccessibilityTree::Element> AtspiTree::children(const Element& element) {
  return childrenOf(raw(element));
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

}  // namespace brindlet::platform
