#include "app/ui/FramelessWindow.h"

#include <QGuiApplication>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>
#include <QWindow>

#include "app/ui/Look.h"
#include "design/Painting.h"
#include "design/Symbols.h"

namespace brindlet::app::ui {

CloseControl::CloseControl(QWidget* parent) : QAbstractButton(parent) {
  setFocusPolicy(Qt::NoFocus);
  setCursor(Qt::ArrowCursor);
  setAccessibleName(QStringLiteral("Close"));
  resize(sizeHint());
}

void CloseControl::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.setRenderHint(QPainter::Antialiasing);
  const QRectF r = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
  p.setPen(Qt::NoPen);
  p.setBrush(hovered_ || isDown() ? QColor(255, 95, 87) : QColor(255, 255, 255, 56));
  p.drawEllipse(r);
  if (hovered_ || isDown())
    design::paintSymbol(p, "xmark", r.center(), kSide * 0.6, QColor(77, 0, 0, 200));
}

void CloseControl::enterEvent(QEnterEvent* event) {
  hovered_ = true;
  update();
  QAbstractButton::enterEvent(event);
}

void CloseControl::leaveEvent(QEvent* event) {
  hovered_ = false;
  update();
  QAbstractButton::leaveEvent(event);
}

FramelessWindow::FramelessWindow(const QString& title, QSize size, Options options)
    : QWidget(nullptr) {
  Qt::WindowFlags flags = Qt::Window | Qt::FramelessWindowHint;
  if (options.alwaysOnTop) flags |= Qt::WindowStaysOnTopHint;
  setWindowFlags(flags);
  // Set for the window manager's lists (and for finding the window); the frameless window
  // draws no title.
  setWindowTitle(title);
  setPalette(darkPalette());
  setAutoFillBackground(true);
  setFixedSize(size);
  if (options.closeControl) {
    close_ = new CloseControl(this);
    close_->move(CloseControl::kInset, CloseControl::kInset);
    QObject::connect(close_, &QAbstractButton::clicked, this, &QWidget::close);
  }
  centreOnPrimaryScreen();
}

void FramelessWindow::centreOnPrimaryScreen() {
  const QScreen* screen = QGuiApplication::primaryScreen();
  if (!screen) return;
  const QRect area = screen->geometry();
  move(area.x() + (area.width() - width()) / 2, area.y() + (area.height() - height()) / 2);
}

void FramelessWindow::mousePressEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) return QWidget::mousePressEvent(event);
  // The window manager moves the window (and keeps it on screen as it likes); without one,
  // the window follows the pointer itself.
  QWindow* handle = windowHandle();
  if (handle && handle->startSystemMove()) return event->accept();
  dragFrom_ = event->position().toPoint();
  event->accept();
}

void FramelessWindow::mouseMoveEvent(QMouseEvent* event) {
  if (!dragFrom_) return QWidget::mouseMoveEvent(event);
  move(event->globalPosition().toPoint() - *dragFrom_);
  event->accept();
}

void FramelessWindow::mouseReleaseEvent(QMouseEvent* event) {
  dragFrom_.reset();
  QWidget::mouseReleaseEvent(event);
}

void FramelessWindow::resizeEvent(QResizeEvent* event) {
  if (close_) close_->raise();
  QWidget::resizeEvent(event);
}

SingleWindow::~SingleWindow() {
  delete window_.data();
}

QWidget* SingleWindow::show() {
  if (QWidget* open = window_.data()) {
    open->show();
    open->raise();
    open->activateWindow();
    return open;
  }
  QWidget* built = build_();
  built->setAttribute(Qt::WA_DeleteOnClose);
  window_ = built;
  built->show();
  built->raise();
  built->activateWindow();
  return built;
}

}  // namespace brindlet::app::ui
