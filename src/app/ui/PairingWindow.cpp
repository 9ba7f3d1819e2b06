#include "app/ui/PairingWindow.h"

#include <QCloseEvent>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QShortcut>
#include <QVBoxLayout>

#include "app/ui/Look.h"
#include "app/ui/Spinner.h"
#include "design/Color.h"
#include "design/Painting.h"
#include "design/ReduceMotion.h"
#include "design/Symbols.h"

namespace brindlet::app::ui {

namespace {

constexpr int kSpacing = 18;
constexpr int kPadding = 32;
constexpr int kPulseMilliseconds = 1000;

QColor kitColor(design::SystemColor color) {
  return design::toQColor(design::systemColor(color, design::Appearance::dark));
}

}  // namespace

// The phone with radio waves, in the accent colour; its opacity pulses.
class PairingWindow::Icon : public QWidget {
 public:
  explicit Icon(QWidget* parent) : QWidget(parent) { setFixedSize(kIconSize + 16, kIconSize + 8); }
  double opacity() const { return opacity_; }
  void setOpacity(double opacity) {
    opacity_ = opacity;
    update();
  }

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.setOpacity(opacity_);
    design::paintSymbol(p, "iphone.radiowaves.left.and.right",
                        QPointF(width() / 2.0, height() / 2.0), kIconSize,
                        kitColor(design::SystemColor::blue));
  }

 private:
  double opacity_ = 1;
};

PairingWindow::PairingWindow(PairingCodeField::Filter filter, PairingCodeField::Submit submit,
                             std::function<void()> closed)
    : FramelessWindow(QStringLiteral("Pair iPhone"), QSize(kWidth, 400), {.alwaysOnTop = true}),
      icon_(new Icon(this)),
      title_(new QLabel(this)),
      message_(new QLabel(this)),
      field_(new PairingCodeField(std::move(filter), std::move(submit), this)),
      button_(new QPushButton(this)),
      spinner_(new Spinner(this)),
      pulse_(this),
      closed_(std::move(closed)) {
  auto* column = new QVBoxLayout(this);
  column->setContentsMargins(kPadding, kPadding, kPadding, kPadding);
  column->setSpacing(kSpacing);
  column->addWidget(icon_, 0, Qt::AlignHCenter);
  QFont titleFont = fontOf(TextStyle::title2);
  titleFont.setBold(true);
  title_->setFont(titleFont);
  title_->setAlignment(Qt::AlignHCenter);
  title_->setWordWrap(true);
  column->addWidget(title_);
  message_->setFont(fontOf(TextStyle::body));
  message_->setAlignment(Qt::AlignHCenter);
  message_->setWordWrap(true);
  column->addWidget(message_);
  column->addWidget(field_, 0, Qt::AlignHCenter);
  column->addWidget(button_, 0, Qt::AlignHCenter);
  column->addWidget(spinner_, 0, Qt::AlignHCenter);
  field_->setFixedWidth(field_->sizeHint().width());

  // Escape cancels and Return closes: whichever of the two the button is now.
  auto* escape = new QShortcut(QKeySequence(Qt::Key_Escape), this);
  QObject::connect(escape, &QShortcut::activated, this, [this] {
    if (look_.action == PairingLook::Action::cancel) button_->click();
  });
  for (int key : {Qt::Key_Return, Qt::Key_Enter}) {
    auto* enter = new QShortcut(QKeySequence(key), this);
    QObject::connect(enter, &QShortcut::activated, this, [this] {
      if (look_.action == PairingLook::Action::close) button_->click();
    });
  }
  QObject::connect(button_, &QPushButton::clicked, this, &QWidget::close);

  pulse_.setDuration(kPulseMilliseconds);
  pulse_.setLoopCount(-1);
  pulse_.setKeyValueAt(0, 1.0);
  pulse_.setKeyValueAt(0.5, 0.35);
  pulse_.setKeyValueAt(1, 1.0);
  QObject::connect(&pulse_, &QVariantAnimation::valueChanged, this,
                   [this](const QVariant& v) { icon_->setOpacity(v.toDouble()); });

  setLook(look_);
  setFixedSize(kWidth, sizeHint().height());
  centreOnPrimaryScreen();
}

void PairingWindow::setLook(const PairingLook& look) {
  look_ = look;
  title_->setText(QString::fromStdString(look.title));
  message_->setText(QString::fromStdString(look.message));
  QPalette palette = message_->palette();
  palette.setColor(
      QPalette::WindowText,
      kitColor(look.mistake ? design::SystemColor::red : design::SystemColor::secondaryLabel));
  message_->setPalette(palette);
  field_->setEntering(look.entering);
  field_->setPhoneName(look.phoneName);
  button_->setVisible(look.action != PairingLook::Action::spinner);
  spinner_->setVisible(look.action == PairingLook::Action::spinner);
  button_->setText(look.action == PairingLook::Action::cancel ? QStringLiteral("Cancel")
                                                              : QStringLiteral("Close"));
  const bool pulsing = look.pulse && !design::systemReducesMotion();
  if (pulsing && pulse_.state() != QAbstractAnimation::Running) pulse_.start();
  if (!pulsing) {
    pulse_.stop();
    icon_->setOpacity(1);
  }
  // The message can take more lines: the window grows with it.
  if (layout()) setFixedSize(kWidth, layout()->sizeHint().height());
}

void PairingWindow::react(const PairingReaction& reaction) {
  if (reaction.close) {
    close();
    return;
  }
  if (reaction.clearCode) field_->setCode("");
  if (reaction.shake) field_->shake();
  if (reaction.focus)
    field_->focusField();
  else if (field_->fieldHasFocus())
    setFocus();
}

void PairingWindow::showEvent(QShowEvent* event) {
  FramelessWindow::showEvent(event);
  if (look_.entering) field_->focusField();
}

void PairingWindow::closeEvent(QCloseEvent* event) {
  if (auto closed = std::exchange(closed_, nullptr)) closed();
  FramelessWindow::closeEvent(event);
}

}  // namespace brindlet::app::ui
