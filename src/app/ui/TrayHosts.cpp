#include "app/ui/TrayHosts.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QDBusVariant>
#include <QObject>

#include <mutex>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>

#include "app/ui/QtBridge.h"
#include "platform/linux/x11/X11SelectionWatch.h"
#include "runtime/Error.h"
#include "runtime/Log.h"
#include "runtime/MainLoop.h"

namespace brindlet::app::ui {

namespace {

const runtime::Logger& log() {
  return runtime::Logger::of("app");
}

const QString kWatcher = QStringLiteral("org.kde.StatusNotifierWatcher");
const QString kWatcherPath = QStringLiteral("/StatusNotifierWatcher");

}  // namespace

namespace detail {

// The StatusNotifierWatcher on the session bus: its owner, and whether a host has registered
// with it. Re-read whole on every sign of change; an answer to an older reading is dropped.
class NotifierBusWatch : public QObject {
  Q_OBJECT

 public:
  using Report = std::function<void(const std::string& owner, bool registered)>;

  explicit NotifierBusWatch(Report report)
      : report_(std::move(report)), bus_(QDBusConnection::sessionBus()) {}

  void start() {
    if (!bus_.isConnected()) return report_({}, false);
    watcher_ =
        new QDBusServiceWatcher(kWatcher, bus_, QDBusServiceWatcher::WatchForOwnerChange, this);
    QObject::connect(watcher_, &QDBusServiceWatcher::serviceOwnerChanged, this,
                     [this] { reread(); });
    for (const char* signal : {"StatusNotifierHostRegistered", "StatusNotifierHostUnregistered"})
      bus_.connect(kWatcher, kWatcherPath, kWatcher, QString::fromLatin1(signal), this,
                   SLOT(reread()));
    reread();
  }

 public slots:
  void reread() {
    const quint64 reading = ++reading_;
    auto owner = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("GetNameOwner"));
    owner << kWatcher;
    whenAnswered(owner, [this, reading](const QDBusMessage& answer) {
      if (reading != reading_) return;
      if (answer.type() != QDBusMessage::ReplyMessage || answer.arguments().isEmpty())
        return report_({}, false);
      const std::string name = answer.arguments().front().toString().toStdString();
      auto get = QDBusMessage::createMethodCall(kWatcher, kWatcherPath,
                                                QStringLiteral("org.freedesktop.DBus.Properties"),
                                                QStringLiteral("Get"));
      get << kWatcher << QStringLiteral("IsStatusNotifierHostRegistered");
      whenAnswered(get, [this, reading, name](const QDBusMessage& answer) {
        if (reading != reading_) return;
        const bool registered = answer.type() == QDBusMessage::ReplyMessage &&
                                !answer.arguments().isEmpty() &&
                                answer.arguments().front().value<QDBusVariant>().variant().toBool();
        report_(name, registered);
      });
    });
  }

 private:
  template <class F>
  void whenAnswered(const QDBusMessage& message, F then) {
    auto* call = new QDBusPendingCallWatcher(bus_.asyncCall(message), this);
    QObject::connect(call, &QDBusPendingCallWatcher::finished, this,
                     [then = std::move(then)](QDBusPendingCallWatcher* done) {
                       done->deleteLater();
                       then(done->reply());
                     });
  }

  Report report_;
  QDBusConnection bus_;
  QDBusServiceWatcher* watcher_ = nullptr;
  quint64 reading_ = 0;
};

}  // namespace detail

// The selection watch, opened on the main loop; kept here until the watcher goes.
struct SystemTrayHosts::Selection {
  std::mutex mutex;
  bool gone = false;
  std::unique_ptr<platform::X11SelectionWatch> watch;
};

SystemTrayHosts::SystemTrayHosts(runtime::MainLoop& loop, std::string display)
    : loop_(loop),
      display_(std::move(display)),
      selection_(std::make_shared<Selection>()),
      poster_(std::make_unique<QtThreadPoster>()) {}

SystemTrayHosts::~SystemTrayHosts() {
  poster_.reset();
  std::unique_ptr<platform::X11SelectionWatch> watch;
  {
    std::lock_guard lock(selection_->mutex);
    selection_->gone = true;
    watch = std::move(selection_->watch);
  }
}

void SystemTrayHosts::watch(Changed changed) {
  changed_ = std::move(changed);
  bus_ =
      std::make_unique<detail::NotifierBusWatch>([this](const std::string& owner, bool registered) {
        hosts_.notifierWatcher = owner;
        hosts_.notifierHostRegistered = registered;
        busRead_ = true;
        report();
      });
  bus_->start();

  const Post toQt = poster_->post();
  auto onOwner = [this, toQt](unsigned long owner) {
    toQt([this, owner] {
      hosts_.xembedTray = owner;
      selectionRead_ = true;
      report();
    });
  };
  // Without a selection to watch, only the bus can tell.
  auto unwatched = [this, toQt] {
    toQt([this] {
      selectionRead_ = true;
      report();
    });
  };
  auto opening = platform::X11SelectionWatch::open(display_, "_NET_SYSTEM_TRAY_S", onOwner);
  boost::asio::co_spawn(
      loop_.context(), std::move(opening),
      [selection = selection_, unwatched](std::exception_ptr error,
                                          std::unique_ptr<platform::X11SelectionWatch> watch) {
        if (error) {
          log().error("Can't watch for an XEmbed tray: %s", runtime::describe(error).c_str());
          unwatched();
          return;
        }
        std::lock_guard lock(selection->mutex);
        if (!selection->gone) selection->watch = std::move(watch);
      });
}

void SystemTrayHosts::report() {
  // The first report waits for both answers: a tray that one of them would show must not be
  // taken for none.
  if (!busRead_ || !selectionRead_ || reported_ == hosts_) return;
  reported_ = hosts_;
  if (changed_) changed_(hosts_);
}

}  // namespace brindlet::app::ui

#include "TrayHosts.moc"
