#pragma once

// The small panel that stands under the desktop's settings window while a permission is being
// switched on: what to switch on, and the app's icon to drag into the permission list. It never
// takes focus and is never activated; it shows only once it has a place.

#include <QPropertyAnimation>
#include <QWidget>

#include <optional>
#include <string>

class QLabel;
class QMimeData;

namespace brindlet::app::ui {

class GuidePanel : public QWidget {
 public:
  static constexpr int kWidth = 400;
  static constexpr int kHeight = 96;
  static constexpr int kPadding = 8;
  static constexpr double kRadius = 22;
  static constexpr int kFadeInMilliseconds = 350;
  static constexpr int kFadeOutMilliseconds = 250;

  struct Texts {
    std::string headline;  // "Turn on " + product name
    std::string message;   // where to switch it on
  };

  // What dragging the app's icon carries: the running program's file.
  static QMimeData* appFileData();

  explicit GuidePanel(const Texts& texts);

  // Stands at `origin` (the panel's top-left corner in screen pixels), fading in the first time;
  // nothing takes it off the screen until a place comes again.
  void place(std::optional<QPoint> origin);
  // Fades out and closes; the panel deletes itself.
  void dismiss();
  bool dismissing() const { return dismissing_; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QPropertyAnimation fade_;
  bool faded_in_ = false;
  bool dismissing_ = false;
};

}  // namespace brindlet::app::ui
