#pragma once

// The base of the kit's widgets: frames for running springs, the light or dark appearance from
// the palette, and one accessibility element per widget (its children are not read out).

#include <QAccessible>
#include <QBasicTimer>
#include <QPointer>
#include <QString>
#include <QWidget>

#include <string>
#include <string_view>

#include "design/Color.h"

class QWindow;

namespace brindlet::design {

// What an element with a label and a value text reads out for `text`.
QString elementText(QAccessible::Text text, const std::string& label, std::string_view value);

// Dark when the widget's palette has a dark window colour.
Appearance appearanceOf(const QWidget& widget);

// Marks the top-level `window` as fully covered by other windows, as the window system reports
// it, or as seen again: kit widgets in a covered window draw no frames.
void setWindowCovered(QWidget& window, bool covered);

class KitWidget : public QWidget {
 public:
  explicit KitWidget(QWidget* parent = nullptr);

  Appearance appearance() const { return appearanceOf(*this); }

  // What assistive technology reads. Widgets that carry a value and can be adjusted override the
  // adjusting members too.
  virtual QAccessible::Role accessibleRole() const = 0;
  virtual QString accessibleText(QAccessible::Text text) const = 0;
  virtual bool hiddenFromAccessibility() const { return false; }
  virtual bool adjustable() const { return false; }
  virtual void adjust(bool /*increment*/) {}
  virtual double accessibleValue() const { return 0; }
  virtual double accessibleMinimum() const { return 0; }
  virtual double accessibleMaximum() const { return 0; }

  // Whether frames are being drawn now.
  bool framesRunning() const { return frames_.isActive(); }

 protected:
  // Seconds on a steady clock shared by every widget of the kit.
  static double now();
  // Repaints every `interval` milliseconds while `animating(now())` holds and the window is on
  // screen; frames paused while nobody can see the window go on when it shows again.
  void startFrames(int interval = 16);
  virtual bool animating(double /*at*/) const { return false; }
  void timerEvent(QTimerEvent* event) override;
  bool event(QEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  // Visible, in a window that is mapped, exposed and not minimised.
  bool onScreen() const;
  void pauseFrames();
  void resumeFrames();

  friend void setWindowCovered(QWidget& window, bool covered);

  QBasicTimer frames_;
  int interval_ = 16;
  bool paused_ = false;
  QPointer<QWindow> watched_;  // whose showing resumes paused frames
};

}  // namespace brindlet::design
