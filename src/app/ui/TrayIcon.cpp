#include "app/ui/TrayIcon.h"

#include <QCursor>
#include <QPainter>
#include <QPixmap>
#include <QSystemTrayIcon>

#include <algorithm>

#include "app/ui/TrayMenu.h"
#include "design/DeckDesign.h"
#include "design/Symbols.h"
#include "runtime/Log.h"

namespace brindlet::app::ui {

namespace {

const runtime::Logger& log() {
  return runtime::Logger::of("app");
}

}  // namespace

QImage TrayIcon::picture(int side) {
  QImage image(side, side, QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::transparent);
  QPainter p(&image);
  p.setRenderHints(QPainter::Antialiasing | QPainter::SmoothPixmapTransform);
  const QPointF centre(side / 2.0, side / 2.0);
  const double size = side * 0.78;
  // The edge: the symbol in dark, moved a little each way under the light one.
  const double edge = std::max(1.0, side / 22.0);
  const QColor dark(0, 0, 0, 190);
  for (int dx = -1; dx <= 1; ++dx)
    for (int dy = -1; dy <= 1; ++dy)
      if (dx != 0 || dy != 0)
        design::paintSymbol(p, kSymbol, centre + QPointF(dx * edge, dy * edge), size, dark);
  design::paintSymbol(p, kSymbol, centre, size, QColor(245, 245, 247));
  return image;
}

QIcon TrayIcon::icon() {
  QIcon icon;
  for (int side : sides) icon.addPixmap(QPixmap::fromImage(picture(side)));
  return icon;
}

TrayIcon::TrayIcon(TrayHostWatching& hosts, TrayMenu& menu) : menu_(menu) {
  hosts.watch([this](const TrayHosts& now) { hostsChanged(now); });
}

TrayIcon::~TrayIcon() = default;

void TrayIcon::hostsChanged(const TrayHosts& hosts) {
  if (icon_) icon_->hide();
  icon_.reset();
  if (!hosts.any()) {
    if (!toldNone_) log().error("No system tray: the menu shows once a tray host runs");
    toldNone_ = true;
    return;
  }
  toldNone_ = false;
  icon_ = std::make_unique<QSystemTrayIcon>(icon());
  icon_->setToolTip(QString::fromUtf8(design::DeckDesign::productName.data(),
                                      qsizetype(design::DeckDesign::productName.size())));
  icon_->setContextMenu(&menu_);
  QObject::connect(icon_.get(), &QSystemTrayIcon::activated, &menu_,
                   [this](QSystemTrayIcon::ActivationReason reason) {
                     if (reason == QSystemTrayIcon::Trigger) menu_.popup(QCursor::pos());
                   });
  icon_->show();
  ++made_;
  if (onIconMade_) onIconMade_();
}

}  // namespace brindlet::app::ui
