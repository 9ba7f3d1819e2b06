#include "app/ui/GuidePanel.h"

#include <QApplication>
#include <QDrag>
#include <QHBoxLayout>
#include <QLabel>
#include <QMimeData>
#include <QMouseEvent>
#include <QPainter>
#include <QUrl>
#include <QVBoxLayout>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <numbers>
#include <system_error>

#include "app/ui/Look.h"
#include "design/DeckDesign.h"
#include "design/DeckIcon.h"
#include "design/KitWidget.h"
#include "design/Painting.h"
#include "design/ReduceMotion.h"
#include "design/Symbols.h"

namespace brindlet::app::ui {

namespace {

constexpr int kIconSide = 52;
constexpr int kArrowSize = 17;  // title-2
constexpr double kBounceSeconds = 0.5;
constexpr double kBounceEvery = 1.2;  // seconds between bounces
constexpr double kBounceHeight = 5;

QString productName() {
  return QString::fromUtf8(design::DeckDesign::productName.data(),
                           qsizetype(design::DeckDesign::productName.size()));
}

// The app's icon, which carries the program's file wherever the user drops it.
class AppIcon : public QWidget {
 public:
  explicit AppIcon(QWidget* parent) : QWidget(parent) {
    setFixedSize(kIconSide + 8, kIconSide + 8);
    setCursor(Qt::OpenHandCursor);
    setAccessibleName(productName() + QStringLiteral(" app icon"));
    setAccessibleDescription(QStringLiteral("Drag to hand the program's file to another window"));
  }

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter p(this);
    p.setRenderHints(QPainter::Antialiasing | QPainter::SmoothPixmapTransform);
    const QRectF tile(4, 2, kIconSide, kIconSide);
    const auto blue = design::systemColor(design::SystemColor::blue, design::Appearance::dark);
    design::paintLayer(
        p, tile, {{design::kBlack.withAlpha(0.2), 4, QPointF(0, 2)}}, 0, [&](QPainter& q) {
          design::LitGlassTile::paint(q, tile, "rectangle.on.rectangle",
                                      design::LitGlassTile::tileLook(blue, true, false, kIconSide));
        });
  }
  void mousePressEvent(QMouseEvent* event) override { pressedAt_ = event->position().toPoint(); }
  void mouseMoveEvent(QMouseEvent* event) override {
    if (!(event->buttons() & Qt::LeftButton)) return;
    if ((event->position().toPoint() - pressedAt_).manhattanLength() <
        QApplication::startDragDistance())
      return;
    auto* drag = new QDrag(this);
    drag->setMimeData(GuidePanel::appFileData());
    drag->setPixmap(grab());
    drag->exec(Qt::CopyAction | Qt::LinkAction);
  }

 private:
  QPoint pressedAt_;
};

// The arrow pointing up at the settings window, bouncing now and then.
class Arrow : public design::KitWidget {
 public:
  explicit Arrow(QWidget* parent) : KitWidget(parent), start_(now()) {
    setFixedSize(kArrowSize + 8, kArrowSize + 2 * int(kBounceHeight) + 4);
    still_ = design::systemReducesMotion();
    if (!still_) startFrames(33);
  }
  QAccessible::Role accessibleRole() const override { return QAccessible::Graphic; }
  QString accessibleText(QAccessible::Text) const override { return {}; }
  bool hiddenFromAccessibility() const override { return true; }

  static double lift(double seconds) {
    const double t = std::fmod(seconds, kBounceSeconds + kBounceEvery);
    return t < kBounceSeconds ? kBounceHeight * std::sin(std::numbers::pi * t / kBounceSeconds) : 0;
  }

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const double up = still_ ? 0 : lift(now() - start_);
    design::paintSymbol(
        p, "arrow.up", QPointF(width() / 2.0, height() / 2.0 - up), kArrowSize,
        design::toQColor(design::systemColor(design::SystemColor::blue, design::Appearance::dark)));
  }
  bool animating(double) const override { return !still_; }

 private:
  double start_;
  bool still_;
};

}  // namespace

QMimeData* GuidePanel::appFileData() {
  auto* data = new QMimeData;
  std::error_code error;
  const auto program = std::filesystem::canonical("/proc/self/exe", error);
  if (!error) data->setUrls({QUrl::fromLocalFile(QString::fromStdString(program.string()))});
  return data;
}

GuidePanel::GuidePanel(const Texts& texts) : QWidget(nullptr), fade_(this, "windowOpacity") {
  setWindowFlags(Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint |
                 Qt::WindowDoesNotAcceptFocus);
  setAttribute(Qt::WA_ShowWithoutActivating);
  setAttribute(Qt::WA_TranslucentBackground);
  setFocusPolicy(Qt::NoFocus);
  setFixedSize(kWidth, kHeight);
  setPalette(darkPalette());
  // Not drawn; it names the panel to the window manager and to tools that look for it.
  setWindowTitle(QString::fromStdString(texts.headline));

  auto* row = new QHBoxLayout(this);
  row->setContentsMargins(kPadding + 18, kPadding + 6, kPadding + 18, kPadding + 6);
  row->setSpacing(14);
  row->addWidget(new AppIcon(this));
  auto* words = new QVBoxLayout;
  words->setSpacing(3);
  auto* headline = new QLabel(QString::fromStdString(texts.headline), this);
  headline->setFont(fontOf(TextStyle::headline));
  auto* message = new QLabel(QString::fromStdString(texts.message), this);
  message->setFont(fontOf(TextStyle::callout));
  message->setWordWrap(true);
  QPalette quiet = message->palette();
  quiet.setColor(QPalette::WindowText,
                 design::toQColor(design::systemColor(design::SystemColor::secondaryLabel,
                                                      design::Appearance::dark)));
  message->setPalette(quiet);
  words->addStretch();
  words->addWidget(headline);
  words->addWidget(message);
  words->addStretch();
  row->addLayout(words, 1);
  row->addWidget(new Arrow(this), 0, Qt::AlignVCenter);
  setWindowOpacity(0);
}

void GuidePanel::place(std::optional<QPoint> origin) {
  if (dismissing_) return;
  if (!origin) {
    hide();
    return;
  }
  move(*origin);
  if (isVisible()) return;
  show();
  if (faded_in_) return;
  faded_in_ = true;
  fade_.stop();
  fade_.setDuration(kFadeInMilliseconds);
  fade_.setStartValue(0.0);
  fade_.setEndValue(1.0);
  fade_.start();
}

void GuidePanel::dismiss() {
  if (dismissing_) return;
  dismissing_ = true;
  setAttribute(Qt::WA_DeleteOnClose);
  if (!isVisible()) {
    close();
    return;
  }
  fade_.stop();
  fade_.setDuration(kFadeOutMilliseconds);
  fade_.setStartValue(windowOpacity());
  fade_.setEndValue(0.0);
  QObject::connect(&fade_, &QAbstractAnimation::finished, this, &QWidget::close);
  fade_.start();
}

void GuidePanel::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.setRenderHint(QPainter::Antialiasing);
  const design::RoundedShape shape{
      QRectF(rect()).adjusted(kPadding, kPadding, -kPadding, -kPadding), kRadius};
  // Glass where no blur is at hand: a dark translucent fill under the kit's material.
  p.fillPath(shape.path(), QColor(28, 28, 32, 210));
  design::paintUltraThinMaterial(p, shape, design::Appearance::dark);
}

}  // namespace brindlet::app::ui
