#include "app/ui/PictureBackdrop.h"

#include <QImageReader>
#include <QPainter>
#include <QRadialGradient>
#include <QTimerEvent>

#include <algorithm>
#include <cmath>

#include <boost/asio/post.hpp>

#include "app/ui/DesktopPictureSetting.h"
#include "app/ui/Look.h"
#include "design/Painting.h"
#include "design/ReduceMotion.h"
#include "design/ScenicBackdrop.h"
#include "runtime/Log.h"

namespace brindlet::app::ui {

namespace {

constexpr double kShade = 0.3;
constexpr double kLight = 0.3;
constexpr double kLightRadius = 420;
constexpr design::Spring kTintSpring{0.6, 1.0};

const runtime::Logger& log() {
  return runtime::Logger::of("app");
}

}  // namespace

QImage loadBackdropPicture(const std::string& file, int width, double blur) {
  QImageReader reader(QString::fromStdString(file));
  const QSize size = reader.size();
  if (!size.isValid() || size.width() <= 0 || size.height() <= 0) return {};
  const int height = std::max(1, int(std::lround(double(width) * size.height() / size.width())));
  // Decoders that can (JPEG) decode at the smaller size; the others scale as they read, and
  // the reader's allocation limit turns away pictures too large to decode at all.
  reader.setScaledSize(QSize(width, height));
  QImage picture = reader.read();
  if (picture.isNull()) return {};
  // The kit's blur radius is twice the Gaussian's deviation, as for its shadows.
  design::blurOpaque(picture, blur / 2);
  return picture;
}

PictureOnce::PictureOnce(Load load) : load_(std::move(load)) {}

PictureOnce::~PictureOnce() {
  worker_.stop();
}

void PictureOnce::fetch(Post post, Ready ready) {
  std::unique_lock lock(mutex_);
  if (picture_) {
    QImage picture = *picture_;
    lock.unlock();
    post([ready = std::move(ready), picture] { ready(picture); });
    return;
  }
  waiting_.emplace_back(std::move(post), std::move(ready));
  if (std::exchange(started_, true)) return;
  lock.unlock();
  boost::asio::post(worker_.executor(), [this] {
    QImage picture;
    try {
      picture = load_();
    } catch (const std::exception& e) {
      log().error("Couldn't read the desktop picture: %s", e.what());
    }
    std::vector<std::pair<Post, Ready>> waiting;
    {
      std::lock_guard lock(mutex_);
      picture_ = picture;
      waiting.swap(waiting_);
    }
    for (auto& [post, ready] : waiting)
      post([ready = std::move(ready), picture] { ready(picture); });
  });
}

PictureOnce& PictureOnce::desktop() {
  static PictureOnce once([] {
    const auto file = desktopPictureFile();
    return file ? loadBackdropPicture(*file) : QImage();
  });
  return once;
}

void PictureBackdrop::paint(QPainter& painter, const QRectF& rect, const QImage& picture,
                            const design::Rgba& tint) {
  painter.save();
  painter.setClipRect(rect);
  painter.setRenderHint(QPainter::SmoothPixmapTransform);
  const double scale = std::max(rect.width() / picture.width(), rect.height() / picture.height());
  const QSizeF size(picture.width() * scale, picture.height() * scale);
  painter.drawImage(QRectF(rect.center() - QPointF(size.width() / 2, size.height() / 2), size),
                    picture);
  painter.fillRect(rect, design::toQColor(design::kBlack.withAlpha(kShade)));
  QRadialGradient light(QPointF(rect.center().x(), rect.top()), kLightRadius);
  light.setColorAt(0, design::toQColor(tint.withAlpha(tint.a * kLight)));
  light.setColorAt(1, design::toQColor(tint.withAlpha(0)));
  painter.setCompositionMode(QPainter::CompositionMode_Plus);
  painter.fillRect(rect, light);
  painter.restore();
}

PictureBackdrop::PictureBackdrop(design::Rgba tint, PictureOnce& picture, QWidget* parent)
    : QWidget(parent),
      fromTint_(tint),
      tint_(tint),
      wash_{kTintSpring, 1, 1, 0},
      scenic_(new design::ScenicBackdrop(tint, this)) {
  setAttribute(Qt::WA_OpaquePaintEvent);
  picture.fetch(poster_.post(), [this](const QImage& loaded) {
    if (loaded.isNull()) return;  // the scenic backdrop stays
    picture_ = loaded;
    scenic_->hide();
    update();
  });
}

design::Rgba PictureBackdrop::tintNow() const {
  return design::mix(fromTint_, tint_, wash_.value(animationSeconds()));
}

void PictureBackdrop::setTint(design::Rgba tint) {
  scenic_->setTint(tint);
  if (tint == tint_) return;
  const double now = animationSeconds();
  fromTint_ = tintNow();
  tint_ = tint;
  wash_ = design::Motion{kTintSpring, 0, 1, now};
  if (design::systemReducesMotion()) wash_.start = now - kTintSpring.settlingTime();
  if (!frames_) frames_ = startTimer(16);
  update();
}

void PictureBackdrop::paintEvent(QPaintEvent*) {
  if (picture_.isNull()) return;
  QPainter painter(this);
  paint(painter, rect(), picture_, tintNow());
}

void PictureBackdrop::resizeEvent(QResizeEvent* event) {
  scenic_->setGeometry(rect());
  QWidget::resizeEvent(event);
}

void PictureBackdrop::timerEvent(QTimerEvent* event) {
  if (event->timerId() != frames_) return QWidget::timerEvent(event);
  if (wash_.settled(animationSeconds())) {
    killTimer(frames_);
    frames_ = 0;
  }
  update();
}

}  // namespace brindlet::app::ui
