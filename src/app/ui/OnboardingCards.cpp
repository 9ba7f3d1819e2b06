#include "app/ui/OnboardingCards.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/ui/Look.h"
#include "app/ui/Spinner.h"
#include "design/Painting.h"
#include "design/ReduceMotion.h"
#include "design/Symbols.h"

namespace brindlet::app::ui {

namespace {

constexpr design::Spring kGrantSpring{0.4, 0.6};
constexpr int kSymbolColumn = 32;
constexpr int kTileHeight = 74;
constexpr double kTileRadius = 14;

QColor kitColor(design::SystemColor color) {
  return design::toQColor(design::systemColor(color, design::Appearance::dark));
}

QColor tertiary() {
  return QColor(235, 235, 245, int(0.3 * 255));
}

QLabel* label(const std::string& text, TextStyle style, bool secondary, QWidget* parent) {
  auto* l = new QLabel(QString::fromStdString(text), parent);
  l->setFont(fontOf(style));
  if (secondary) {
    QPalette quiet = l->palette();
    quiet.setColor(QPalette::WindowText, kitColor(design::SystemColor::secondaryLabel));
    l->setPalette(quiet);
  }
  return l;
}

// A name over a line of detail, the card's middle.
QVBoxLayout* twoLines(QLabel* top, QLabel* bottom) {
  auto* lines = new QVBoxLayout;
  lines->setSpacing(2);
  lines->addWidget(top);
  lines->addWidget(bottom);
  return lines;
}

}  // namespace

SymbolView::SymbolView(std::string symbol, int size, QColor colour, QWidget* parent)
    : KitWidget(parent), symbol_(std::move(symbol)), size_(size), colour_(colour) {
  swap_ = {kGrantSpring, 1, 1, 0};
  setFixedSize(std::max(size + 8, kSymbolColumn), size + 8);
}

void SymbolView::setSymbol(std::string symbol, QColor colour) {
  colour_ = colour;
  if (symbol != symbol_) {
    previous_ = std::exchange(symbol_, std::move(symbol));
    swap_ = {kGrantSpring, 0, 1, now()};
    if (design::systemReducesMotion()) swap_.start -= kGrantSpring.settlingTime();
    startFrames();
  }
  update();
}

QString SymbolView::accessibleText(QAccessible::Text text) const {
  return text == QAccessible::Name ? label_ : QString();
}

void SymbolView::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.setRenderHint(QPainter::Antialiasing);
  const double t = std::clamp(swap_.value(now()), 0.0, 1.0);
  design::paintSymbol(p, design::SymbolFrame(symbol_, previous_, t),
                      QPointF(width() / 2.0, height() / 2.0), size_, colour_);
}

PermissionCard::PermissionCard(const PermissionCardLook& look, QWidget* parent)
    : OnboardingCard(parent),
      symbol_(new SymbolView(look.symbol, pixelSizeOf(TextStyle::title2),
                             kitColor(design::SystemColor::secondaryLabel), this)),
      name_(label(look.name, TextStyle::headline, false, this)),
      status_(label(look.status, TextStyle::callout, true, this)),
      mark_(new SymbolView("circle.dashed", pixelSizeOf(TextStyle::title), tertiary(), this)) {
  row()->addWidget(symbol_);
  row()->addLayout(twoLines(name_, status_));
  row()->addStretch();
  row()->addWidget(mark_);
  setLook(look);
}

void PermissionCard::setLook(const PermissionCardLook& look) {
  look_ = look;
  name_->setText(QString::fromStdString(look.name));
  status_->setText(QString::fromStdString(look.status));
  mark_->setSymbol(look.granted ? "checkmark.circle.fill" : "circle.dashed",
                   look.granted ? kitColor(design::SystemColor::green) : tertiary());
  // One element for assistive technology: the name and the state.
  setAccessibleName(QString::fromStdString(look.name + ", " + look.status));
}

ConnectCard::ConnectCard(Choose choose, QWidget* parent)
    : QWidget(parent), choose_(std::move(choose)), column_(new QVBoxLayout(this)) {
  column_->setContentsMargins(0, 0, 0, 0);
  column_->setSpacing(8);
  rebuild();
}

void ConnectCard::setLook(const ConnectCardLook& look) {
  if (look == look_ && !shown_.empty()) return;
  look_ = look;
  rebuild();
}

std::vector<QPushButton*> ConnectCard::rowButtons() const {
  std::vector<QPushButton*> buttons;
  for (QWidget* card : shown_)
    if (auto* button = card->findChild<QPushButton*>()) buttons.push_back(button);
  return buttons;
}

void ConnectCard::rebuild() {
  // Later, not now: the choice that led here may still be running in one of their buttons.
  for (QWidget* old : shown_) {
    column_->removeWidget(old);
    old->hide();
    old->deleteLater();
  }
  shown_.clear();
  heading_ = nullptr;
  if (const auto& phone = look_.connected) {
    auto* card = new OnboardingCard(this);
    card->row()->addWidget(new SymbolView("iphone", pixelSizeOf(TextStyle::title),
                                          kitColor(design::SystemColor::secondaryLabel), card));
    card->row()->addLayout(twoLines(label(phone->name, TextStyle::headline, false, card),
                                    label(phone->route, TextStyle::callout, true, card)));
    card->row()->addStretch();
    auto* mark = new SymbolView("checkmark.circle.fill", pixelSizeOf(TextStyle::title),
                                kitColor(design::SystemColor::green), card);
    mark->setAccessibleLabel(QStringLiteral("Connected"));
    card->row()->addWidget(mark);
    column_->addWidget(card);
    shown_.push_back(card);
    return;
  }
  auto* searching = new OnboardingCard(this);
  searching->row()->addWidget(new Spinner(searching));
  heading_ = label(look_.heading, TextStyle::headline, false, searching);
  searching->row()->addWidget(heading_);
  searching->row()->addStretch();
  column_->addWidget(searching);
  shown_.push_back(searching);
  for (const auto& phone : look_.rows) {
    auto* card = new OnboardingCard(this);
    card->row()->addWidget(new SymbolView("wifi", pixelSizeOf(TextStyle::body),
                                          kitColor(design::SystemColor::secondaryLabel), card));
    card->row()->addWidget(label(phone.name, TextStyle::headline, false, card));
    card->row()->addStretch();
    auto* button = new QPushButton(QString::fromStdString(phone.button), card);
    button->setMinimumHeight(30);
    QObject::connect(button, &QPushButton::clicked, this,
                     [this, action = phone.action] { choose_(action); });
    card->row()->addWidget(button);
    column_->addWidget(card);
    shown_.push_back(card);
  }
}

namespace {

// One tip: its symbol in the accent over its text, on the material.
class TipTile : public QWidget {
 public:
  TipTile(const ReadyCardLook::Tip& tip, QWidget* parent) : QWidget(parent) {
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(4, 8, 4, 8);
    column->setSpacing(8);
    column->addWidget(new SymbolView(tip.symbol, pixelSizeOf(TextStyle::title2),
                                     kitColor(design::SystemColor::blue), this),
                      0, Qt::AlignHCenter);
    auto* text = label(tip.text, TextStyle::callout, false, this);
    text->setAlignment(Qt::AlignHCenter);
    text->setWordWrap(true);
    column->addWidget(text);
    setMinimumHeight(kTileHeight);
    setAccessibleName(QString::fromStdString(tip.text));
  }

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.fillPath(design::RoundedShape{QRectF(rect()), kTileRadius}.path(),
               kitColor(design::SystemColor::ultraThinMaterial));
  }
};

}  // namespace

ReadyCard::ReadyCard(const ReadyCardLook& look, std::function<void(bool)> launchChanged,
                     std::function<void(bool)> followChanged, QWidget* parent)
    : QWidget(parent),
      launch_(new Switch(QString::fromStdString(look.launchText), this)),
      follow_(new Switch(QString::fromStdString(look.followText), this)),
      failure_(label({}, TextStyle::callout, false, this)) {
  setMaximumWidth(520);
  auto* column = new QVBoxLayout(this);
  column->setContentsMargins(0, 0, 0, 0);
  column->setSpacing(14);
  auto* tips = new QHBoxLayout;
  tips->setSpacing(10);
  for (const auto& tip : look.tips) tips->addWidget(new TipTile(tip, this), 1);
  column->addLayout(tips);
  auto* card = new OnboardingCard(this);
  auto* switches = new QVBoxLayout;
  switches->setSpacing(10);
  switches->addWidget(launch_);
  switches->addWidget(follow_);
  card->row()->addLayout(switches);
  card->row()->addStretch();
  column->addWidget(card, 0, Qt::AlignHCenter);
  QPalette warning = failure_->palette();
  warning.setColor(QPalette::WindowText, kitColor(design::SystemColor::red));
  failure_->setPalette(warning);
  failure_->setAlignment(Qt::AlignHCenter);
  failure_->setWordWrap(true);
  failure_->hide();
  column->addWidget(failure_);
  QObject::connect(launch_, &QAbstractButton::toggled, this, std::move(launchChanged));
  QObject::connect(follow_, &QAbstractButton::toggled, this, std::move(followChanged));
}

void ReadyCard::setSwitches(bool launch, bool follow) {
  const QSignalBlocker quietLaunch(launch_), quietFollow(follow_);
  launch_->setChecked(launch);
  follow_->setChecked(follow);
}

void ReadyCard::setFailure(const std::string& text) {
  failure_->setText(QString::fromStdString(text));
  failure_->setVisible(!text.empty());
}

}  // namespace brindlet::app::ui
