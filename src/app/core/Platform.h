#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>

#include "app/core/Permission.h"
#include "app/core/ShellRoles.h"
#include "runtime/Clock.h"
#include "runtime/Defaults.h"
#include "session/HostSession.h"
#include "streaming/VideoEncoding.h"

namespace brindlet::runtime {
class MainLoop;
class ProcessTable;
class ProgramRunning;
}  // namespace brindlet::runtime
namespace brindlet::secrets {
class SecretStore;
}
namespace brindlet::transport {
class ServiceDiscovery;
}
namespace brindlet::streaming {
class CaptureBackend;
class DisplayBackend;
class SleepWakeSource;
}  // namespace brindlet::streaming
namespace brindlet::desktop {
class WindowSystem;
class EventPosting;
class MonitorLayout;
}  // namespace brindlet::desktop
namespace brindlet::deck {
class AccessibilityTree;
}

namespace brindlet::app {

// A window of the user interface that a model opens: one at a time, raised when it is open.
class WindowPresenting {
 public:
  virtual ~WindowPresenting() = default;
  virtual void show() = 0;
};

// Everything of the operating system that start-up needs: the roles the models are given and
// the facts the computer's hello is made of. Shared pieces (the window system, the event poster,
// the accessibility tree, the sleep source) are made once, on first need; a display backend is
// made anew for each display manager. Main loop only.
class Platform {
 public:
  virtual ~Platform() = default;

  virtual runtime::MainLoop& loop() = 0;
  // Where the phone links' byte streams run: a loop of their own, so that frames never wait
  // for the main loop.
  virtual boost::asio::any_io_executor linkExecutor() = 0;

  // Secrets, discovery and the usbmuxd socket.
  virtual std::shared_ptr<secrets::SecretStore> secretStore() = 0;
  virtual std::shared_ptr<transport::ServiceDiscovery> discovery() = 0;
  virtual std::string usbmuxSocket() = 0;

  // Displays and video.
  virtual boost::asio::awaitable<std::shared_ptr<streaming::DisplayBackend>> displayBackend() = 0;
  virtual std::shared_ptr<streaming::SleepWakeSource> sleepWake() = 0;
  virtual std::shared_ptr<streaming::CaptureBackend> captureBackend() = 0;
  virtual streaming::VideoEncoderFactory encoderFactory() = 0;
  // Where the desktop shows its outputs (the session's display among them).
  virtual boost::asio::awaitable<std::shared_ptr<desktop::MonitorLayout>> monitorLayout() = 0;

  // The desktop.
  virtual boost::asio::awaitable<std::shared_ptr<desktop::WindowSystem>> windowSystem() = 0;
  virtual boost::asio::awaitable<std::shared_ptr<desktop::EventPosting>> eventPoster() = 0;
  // The desktop's double-click interval, read again as the user changes it; 0.4 s where the
  // desktop publishes none.
  virtual boost::asio::awaitable<std::function<runtime::Duration()>> doubleClickInterval() = 0;
  virtual std::shared_ptr<deck::AccessibilityTree> accessibilityTree() = 0;
  virtual std::shared_ptr<runtime::ProcessTable> processTable() = 0;
  virtual std::shared_ptr<runtime::ProgramRunning> programRunner() = 0;

  // The shell's roles and the user interface's presenters.
  virtual std::shared_ptr<PermissionChecking> permissions() = 0;
  virtual std::shared_ptr<LoginItem> loginItem() = 0;
  virtual std::shared_ptr<SettingsOpening> settingsOpener() = 0;
  virtual std::shared_ptr<WindowPresenting> onboardingWindow() = 0;
  virtual std::shared_ptr<WindowPresenting> pairingWindow() = 0;
  virtual std::shared_ptr<SettingsGuiding> guide() = 0;
  virtual std::shared_ptr<AppActivating> activator() = 0;

  virtual std::shared_ptr<runtime::Defaults> defaults() = 0;
  virtual std::shared_ptr<runtime::Clock> clock() = 0;
  virtual std::optional<std::string> environment(std::string_view name) = 0;

  // Facts.
  virtual std::string version() = 0;
  // The hardware model's raw bytes; none when they cannot be read.
  virtual std::optional<std::string> hardwareModel() = 0;
  // The text of the machine-info file, and the kernel's host name; none when absent.
  virtual std::optional<std::string> machineInfo() = 0;
  virtual std::optional<std::string> hostName() = 0;
  // This computer's stable id on the secret store (may create and store one).
  virtual boost::asio::awaitable<std::string> deviceId() = 0;
  // The user's data folder, and the deck profiles shipped with the app (none when not there).
  virtual std::filesystem::path dataFolder() = 0;
  virtual std::optional<std::filesystem::path> bundledProfiles() = 0;
};

}  // namespace brindlet::app
