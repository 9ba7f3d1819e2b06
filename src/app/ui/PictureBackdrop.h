#pragma once

// The onboarding windows' backdrop: the desktop picture, small, blurred and darkened, lit from
// the top by the page's tint; the kit's scenic backdrop where there is no picture.

#include <QImage>
#include <QWidget>

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "app/ui/QtBridge.h"
#include "design/Color.h"
#include "design/Spring.h"
#include "runtime/WorkerThread.h"

class QPainter;

namespace brindlet::design {
class ScenicBackdrop;
}

namespace brindlet::app::ui {

inline constexpr int kPictureWidth = 720;
inline constexpr double kPictureBlur = 36;

// Decodes the picture in `file` already scaled to `width` pixels wide (the height keeps the
// aspect ratio), so that the full-size pixels are never held, and blurs it as opaque. A null
// image when the file holds no readable picture.
QImage loadBackdropPicture(const std::string& file, int width = kPictureWidth,
                           double blur = kPictureBlur);

// A picture loaded once, off the Qt thread, and handed to whoever asks, then and later.
class PictureOnce {
 public:
  using Load = std::function<QImage()>;
  using Ready = std::function<void(const QImage&)>;

  explicit PictureOnce(Load load);
  ~PictureOnce();
  // `ready` gets the picture (null: there is none) through `post`; the first fetch starts the
  // load.
  void fetch(Post post, Ready ready);

  // The desktop picture of this process.
  static PictureOnce& desktop();

 private:
  Load load_;
  std::mutex mutex_;
  bool started_ = false;
  std::optional<QImage> picture_;
  std::vector<std::pair<Post, Ready>> waiting_;
  runtime::WorkerThread worker_{"brindlet-picture"};
};

class PictureBackdrop : public QWidget {
 public:
  // Paints the picture filling `rect` (its aspect ratio kept, the overflow cut), black at 0.3
  // over it, and the tint's light from the top middle.
  static void paint(QPainter& painter, const QRectF& rect, const QImage& picture,
                    const design::Rgba& tint);

  PictureBackdrop(design::Rgba tint, PictureOnce& picture, QWidget* parent = nullptr);
  explicit PictureBackdrop(design::Rgba tint, QWidget* parent = nullptr)
      : PictureBackdrop(tint, PictureOnce::desktop(), parent) {}
  // A new tint fades in along a spring.
  void setTint(design::Rgba tint);
  bool showsPicture() const { return !picture_.isNull(); }

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void timerEvent(QTimerEvent* event) override;

 private:
  design::Rgba tintNow() const;

  design::Rgba fromTint_, tint_;
  design::Motion wash_;
  int frames_ = 0;
  QImage picture_;
  design::ScenicBackdrop* scenic_;
  QtThreadPoster poster_;
};

}  // namespace brindlet::app::ui
