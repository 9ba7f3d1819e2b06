#pragma once

// The base of the app's windows: no frame from the window manager, a title that the window
// manager lists but nobody draws, a close control of our own, and a background that moves the
// window when dragged. And the rule that each kind of window is open at most once.

#include <QAbstractButton>
#include <QPointer>
#include <QWidget>

#include <functional>
#include <optional>

namespace brindlet::app::ui {

// The round close control drawn in the window's top-left corner.
class CloseControl : public QAbstractButton {
 public:
  static constexpr int kSide = 14;
  static constexpr int kInset = 14;

  explicit CloseControl(QWidget* parent);
  QSize sizeHint() const override { return {kSide, kSide}; }

 protected:
  void paintEvent(QPaintEvent* event) override;
  void enterEvent(QEnterEvent* event) override;
  void leaveEvent(QEvent* event) override;

 private:
  bool hovered_ = false;
};

class FramelessWindow : public QWidget {
 public:
  struct Options {
    bool alwaysOnTop = false;
    bool closeControl = true;
  };

  // A window of the fixed `size` in points, in the dark look.
  FramelessWindow(const QString& title, QSize size, Options options);
  FramelessWindow(const QString& title, QSize size) : FramelessWindow(title, size, Options{}) {}

  CloseControl* closeControl() const { return close_; }
  // Puts the window in the middle of the primary screen.
  void centreOnPrimaryScreen();

 protected:
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  CloseControl* close_ = nullptr;
  // Where a drag took the window when the window system cannot move it itself (no window
  // manager): the press point in the window.
  std::optional<QPoint> dragFrom_;
};

// At most one window of a kind: show() builds it when none is open and otherwise raises and
// activates the open one. Closing destroys the window; the next show() builds it anew.
class SingleWindow {
 public:
  using Build = std::function<QWidget*()>;

  explicit SingleWindow(Build build) : build_(std::move(build)) {}
  ~SingleWindow();
  SingleWindow(const SingleWindow&) = delete;
  SingleWindow& operator=(const SingleWindow&) = delete;

  QWidget* show();
  // The open window, or nothing.
  QWidget* window() const { return window_.data(); }

 private:
  Build build_;
  QPointer<QWidget> window_;
};

}  // namespace brindlet::app::ui
