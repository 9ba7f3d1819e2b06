#pragma once

// The tray's menu, built from a plain tree of items: the shell's menu model produces the tree,
// this draws it as a QMenu and hands back the action of the item the user chose.

#include <QIcon>
#include <QMenu>

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace brindlet::app::ui {

struct MenuItem {
  enum class Kind {
    text,     // a disabled line
    label,    // a disabled line with its symbol
    button,   // chooses `action`
    toggle,   // chooses `action`; checked shows its check mark
    picker,   // a submenu named `text` whose `children` are exclusive options (checked: chosen)
    section,  // a titled group of `children`, inline
    submenu,  // a submenu named `text` holding `children`
    divider,
  };
  Kind kind = Kind::text;
  std::string text;
  std::string symbol;  // the kit's symbol name, for labels
  bool enabled = true;
  bool checked = false;
  std::string shortcut;  // a key sequence in Qt's portable form, "Ctrl+Q"
  std::string action;    // what the owner is told when the item is chosen
  std::vector<MenuItem> children;

  friend bool operator==(const MenuItem&, const MenuItem&) = default;
};

// An item of `kind` with its text and action, everything else at its default.
inline MenuItem menuItem(MenuItem::Kind kind, std::string text, std::string action = {}) {
  MenuItem item;
  item.kind = kind;
  item.text = std::move(text);
  item.action = std::move(action);
  return item;
}

// A kit symbol as a light menu icon.
QIcon symbolIcon(std::string_view symbol);

// Replaces the menu's content by the items; choosing one calls `choose` with its action.
void fillMenu(QMenu& menu, const std::vector<MenuItem>& items,
              const std::function<void(const std::string& action)>& choose);

// A menu that holds its items: built afresh each time it opens, and rebuilt at once when new
// items arrive while it is open.
class TrayMenu : public QMenu {
 public:
  using Choose = std::function<void(const std::string& action)>;

  // `aboutToShow` runs before each opening (to refresh what the menu shows).
  explicit TrayMenu(Choose choose, std::function<void()> aboutToShow = nullptr);
  void setItems(std::vector<MenuItem> items);
  const std::vector<MenuItem>& items() const { return items_; }

 private:
  void rebuild();

  Choose choose_;
  std::function<void()> aboutToShow_;
  std::vector<MenuItem> items_;
};

}  // namespace brindlet::app::ui
