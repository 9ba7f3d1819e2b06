// Writes the app's icon, as the tray draws it, into an icon theme's folders: one PNG per size
// the tray uses, <folder>/<side>x<side>/apps/brindlet.png. Run by the build for the install.

#include <QDir>
#include <QGuiApplication>
#include <QString>

#include <cstdio>

#include "app/ui/TrayIcon.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: brindlet-icons <folder>\n");
    return 2;
  }
  QGuiApplication application(argc, argv);
  const QString folder = QString::fromLocal8Bit(argv[1]);
  for (int side : brindlet::app::ui::TrayIcon::sides) {
    const QString size = QString::number(side) + "x" + QString::number(side);
    const QString apps = folder + "/" + size + "/apps";
    if (!QDir().mkpath(apps) ||
        !brindlet::app::ui::TrayIcon::picture(side).save(apps + "/brindlet.png")) {
      std::fprintf(stderr, "brindlet-icons: cannot write %s\n", qPrintable(apps));
      return 1;
    }
  }
  return 0;
}
