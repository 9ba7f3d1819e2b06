#pragma once

// The content of the onboarding pages: a permission's state, the phone to connect, and the
// closing card with its tips and two switches. Each draws a plain look that the onboarding's
// tables fill in, and reports what the user chose.

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "app/core/Menu.h"
#include "app/ui/OnboardingParts.h"
#include "app/ui/TrayMenu.h"
#include "design/Color.h"

class QLabel;
class QVBoxLayout;

namespace brindlet::app::ui {

class Spinner;

// A kit symbol at one size and colour; read out only when it has a name.
class SymbolView : public design::KitWidget {
 public:
  SymbolView(std::string symbol, int size, QColor colour, QWidget* parent = nullptr);
  void setSymbol(std::string symbol, QColor colour);
  const std::string& symbol() const { return symbol_; }
  void setAccessibleLabel(QString label) { label_ = std::move(label); }

  QAccessible::Role accessibleRole() const override { return QAccessible::Graphic; }
  QString accessibleText(QAccessible::Text text) const override;
  bool hiddenFromAccessibility() const override { return label_.isEmpty(); }

 protected:
  void paintEvent(QPaintEvent* event) override;
  bool animating(double at) const override { return !swap_.settled(at); }

 private:
  std::string symbol_, previous_;
  int size_;
  QColor colour_;
  QString label_;
  design::Motion swap_;
};

struct PermissionCardLook {
  std::string symbol;  // the permission's own
  std::string name;
  std::string status;  // "On", "Off", or waiting for the user
  bool granted = false;
  friend bool operator==(const PermissionCardLook&, const PermissionCardLook&) = default;
};

class PermissionCard : public OnboardingCard {
 public:
  explicit PermissionCard(const PermissionCardLook& look, QWidget* parent = nullptr);
  void setLook(const PermissionCardLook& look);
  const PermissionCardLook& look() const { return look_; }
  SymbolView* statusSymbol() const { return mark_; }

 private:
  PermissionCardLook look_;
  SymbolView* symbol_;
  QLabel* name_;
  QLabel* status_;
  SymbolView* mark_;
};

struct ConnectCardLook {
  struct Connected {
    std::string name;
    std::string route;  // "Connected over Wi-Fi", "Connected with USB-C"
    friend bool operator==(const Connected&, const Connected&) = default;
  };
  struct Row {
    std::string id;
    std::string name;
    std::string button;  // "Connect" or "Pair…"
    MenuAction action;   // connect or pair
    friend bool operator==(const Row&, const Row&) = default;
  };
  std::optional<Connected> connected;
  std::string heading;  // while none is connected
  std::vector<Row> rows;
  friend bool operator==(const ConnectCardLook&, const ConnectCardLook&) = default;
};

class ConnectCard : public QWidget {
 public:
  ConnectCard(Choose choose, QWidget* parent = nullptr);
  void setLook(const ConnectCardLook& look);
  const ConnectCardLook& look() const { return look_; }
  // The buttons of the phones' rows, in order.
  std::vector<QPushButton*> rowButtons() const;
  QLabel* heading() const { return heading_; }

 private:
  void rebuild();

  Choose choose_;
  ConnectCardLook look_;
  QVBoxLayout* column_;
  QLabel* heading_ = nullptr;
  std::vector<QWidget*> shown_;
};

struct ReadyCardLook {
  struct Tip {
    std::string symbol;
    std::string text;
  };
  std::vector<Tip> tips;
  std::string launchText;  // "Open Brindlet when you log in"
  std::string followText;  // "Open windows on iPhone when you start them from it"
};

class ReadyCard : public QWidget {
 public:
  ReadyCard(const ReadyCardLook& look, std::function<void(bool)> launchChanged,
            std::function<void(bool)> followChanged, QWidget* parent = nullptr);
  void setSwitches(bool launch, bool follow);
  // What the last Done could not keep, under the switches; hidden when empty.
  void setFailure(const std::string& text);
  Switch* launchSwitch() const { return launch_; }
  Switch* followSwitch() const { return follow_; }
  QLabel* failureLine() const { return failure_; }

 private:
  Switch* launch_;
  Switch* follow_;
  QLabel* failure_;
};

}  // namespace brindlet::app::ui
