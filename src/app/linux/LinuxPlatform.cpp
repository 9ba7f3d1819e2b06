#include "app/linux/LinuxPlatform.h"

#include <unistd.h>

#include <cstdlib>

#include "app/core/LocalHello.h"
#include "app/linux/permissions/SystemPermissions.h"
#include "app/linux/xdg/XdgAutostartItem.h"
#include "desktop/DesktopError.h"
#include "platform/linux/atspi/AtspiTree.h"
#include "platform/linux/avahi/AvahiServiceDiscovery.h"
#include "platform/linux/logind/LogindSleepWakeSource.h"
#include "platform/linux/media/LibavVideoEncoder.h"
#include "platform/linux/secret/SecretServiceStore.h"
#include "platform/linux/x11/RandrDisplayBackend.h"
#include "platform/linux/x11/RandrMonitorLayout.h"
#include "platform/linux/x11/X11CaptureBackend.h"
#include "platform/linux/x11/X11EventPoster.h"
#include "platform/linux/x11/X11WindowSystem.h"
#include "platform/linux/x11/XSettings.h"
#include "runtime/FileDefaults.h"
#include "runtime/Files.h"
#include "runtime/MainLoop.h"
#include "runtime/ProcessTable.h"
#include "runtime/ProgramRunner.h"
#include "transport/DeviceIdentity.h"
#include "transport/USBMuxClient.h"

namespace brindlet::app {

namespace asio = boost::asio;

namespace {

// A window the user interface does not draw here.
struct NoWindow final : WindowPresenting {
  void show() override {}
};

struct NoGuide final : SettingsGuiding {
  void show(Permission) override {}
  void dismiss() override {}
};

struct NoActivation final : AppActivating {
  void activate() override {}
};

// The whole of a small system file; none when it cannot be read.
std::optional<std::string> readWhole(const std::filesystem::path& path) {
  try {
    return runtime::readFile(path, 64 * 1024);
  } catch (const runtime::FileError&) {
    return std::nullopt;
  }
}

}  // namespace

std::string usbmuxSocketFrom(const std::optional<std::string>& address) {
  constexpr std::string_view prefix = "UNIX:";
  if (address && address->starts_with(prefix) && address->size() > prefix.size()) {
    return address->substr(prefix.size());
  }
  return transport::USBMuxClient::defaultPath;
}

std::optional<std::filesystem::path> bundledProfilesOf(const std::filesystem::path& executable) {
  auto folder = executable.parent_path().parent_path() / "share" / "brindlet" / "Profiles";
  std::error_code error;
  if (!std::filesystem::is_directory(folder, error)) return std::nullopt;
  return folder;
}

LinuxPlatform::LinuxPlatform(runtime::MainLoop& loop, asio::any_io_executor links,
                             std::string display, std::filesystem::path executable,
                             Presenters presenters)
    : loop_(loop),
      links_(std::move(links)),
      display_(std::move(display)),
      executable_(std::move(executable)),
      presenters_(std::move(presenters)) {}

LinuxPlatform::~LinuxPlatform() = default;

std::shared_ptr<secrets::SecretStore> LinuxPlatform::secretStore() {
  if (!secrets_) secrets_ = std::make_shared<platform::SecretServiceStore>();
  return secrets_;
}

std::shared_ptr<transport::ServiceDiscovery> LinuxPlatform::discovery() {
  return std::make_shared<platform::AvahiServiceDiscovery>();
}

std::string LinuxPlatform::usbmuxSocket() {
  return usbmuxSocketFrom(environment("USBMUXD_SOCKET_ADDRESS"));
}

asio::awaitable<std::shared_ptr<streaming::DisplayBackend>> LinuxPlatform::displayBackend() {
  co_return co_await platform::RandrDisplayBackend::open(display_);
}

std::shared_ptr<streaming::SleepWakeSource> LinuxPlatform::sleepWake() {
  if (!sleepWake_) {
    sleepWake_ = std::make_shared<platform::LogindSleepWakeSource>(loop_.context().get_executor());
  }
  return sleepWake_;
}

std::shared_ptr<streaming::CaptureBackend> LinuxPlatform::captureBackend() {
  return std::make_shared<platform::X11CaptureBackend>(display_);
}

streaming::VideoEncoderFactory LinuxPlatform::encoderFactory() {
  return platform::media::LibavVideoEncoder::factory();
}

asio::awaitable<std::shared_ptr<desktop::MonitorLayout>> LinuxPlatform::monitorLayout() {
  co_return co_await platform::RandrMonitorLayout::open(display_);
}

asio::awaitable<std::shared_ptr<desktop::WindowSystem>> LinuxPlatform::windowSystem() {
  if (!windows_) windows_ = co_await platform::X11WindowSystem::open(display_);
  co_return windows_;
}

asio::awaitable<std::shared_ptr<desktop::EventPosting>> LinuxPlatform::eventPoster() {
  if (!poster_) poster_ = co_await platform::X11EventPoster::open(display_);
  co_return poster_;
}

asio::awaitable<std::function<runtime::Duration()>> LinuxPlatform::doubleClickInterval() {
  std::shared_ptr<platform::X11DoubleClickInterval> interval;
  try {
    std::string display = display_;
    auto opening = platform::X11DoubleClickInterval::open(std::move(display));
    interval = co_await std::move(opening);
  } catch (const desktop::DesktopError&) {
    // No display of its own for the settings: presses count with the usual interval.
  }
  if (!interval) {
    co_return [] {
      return runtime::Duration(
          std::chrono::milliseconds(platform::X11DoubleClickInterval::kFallbackMilliseconds));
    };
  }
  co_return [interval] { return (*interval)(); };
}

std::shared_ptr<platform::AtspiTree> LinuxPlatform::atspi() {
  if (!tree_) tree_ = std::make_shared<platform::AtspiTree>();
  return tree_;
}

std::shared_ptr<deck::AccessibilityTree> LinuxPlatform::accessibilityTree() {
  return atspi();
}

std::shared_ptr<runtime::ProcessTable> LinuxPlatform::processTable() {
  if (!processes_) processes_ = std::make_shared<runtime::ProcFsProcessTable>();
  return processes_;
}

std::shared_ptr<runtime::ProgramRunning> LinuxPlatform::programRunner() {
  if (!programs_) {
    programs_ = std::make_shared<runtime::ProgramRunner>(loop_.context().get_executor(), clock());
  }
  return programs_;
}

std::shared_ptr<PermissionChecking> LinuxPlatform::permissions() {
  return std::make_shared<platform::SystemPermissions>(display_, atspi());
}

std::shared_ptr<LoginItem> LinuxPlatform::loginItem() {
  return std::make_shared<platform::XdgAutostartItem>();
}

std::shared_ptr<SettingsOpening> LinuxPlatform::settingsOpener() {
  return std::make_shared<NoSettingsToOpen>();
}

std::shared_ptr<WindowPresenting> LinuxPlatform::onboardingWindow() {
  if (presenters_.onboarding) return presenters_.onboarding;
  return std::make_shared<NoWindow>();
}

std::shared_ptr<WindowPresenting> LinuxPlatform::pairingWindow() {
  if (presenters_.pairing) return presenters_.pairing;
  return std::make_shared<NoWindow>();
}

std::shared_ptr<SettingsGuiding> LinuxPlatform::guide() {
  if (!guide_) {
    if (presenters_.guidePanel && windows_) {
      guide_ = SettingsGuide::make(windows_, presenters_.guidePanel, clock(),
                                   loop_.context().get_executor(), presenters_.scale);
    } else {
      guide_ = std::make_shared<NoGuide>();
    }
  }
  return guide_;
}

std::shared_ptr<AppActivating> LinuxPlatform::activator() {
  if (presenters_.activator) return presenters_.activator;
  return std::make_shared<NoActivation>();
}

std::shared_ptr<runtime::Defaults> LinuxPlatform::defaults() {
  if (!defaults_) defaults_ = std::make_shared<runtime::FileDefaults>(loop_.context());
  return defaults_;
}

std::shared_ptr<runtime::Clock> LinuxPlatform::clock() {
  return runtime::Clock::system();
}

std::optional<std::string> LinuxPlatform::environment(std::string_view name) {
  const std::string key(name);
  const char* value = std::getenv(key.c_str());
  if (!value) return std::nullopt;
  return std::string(value);
}

std::string LinuxPlatform::version() {
  return BRINDLET_VERSION;
}

std::optional<std::string> LinuxPlatform::hardwareModel() {
  return readWhole("/sys/class/dmi/id/product_name");
}

std::optional<std::string> LinuxPlatform::machineInfo() {
  return readWhole("/etc/machine-info");
}

std::optional<std::string> LinuxPlatform::hostName() {
  char name[256] = {};
  if (gethostname(name, sizeof name - 1) != 0) return std::nullopt;
  return std::string(name);
}

asio::awaitable<std::string> LinuxPlatform::deviceId() {
  // The keyring may prompt or wait for its daemon: the identity asks it off the loop.
  transport::DeviceIdentity identity(secretStore());
  const std::string service(identityService);
  co_return co_await identity.current(service);
}

std::filesystem::path LinuxPlatform::dataFolder() {
  return runtime::userFolder(runtime::UserFolder::data);
}

std::optional<std::filesystem::path> LinuxPlatform::bundledProfiles() {
  return bundledProfilesOf(executable_);
}

}  // namespace brindlet::app
