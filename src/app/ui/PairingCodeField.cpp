#include "app/ui/PairingCodeField.h"

#include <QEvent>
#include <QLineEdit>
#include <QPainter>
#include <QProxyStyle>

#include <cmath>
#include <numbers>

#include "app/ui/Look.h"
#include "design/Color.h"
#include "design/Painting.h"
#include "design/ReduceMotion.h"

namespace brindlet::app::ui {

namespace {

constexpr int kShakeMilliseconds = 350;
constexpr double kDimmed = 0.45;
constexpr double kBoxFill = 0.6;
constexpr double kBorder = 2;

QFont digitFont() {
  QFont font(QStringLiteral("DejaVu Sans Mono"));
  font.setPixelSize(30);
  font.setWeight(QFont::DemiBold);
  return font;
}

// The field's caret is drawn with no width at all: whatever colour a style gives it.
class NoCaretStyle : public QProxyStyle {
 public:
  int pixelMetric(PixelMetric metric, const QStyleOption* option,
                  const QWidget* widget) const override {
    if (metric == PM_TextCursorWidth) return 0;
    return QProxyStyle::pixelMetric(metric, option, widget);
  }
};

}  // namespace

// The six boxes, painted over the field; they take no input, so a click anywhere lands on the
// field underneath.
class PairingCodeField::Boxes : public QWidget {
 public:
  explicit Boxes(PairingCodeField* owner) : QWidget(owner), owner_(owner) {
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setAttribute(Qt::WA_NoSystemBackground);
  }

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter p(this);
    p.setRenderHints(QPainter::Antialiasing | QPainter::TextAntialiasing);
    p.setOpacity(owner_->entering_ ? 1.0 : kDimmed);
    const double rowWidth = kBoxes * kBoxWidth + (kBoxes - 1) * kSpacing;
    const double left = (width() - rowWidth) / 2 + owner_->offset_;
    const double top = (height() - kBoxHeight) / 2.0;
    const auto fill =
        design::systemColor(design::SystemColor::quaternaryFill, design::Appearance::dark);
    const auto accent = design::systemColor(design::SystemColor::blue, design::Appearance::dark);
    const QString code = QString::fromStdString(owner_->code_);
    const int outlined = owner_->outlinedBox();
    p.setFont(digitFont());
    for (int i = 0; i < kBoxes; ++i) {
      const QRectF box(left + i * (kBoxWidth + kSpacing), top, kBoxWidth, kBoxHeight);
      const design::RoundedShape shape{box, kBoxRadius};
      p.fillPath(shape.path(), design::toQColor(fill.withAlpha(fill.a * kBoxFill)));
      if (i == outlined) design::strokeInside(p, shape, kBorder, design::toQColor(accent));
      if (i < code.size()) {
        p.setPen(Qt::white);
        p.drawText(box, Qt::AlignCenter, code.mid(i, 1));
      }
    }
  }

 private:
  PairingCodeField* owner_;
};

double PairingCodeField::shakeOffset(double t) {
  return kShakeAmplitude * std::sin(t * std::numbers::pi * 4);
}

PairingCodeField::PairingCodeField(Filter filter, Submit submit, QWidget* parent)
    : QWidget(parent),
      filter_(std::move(filter)),
      submit_(std::move(submit)),
      field_(new QLineEdit(this)),
      boxes_(new Boxes(this)) {
  // The field stays where the keyboard and the mouse reach it, but shows nothing: no text, no
  // caret, no selection, no frame.
  QPalette clear = field_->palette();
  for (auto role : {QPalette::Text, QPalette::Base, QPalette::Highlight, QPalette::HighlightedText,
                    QPalette::PlaceholderText})
    clear.setColor(role, Qt::transparent);
  field_->setPalette(clear);
  field_->setFrame(false);
  auto* style = new NoCaretStyle;
  style->setParent(field_);
  field_->setStyle(style);
  field_->setContextMenuPolicy(Qt::NoContextMenu);
  field_->setAccessibleName(QStringLiteral("Pairing code"));
  QObject::connect(field_, &QLineEdit::textChanged, this,
                   [this](const QString& text) { textEdited(text); });
  // Typing always goes to the end, where the next box is.
  QObject::connect(field_, &QLineEdit::cursorPositionChanged, this, [this](int, int) {
    if (field_->cursorPosition() != field_->text().size())
      field_->setCursorPosition(int(field_->text().size()));
  });
  field_->installEventFilter(this);
  boxes_->raise();

  shake_.setStartValue(0.0);
  shake_.setEndValue(1.0);
  shake_.setDuration(kShakeMilliseconds);
  QObject::connect(&shake_, &QVariantAnimation::valueChanged, this, [this](const QVariant& v) {
    offset_ = shakeOffset(v.toDouble());
    boxes_->update();
  });
  QObject::connect(&shake_, &QVariantAnimation::finished, this, [this] {
    offset_ = 0;
    boxes_->update();
  });
  setFocusProxy(field_);
  setFixedHeight(kBoxHeight + 2 * int(kShakeAmplitude));
}

QSize PairingCodeField::sizeHint() const {
  return {kBoxes * kBoxWidth + (kBoxes - 1) * kSpacing + 2 * int(kShakeAmplitude),
          kBoxHeight + 2 * int(kShakeAmplitude)};
}

void PairingCodeField::resizeEvent(QResizeEvent* event) {
  field_->setGeometry(rect());
  boxes_->setGeometry(rect());
  QWidget::resizeEvent(event);
}

void PairingCodeField::textEdited(const QString& text) {
  const std::string typed = text.toStdString();
  if (typed == code_) return;  // our own write of what the filter kept
  Filtered kept = filter_(code_, typed);
  const bool changed = kept.code != typed;
  code_ = std::move(kept.code);
  if (changed) {
    const QString shown = QString::fromStdString(code_);
    if (field_->text() != shown) field_->setText(shown);
  }
  boxes_->update();
  if (kept.submit && submit_) submit_(code_);
}

void PairingCodeField::setCode(const std::string& code) {
  code_ = code;
  const QString shown = QString::fromStdString(code_);
  if (field_->text() != shown) field_->setText(shown);
  boxes_->update();
}

void PairingCodeField::setEntering(bool entering) {
  entering_ = entering;
  field_->setEnabled(entering);
  boxes_->update();
}

void PairingCodeField::focusField() {
  field_->setFocus(Qt::OtherFocusReason);
  boxes_->update();
}

bool PairingCodeField::fieldHasFocus() const {
  return field_->hasFocus();
}

void PairingCodeField::setPhoneName(const std::string& name) {
  field_->setAccessibleDescription(QStringLiteral("Six digits, as shown on ") +
                                   QString::fromStdString(name));
}

bool PairingCodeField::eventFilter(QObject* watched, QEvent* event) {
  // The outline follows the field's focus.
  if (event->type() == QEvent::FocusIn || event->type() == QEvent::FocusOut) boxes_->update();
  return QWidget::eventFilter(watched, event);
}

int PairingCodeField::outlinedBox() const {
  const int filled = int(QString::fromStdString(code_).size());
  return entering_ && fieldHasFocus() && filled < kBoxes ? filled : -1;
}

void PairingCodeField::shake() {
  if (design::systemReducesMotion()) return;
  shake_.stop();
  shake_.start();
}

}  // namespace brindlet::app::ui
