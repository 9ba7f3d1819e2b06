#pragma once

// The tray's menu, drawn as a QMenu from the shell's menu items; choosing an item hands back its
// action.

#include <QIcon>
#include <QMenu>

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "app/core/Menu.h"

namespace brindlet::app::ui {

using Choose = std::function<void(const MenuAction& action)>;

// A kit symbol as a light menu icon.
QIcon symbolIcon(std::string_view symbol);

// Replaces the menu's content by the items; choosing one calls `choose` with its action.
void fillMenu(QMenu& menu, const std::vector<MenuItem>& items, const Choose& choose);

// A menu that holds its items: built afresh each time it opens, and rebuilt at once when new
// items arrive while it is open.
class TrayMenu : public QMenu {
 public:
  // `aboutToShow` runs before each opening (to refresh what the menu shows).
  explicit TrayMenu(Choose choose, std::function<void()> aboutToShow = nullptr);
  void setItems(std::vector<MenuItem> items);
  const std::vector<MenuItem>& items() const { return items_; }

 protected:
  // A menu that pops up on its own, in no menu bar, gets no shortcut of its items from Qt: the
  // key an item shows chooses it here while the menu is open, as Return on it would; from an
  // open submenu too, which has the keyboard then.
  void keyPressEvent(QKeyEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void rebuild();
  // Chooses the item anywhere in the menu whose shortcut is the key; whether there was one.
  bool chooseByShortcut(const QKeyEvent& event);

  Choose choose_;
  std::function<void()> aboutToShow_;
  std::vector<MenuItem> items_;
  bool open_ = false;  // between aboutToShow and aboutToHide
};

}  // namespace brindlet::app::ui
