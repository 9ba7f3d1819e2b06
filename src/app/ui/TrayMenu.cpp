#include "app/ui/TrayMenu.h"

#include <QActionGroup>
#include <QCoreApplication>
#include <QKeyEvent>
#include <QPainter>
#include <QPixmap>

#include "design/Symbols.h"

namespace brindlet::app::ui {

namespace {

QString textOf(const std::string& text) {
  return QString::fromStdString(text);
}

QAction* addChoice(QMenu& menu, const MenuItem& item, const Choose& choose) {
  QAction* action = menu.addAction(textOf(item.text));
  action->setEnabled(item.enabled);
  if (!item.shortcut.empty())
    action->setShortcut(QKeySequence(textOf(item.shortcut), QKeySequence::PortableText));
  QObject::connect(action, &QAction::triggered, &menu,
                   [choose, chosen = item.action] { choose(chosen); });
  return action;
}

void addItem(QMenu& menu, const MenuItem& item, const Choose& choose);

void addItems(QMenu& menu, const std::vector<MenuItem>& items, const Choose& choose) {
  for (const MenuItem& item : items) addItem(menu, item, choose);
}

void addItem(QMenu& menu, const MenuItem& item, const Choose& choose) {
  using Kind = MenuItem::Kind;
  switch (item.kind) {
    case Kind::text:
      menu.addAction(textOf(item.text))->setEnabled(false);
      return;
    case Kind::label:
      menu.addAction(symbolIcon(item.symbol), textOf(item.text))->setEnabled(false);
      return;
    case Kind::button:
      addChoice(menu, item, choose);
      return;
    case Kind::toggle: {
      QAction* action = addChoice(menu, item, choose);
      action->setCheckable(true);
      action->setChecked(item.checked);
      return;
    }
    case Kind::picker: {
      QMenu* options = menu.addMenu(textOf(item.text));
      options->setEnabled(item.enabled);
      auto* group = new QActionGroup(options);
      group->setExclusive(true);
      for (const MenuItem& option : item.children) {
        QAction* action = addChoice(*options, option, choose);
        action->setCheckable(true);
        action->setChecked(option.checked);
        group->addAction(action);
      }
      return;
    }
    case Kind::section:
      menu.addSection(textOf(item.text));
      addItems(menu, item.children, choose);
      return;
    case Kind::submenu: {
      QMenu* sub = menu.addMenu(textOf(item.text));
      sub->setEnabled(item.enabled);
      addItems(*sub, item.children, choose);
      return;
    }
    case Kind::divider:
      menu.addSeparator();
      return;
  }
}

}  // namespace

QIcon symbolIcon(std::string_view symbol) {
  QIcon icon;
  for (int side : {16, 32}) {
    QPixmap pixmap(side, side);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    design::paintSymbol(p, symbol, QPointF(side / 2.0, side / 2.0), side * 0.85,
                        QColor(255, 255, 255, 230));
    p.end();
    icon.addPixmap(pixmap);
  }
  return icon;
}

void fillMenu(QMenu& menu, const std::vector<MenuItem>& items, const Choose& choose) {
  // clear() leaves the submenus, which the menu owns as children. Later, not now: this may run
  // from inside one of their signals.
  for (QMenu* sub : menu.findChildren<QMenu*>(Qt::FindDirectChildrenOnly)) sub->deleteLater();
  menu.clear();
  addItems(menu, items, choose);
}

TrayMenu::TrayMenu(Choose choose, std::function<void()> aboutToShow)
    : choose_(std::move(choose)), aboutToShow_(std::move(aboutToShow)) {
  QObject::connect(this, &QMenu::aboutToShow, this, [this] {
    open_ = true;
    if (aboutToShow_) aboutToShow_();
    rebuild();
  });
  QObject::connect(this, &QMenu::aboutToHide, this, [this] { open_ = false; });
}

void TrayMenu::setItems(std::vector<MenuItem> items) {
  if (items == items_) return;
  items_ = std::move(items);
  // Open as its host sees it: a menu exported over D-Bus is never a visible widget.
  if (open_ || isVisible()) rebuild();
}

void TrayMenu::keyPressEvent(QKeyEvent* event) {
  if (!chooseByShortcut(*event)) QMenu::keyPressEvent(event);
}

bool TrayMenu::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::KeyPress && chooseByShortcut(*static_cast<QKeyEvent*>(event)))
    return true;
  return QMenu::eventFilter(watched, event);
}

bool TrayMenu::chooseByShortcut(const QKeyEvent& event) {
  const QKeySequence pressed(event.keyCombination());
  // The menu's levels as its items reach them (submenus of a former build wait for deletion).
  std::vector<QMenu*> menus{this};
  for (std::size_t at = 0; at < menus.size(); ++at)
    for (QAction* action : menus[at]->actions())
      if (action->menu()) menus.push_back(action->menu());
  for (QMenu* menu : menus) {
    for (QAction* action : menu->actions()) {
      if (action->shortcut().isEmpty() || action->shortcut() != pressed || !action->isEnabled())
        continue;
      // Return on the item's own menu chooses it and closes every open level.
      menu->setActiveAction(action);
      QKeyEvent choose(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
      if (menu == this) {
        QMenu::keyPressEvent(&choose);
      } else {
        QCoreApplication::sendEvent(menu, &choose);
      }
      return true;
    }
  }
  return false;
}

void TrayMenu::rebuild() {
  // A choice runs after the menu has closed and its actions may be gone: it goes through a
  // copy of the owner's function, never through the menu.
  fillMenu(*this, items_, [choose = choose_](const MenuAction& action) {
    if (choose) choose(action);
  });
  for (QMenu* sub : findChildren<QMenu*>()) sub->installEventFilter(this);
}

}  // namespace brindlet::app::ui
