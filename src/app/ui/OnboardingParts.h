#pragma once

// The pieces the onboarding pages are made of: the page dots, the main button on glass, the
// translucent card that holds each page's content, and the switch of the closing card.

#include <QAbstractButton>
#include <QPushButton>
#include <QWidget>

#include "design/KitWidget.h"
#include "design/Spring.h"

class QHBoxLayout;

namespace brindlet::app::ui {

// A row of capsules, the current one long and bright; reads "Step n of count".
class PageDots : public design::KitWidget {
 public:
  static constexpr int kDot = 7;
  static constexpr int kCurrentWidth = 18;
  static constexpr int kSpacing = 7;

  explicit PageDots(int count, QWidget* parent = nullptr);
  void setCurrent(int current);
  int current() const { return current_; }
  QSize sizeHint() const override;

  QAccessible::Role accessibleRole() const override { return QAccessible::StaticText; }
  QString accessibleText(QAccessible::Text text) const override;

 protected:
  void paintEvent(QPaintEvent* event) override;
  bool animating(double at) const override { return !move_.settled(at); }

 private:
  int count_;
  int current_ = 0;
  int previous_ = 0;
  design::Motion move_;
};

// The page's main button: its title on the kit's glass capsule, bright on the accent when
// focused or pressed.
class GlassButton : public QPushButton {
 public:
  explicit GlassButton(QWidget* parent = nullptr);
  QSize sizeHint() const override { return {96, 36}; }

 protected:
  void paintEvent(QPaintEvent* event) override;
};

// The rounded translucent card under a page's content: a row with the kit's ultra-thin
// material, radius 16, and a faint white edge.
class OnboardingCard : public QWidget {
 public:
  static constexpr int kMaxWidth = 460;

  explicit OnboardingCard(QWidget* parent = nullptr);
  QHBoxLayout* row() const { return row_; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QHBoxLayout* row_;
};

// An on/off switch with its label to the left.
class Switch : public QAbstractButton {
 public:
  static constexpr int kTrackWidth = 38;
  static constexpr int kTrackHeight = 22;

  explicit Switch(const QString& text, QWidget* parent = nullptr);
  QSize sizeHint() const override;

 protected:
  void paintEvent(QPaintEvent* event) override;
  bool hitButton(const QPoint& at) const override { return rect().contains(at); }
};

}  // namespace brindlet::app::ui
