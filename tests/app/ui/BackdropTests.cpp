#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QImage>
#include <QPainter>
#include <QThread>

#include <atomic>
#include <fstream>
#include <thread>

#include "app/ui/PictureBackdrop.h"
#include "design/Painting.h"
#include "support/QtHarness.h"
#include "support/TempDir.h"

namespace brindlet::app::ui {
namespace {

using testsupport::processEventsUntil;

TEST(BackdropPicture, IsDecodedSmallAndOpaqueOrNotAtAll) {
  testsupport::TempDir dir;
  const std::string big = dir.path() + "/big.jpg", square = dir.path() + "/one.png",
                    garbage = dir.path() + "/garbage.png", empty = dir.path() + "/empty.png";
  {
    QImage picture(4000, 3000, QImage::Format_RGB32);
    picture.fill(QColor(40, 90, 160));
    ASSERT_TRUE(picture.save(QString::fromStdString(big)));
    QImage one(1, 1, QImage::Format_RGB32);
    one.fill(Qt::white);
    ASSERT_TRUE(one.save(QString::fromStdString(square)));
    std::ofstream(garbage) << "\x89PNG\r\n\x1a\nnot really";
    std::ofstream{empty};
  }
  struct Case {
    std::string file;
    QSize size;  // empty: no picture
  };
  const Case cases[] = {{big, {720, 540}},
                        {square, {720, 720}},
                        {garbage, {}},
                        {empty, {}},
                        {dir.path() + "/missing.png", {}}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    const QImage picture = loadBackdropPicture(c.file);
    EXPECT_EQ(picture.isNull() ? QSize() : picture.size(), c.size);
    EXPECT_FALSE(!picture.isNull() && picture.hasAlphaChannel());
  }
}

TEST(BackdropPicture, BlursAsOpaque) {
  // An even picture stays exactly as it was to its edges; a sharp line softens.
  QImage even(60, 40, QImage::Format_RGB32);
  even.fill(QColor(200, 100, 50));
  design::blurOpaque(even, 18);
  for (QPoint at : {QPoint(0, 0), QPoint(59, 39), QPoint(30, 20)})
    EXPECT_EQ(even.pixelColor(at), QColor(200, 100, 50));
  QImage split(60, 40, QImage::Format_RGB32);
  split.fill(Qt::black);
  QPainter(&split).fillRect(30, 0, 30, 40, Qt::white);
  design::blurOpaque(split, 6);
  EXPECT_GT(split.pixelColor(28, 20).red(), 60);
  EXPECT_LT(split.pixelColor(31, 20).red(), 200);
  EXPECT_EQ(split.pixelColor(0, 0).red(), 0);
}

TEST(PictureOnce, LoadsOnceOffTheQtThreadForEarlyAndLateAskers) {
  std::atomic<int> loads{0};
  std::atomic<bool> offQtThread{false};
  PictureOnce once([&] {
    ++loads;
    offQtThread = QThread::currentThread() != qApp->thread();
    QImage picture(8, 8, QImage::Format_RGB32);
    picture.fill(Qt::red);
    return picture;
  });
  QtThreadPoster poster;
  int got = 0;
  bool onQtThread = true;
  auto ready = [&](const QImage& picture) {
    onQtThread = onQtThread && QThread::currentThread() == qApp->thread();
    got += picture.width() == 8;
  };
  once.fetch(poster.post(), ready);
  once.fetch(poster.post(), ready);
  ASSERT_TRUE(processEventsUntil([&] { return got == 2; }));
  once.fetch(poster.post(), ready);
  ASSERT_TRUE(processEventsUntil([&] { return got == 3; }));
  EXPECT_EQ(loads, 1);
  EXPECT_TRUE(offQtThread);
  EXPECT_TRUE(onQtThread);
}

TEST(PictureBackdrop, ShowsThePictureShadedAndLitOrElseTheScenicBackdrop) {
  const design::Rgba blue{0.04, 0.52, 1, 1};
  PictureOnce none([] { return QImage(); });
  PictureBackdrop scenic(blue, none);
  scenic.resize(640, 580);
  testsupport::processEventsFor(std::chrono::milliseconds(50));
  EXPECT_FALSE(scenic.showsPicture());

  PictureOnce grey([] {
    QImage picture(720, 405, QImage::Format_RGB32);
    picture.fill(QColor(100, 100, 100));
    return picture;
  });
  PictureBackdrop backdrop(blue, grey);
  backdrop.resize(640, 580);
  ASSERT_TRUE(processEventsUntil([&] { return backdrop.showsPicture(); }));
  const QImage shown = backdrop.grab().toImage();
  // Black at 0.3 over the picture; at the top middle the tint's light adds blue.
  EXPECT_TRUE(testsupport::near(shown.pixelColor(5, 575), QColor(70, 70, 70), 2));
  const QColor top = shown.pixelColor(320, 1);
  EXPECT_GT(top.blue(), 130);
  EXPECT_LT(top.red(), 75);
}

}  // namespace
}  // namespace brindlet::app::ui
