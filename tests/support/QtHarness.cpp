#include "support/QtHarness.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QPainter>
#include <QThread>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <memory>

namespace brindlet::testsupport {

namespace {

// Starts the application before the first test. Tests never show a window on a display, and
// never read or write the desktop's own settings.
class QtEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    setenv("GSETTINGS_BACKEND", "memory", 1);
    app_ = std::make_unique<QApplication>(argc_, argv_);
  }
  void TearDown() override { app_.reset(); }

 private:
  int argc_ = 1;
  char name_[6] = "tests";
  char* argv_[2] = {name_, nullptr};
  std::unique_ptr<QApplication> app_;
};

[[maybe_unused]] const auto* const kEnvironment =
    ::testing::AddGlobalTestEnvironment(new QtEnvironment);

}  // namespace

QImage paintedAt(double scale, QSizeF size, const std::function<void(QPainter&)>& paint) {
  QImage image(int(std::ceil(size.width() * scale)), int(std::ceil(size.height() * scale)),
               QImage::Format_ARGB32_Premultiplied);
  image.setDevicePixelRatio(scale);
  image.fill(Qt::transparent);
  QPainter painter(&image);
  painter.setRenderHints(QPainter::Antialiasing | QPainter::SmoothPixmapTransform);
  paint(painter);
  return image;
}

QColor pixelAt(const QImage& image, QPointF at) {
  const double scale = image.devicePixelRatio();
  return image.pixelColor(int(std::floor(at.x() * scale)), int(std::floor(at.y() * scale)));
}

bool near(const QColor& a, const QColor& b, int tolerance) {
  return std::abs(a.red() - b.red()) <= tolerance && std::abs(a.green() - b.green()) <= tolerance &&
         std::abs(a.blue() - b.blue()) <= tolerance && std::abs(a.alpha() - b.alpha()) <= tolerance;
}

int largestDifference(const QImage& a, const QImage& b) {
  if (a.size() != b.size()) return 256;
  int largest = 0;
  for (int y = 0; y < a.height(); ++y)
    for (int x = 0; x < a.width(); ++x) {
      const QColor p = a.pixelColor(x, y), q = b.pixelColor(x, y);
      largest = std::max({largest, std::abs(p.red() - q.red()), std::abs(p.green() - q.green()),
                          std::abs(p.blue() - q.blue()), std::abs(p.alpha() - q.alpha())});
    }
  return largest;
}

bool processEventsUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    QThread::msleep(1);
  }
  return true;
}

void processEventsFor(std::chrono::milliseconds span) {
  const auto end = std::chrono::steady_clock::now() + span;
  processEventsUntil([&] { return std::chrono::steady_clock::now() >= end; }, span * 2);
}

}  // namespace brindlet::testsupport
