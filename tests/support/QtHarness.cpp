#include "support/QtHarness.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QPainter>

#include <cmath>
#include <cstdlib>
#include <memory>

namespace brindlet::testsupport {

namespace {

// Starts the application before the first test; tests never show a window on a display.
class QtEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
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

}  // namespace brindlet::testsupport
