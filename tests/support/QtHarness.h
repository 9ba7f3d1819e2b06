#pragma once

// Qt for tests: one offscreen application for the whole test binary, and pictures painted at a
// chosen number of pixels per point, probed in points.

#include <QColor>
#include <QImage>
#include <QPointF>
#include <QSizeF>

#include <chrono>
#include <functional>

class QPainter;

namespace brindlet::testsupport {

// Paints into a transparent picture of `size` points at `scale` pixels per point.
QImage paintedAt(double scale, QSizeF size, const std::function<void(QPainter&)>& paint);

// The pixel under the point `at` (in points) of a picture painted with paintedAt.
QColor pixelAt(const QImage& image, QPointF at);

// Whether two colours differ by at most `tolerance` (0-255) in every channel.
bool near(const QColor& a, const QColor& b, int tolerance = 1);

// The largest difference of any channel of any pixel (0-255); 256 when the sizes differ.
int largestDifference(const QImage& a, const QImage& b);

// Runs the Qt thread's events until the condition holds or the time runs out; whether it holds.
bool processEventsUntil(const std::function<bool()>& done,
                        std::chrono::milliseconds timeout = std::chrono::seconds(5));
// Runs the Qt thread's events for the whole span.
void processEventsFor(std::chrono::milliseconds span);

}  // namespace brindlet::testsupport
