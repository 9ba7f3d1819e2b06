#pragma once

#include "design/KitWidget.h"

namespace brindlet::app::ui {

// A small spinning progress indicator: twelve spokes, the brightest going round once a second.
// It stands still when the desktop reduces motion.
class Spinner : public design::KitWidget {
 public:
  static constexpr int kSide = 16;

  explicit Spinner(QWidget* parent = nullptr);
  QSize sizeHint() const override { return {kSide, kSide}; }

  QAccessible::Role accessibleRole() const override { return QAccessible::ProgressBar; }
  QString accessibleText(QAccessible::Text) const override { return {}; }

 protected:
  void paintEvent(QPaintEvent* event) override;
  void showEvent(QShowEvent* event) override;
  bool animating(double) const override { return isVisible() && !still_; }

 private:
  bool still_ = false;
};

}  // namespace brindlet::app::ui
