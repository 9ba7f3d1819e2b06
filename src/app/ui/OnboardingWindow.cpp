#include "app/ui/OnboardingWindow.h"

#include <QGraphicsOpacityEffect>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QShortcut>
#include <QTimerEvent>
#include <QVBoxLayout>

#include <chrono>
#include <functional>

#include "app/ui/CoveredWindows.h"
#include "app/ui/Look.h"
#include "app/ui/OnboardingParts.h"
#include "app/ui/PictureBackdrop.h"
#include "design/DeckDesign.h"
#include "design/DeckIcon.h"
#include "design/KitWidget.h"
#include "design/Painting.h"
#include "design/ReduceMotion.h"

namespace brindlet::app::ui {

namespace {

constexpr design::Spring kStepSpring{0.45, 0.86};
constexpr design::Spring kIconSpring{0.55, 0.7};
constexpr double kIconDelay = 0.05;
constexpr int kIconSize = 100;
constexpr int kMessageWidth = 460;

QString welcomeTitle() {
  return QStringLiteral("Welcome to ") +
         QString::fromUtf8(design::DeckDesign::productName.data(),
                           qsizetype(design::DeckDesign::productName.size()));
}

// A widget's own pixels kept between paints. The scenic backdrop under a page moves every frame,
// and each of its frames repaints the page's widgets; their blurred shadows cost far more than
// drawing an image, and their look changes only with their size, pixel ratio or `look`.
class PaintCache {
 public:
  void paint(QWidget& widget, const QString& look, const std::function<void(QPainter&)>& draw) {
    const qreal ratio = widget.devicePixelRatioF();
    const QSize pixels = widget.size() * ratio;
    if (image_.isNull() || image_.size() != pixels || image_.devicePixelRatio() != ratio ||
        look != look_) {
      look_ = look;
      image_ = QImage(pixels, QImage::Format_ARGB32_Premultiplied);
      image_.setDevicePixelRatio(ratio);
      image_.fill(Qt::transparent);
      QPainter into(&image_);
      draw(into);
    }
    QPainter(&widget).drawImage(QPointF(0, 0), image_);
  }

 private:
  QImage image_;
  QString look_;
};

// The page's deck icon: it grows from 0.8 and fades in once, as the page arrives.
class PageIcon : public design::KitWidget {
 public:
  PageIcon(const OnboardingPage& page, QWidget* parent) : KitWidget(parent) {
    look_.symbol = page.symbol;
    look_.label = page.title;
    look_.tint = page.tint;
    look_.size = kIconSize;
    look_.showsLabel = false;
    arrival_ = {kIconSpring, 0, 1, now() + kIconDelay};
    if (design::systemReducesMotion()) arrival_.start = now() - kIconSpring.settlingTime();
    setFixedSize(kIconSize, kIconSize + 10);
    startFrames();
  }
  QAccessible::Role accessibleRole() const override { return QAccessible::Graphic; }
  QString accessibleText(QAccessible::Text) const override { return {}; }
  bool hiddenFromAccessibility() const override { return true; }

 protected:
  void paintEvent(QPaintEvent*) override {
    const double t = now() < arrival_.start ? 0 : arrival_.value(now());
    if (animating(now())) {
      QPainter p(this);
      paintAt(p, t);
    } else {
      arrived_.paint(*this, {}, [this](QPainter& p) { paintAt(p, 1); });
    }
  }
  void paintAt(QPainter& p, double t) const {
    p.setRenderHints(QPainter::Antialiasing | QPainter::SmoothPixmapTransform);
    p.setOpacity(std::clamp(t, 0.0, 1.0));
    const QPointF centre(kIconSize / 2.0, kIconSize / 2.0);
    const double scale = 0.8 + 0.2 * t;
    p.translate(centre);
    p.scale(scale, scale);
    p.translate(-centre);
    design::DeckIcon::paint(p, QRectF(0, 0, kIconSize, kIconSize), look_);
  }
  bool animating(double at) const override { return at < arrival_.start || !arrival_.settled(at); }

 private:
  design::DeckIcon::Look look_;
  design::Motion arrival_;
  PaintCache arrived_;
};

// Text in white at 0.94 over a soft shadow, so that it reads on any picture.
class ShadowedLabel : public QLabel {
 public:
  ShadowedLabel(const QString& text, QWidget* parent) : QLabel(text, parent) {}

 protected:
  void paintEvent(QPaintEvent*) override {
    const QString look = text() + QChar(0) + font().key() + QChar(0) + QString::number(alignment());
    cache_.paint(*this, look, [this](QPainter& p) {
      p.setRenderHint(QPainter::TextAntialiasing);
      const design::Shadow shadow{design::kBlack.withAlpha(0.35), 8, QPointF(0, 1)};
      design::paintLayer(p, QRectF(rect()), {shadow}, 0, [&](QPainter& q) {
        q.setFont(font());
        q.setPen(QColor(255, 255, 255, int(0.94 * 255)));
        q.drawText(contentsRect(), int(alignment()) | Qt::TextWordWrap, text());
      });
    });
  }

 private:
  PaintCache cache_;
};

}  // namespace

// One page: icon, title, message and the step's own content, from the top.
class OnboardingWindow::Page : public QWidget {
 public:
  Page(const OnboardingPage& page, QWidget* content, QWidget* parent)
      : QWidget(parent), opacity_(new QGraphicsOpacityEffect(this)) {
    setGraphicsEffect(opacity_);
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(48, 64, 48, 0);
    column->setSpacing(18);
    column->addWidget(new PageIcon(page, this), 0, Qt::AlignHCenter);
    auto* title = new QLabel(QString::fromStdString(page.title), this);
    title->setFont(fontOfSize(30, QFont::Bold));
    title->setAlignment(Qt::AlignHCenter);
    title->setWordWrap(true);
    title->setAccessibleDescription(QStringLiteral("heading"));
    column->addWidget(title);
    auto* message = new ShadowedLabel(QString::fromStdString(page.message), this);
    message->setFont(fontOfSize(pixelSizeOf(TextStyle::title3), QFont::Medium));
    message->setAlignment(Qt::AlignHCenter);
    message->setWordWrap(true);
    message->setMaximumWidth(kMessageWidth);
    auto* centred = new QHBoxLayout;
    centred->addStretch();
    centred->addWidget(message, 1);
    centred->addStretch();
    column->addLayout(centred);
    auto* holder = new QVBoxLayout;
    holder->setContentsMargins(0, 12, 0, 0);
    holder->setSpacing(12);
    if (content) holder->addWidget(content, 0, Qt::AlignHCenter);
    column->addLayout(holder);
    column->addStretch();
  }
  void setOpacity(double opacity) {
    opacity_->setOpacity(std::clamp(opacity, 0.0, 1.0));
    // At rest the page draws straight, not through the effect's buffer.
    opacity_->setEnabled(opacity < 1);
  }

 private:
  QGraphicsOpacityEffect* opacity_;
};

OnboardingWindow::OnboardingWindow(Actions actions)
    : OnboardingWindow(std::move(actions), PictureOnce::desktop()) {}

OnboardingWindow::OnboardingWindow(Actions actions, PictureOnce& picture)
    : FramelessWindow(welcomeTitle(), QSize(kWidth, kHeight)),
      actions_(std::move(actions)),
      backdrop_(new PictureBackdrop(
          design::systemColor(design::SystemColor::blue, design::Appearance::dark), picture, this)),
      pageArea_(new QWidget(this)),
      back_(new QPushButton(QStringLiteral("Back"), this)),
      dots_(new PageDots(kSteps, this)),
      main_(new GlassButton(this)) {
  slide_ = {kStepSpring, 1, 1, 0};
  auto* column = new QVBoxLayout(this);
  column->setContentsMargins(0, 0, 0, 0);
  column->setSpacing(0);
  column->addWidget(pageArea_, 1);
  auto* bar = new QHBoxLayout;
  bar->setContentsMargins(28, 8, 28, 24);
  back_->setFlat(true);
  back_->setFixedWidth(kBarButtonWidth);
  back_->setFont(fontOfSize(15));
  QSizePolicy keep = back_->sizePolicy();
  keep.setRetainSizeWhenHidden(true);  // the dots stay in the middle
  back_->setSizePolicy(keep);
  bar->addWidget(back_, 0, Qt::AlignLeft);
  bar->addStretch();
  bar->addWidget(dots_);
  bar->addStretch();
  main_->setFixedWidth(kBarButtonWidth);
  bar->addWidget(main_, 0, Qt::AlignRight);
  column->addLayout(bar);
  backdrop_->lower();
  if (closeControl()) closeControl()->raise();
  stillWhenUnattended(*this);

  QObject::connect(back_, &QPushButton::clicked, this, [this] {
    if (actions_.back) actions_.back();
  });
  QObject::connect(main_, &QPushButton::clicked, this, [this] {
    if (actions_.main) actions_.main();
  });
  for (int key : {Qt::Key_Return, Qt::Key_Enter})
    QObject::connect(new QShortcut(QKeySequence(key), this), &QShortcut::activated, main_,
                     &QPushButton::click);
  // Escape does what the close control does.
  QObject::connect(new QShortcut(QKeySequence(Qt::Key_Escape), this), &QShortcut::activated, this,
                   [this] {
                     if (closeControl()) closeControl()->click();
                   });
  setBar({});
}

QWidget* OnboardingWindow::currentPage() const {
  return current_.data();
}

int OnboardingWindow::pagesShown() const {
  return int(!current_.isNull()) + int(!leaving_.isNull());
}

void OnboardingWindow::showPage(const OnboardingPage& page, QWidget* content, bool forward) {
  const bool newStep = !shownPage_ || shownPage_->step != page.step;
  shownPage_ = page;
  backdrop_->setTint(page.tint);
  dots_->setCurrent(page.step);
  auto* next = new Page(page, content, pageArea_);
  if (!newStep || !current_) {
    delete current_.data();
    current_ = next;
    layOutPages();
    next->show();
    return;
  }
  delete leaving_.data();
  leaving_ = current_;
  current_ = next;
  forward_ = forward;
  const double now = animationSeconds();
  slide_ = {kStepSpring, 0, 1, now};
  if (design::systemReducesMotion()) slide_.start = now - kStepSpring.settlingTime();
  layOutPages();
  next->show();
  if (!frames_) frames_ = startTimer(16);
}

void OnboardingWindow::setBar(const OnboardingBar& bar) {
  back_->setVisible(bar.backShown);
  back_->setEnabled(bar.backShown);
  back_->setFocusPolicy(bar.backShown ? Qt::StrongFocus : Qt::NoFocus);
  main_->setText(QString::fromStdString(bar.mainTitle));
}

void OnboardingWindow::layOutPages() {
  const double t = slide_.value(animationSeconds());
  const double side = forward_ ? 1 : -1;
  const QRect area = pageArea_->rect();
  if (current_) {
    current_->setGeometry(area.translated(int(std::lround(side * kSlide * (1 - t))), 0));
    current_->setOpacity(t);
  }
  if (leaving_) {
    leaving_->setGeometry(area.translated(int(std::lround(-side * kSlide * t)), 0));
    leaving_->setOpacity(1 - t);
  }
}

void OnboardingWindow::timerEvent(QTimerEvent* event) {
  if (event->timerId() != frames_) return FramelessWindow::timerEvent(event);
  layOutPages();
  if (!slide_.settled(animationSeconds())) return;
  killTimer(frames_);
  frames_ = 0;
  delete leaving_.data();
}

void OnboardingWindow::resizeEvent(QResizeEvent* event) {
  FramelessWindow::resizeEvent(event);
  backdrop_->setGeometry(rect());
  layOutPages();
}

void OnboardingWindow::showEvent(QShowEvent* event) {
  FramelessWindow::showEvent(event);
  layOutPages();
  if (actions_.shown) actions_.shown();
}

void OnboardingWindow::hideEvent(QHideEvent* event) {
  FramelessWindow::hideEvent(event);
  if (actions_.hidden) actions_.hidden();
}

}  // namespace brindlet::app::ui
