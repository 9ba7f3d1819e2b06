#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "app/core/Platform.h"
#include "app/core/SettingsGuide.h"

namespace brindlet::platform {
class AtspiTree;
}

namespace brindlet::app {

// The app's platform on a Linux desktop with X11: the landed Linux classes, each shared piece
// made once on first need (one window system, one event poster for the injector and the action
// runner, one AT-SPI tree, one logind source for both display managers).
class LinuxPlatform final : public Platform {
 public:
  // What the user interface brings; without them nothing is shown.
  struct Presenters {
    std::shared_ptr<WindowPresenting> onboarding;
    std::shared_ptr<WindowPresenting> pairing;
    std::shared_ptr<GuidePanel> guidePanel;
    std::shared_ptr<AppActivating> activator;
    double scale = 1;  // the screen's pixels per point
  };

  // `display` empty: $DISPLAY. `executable`: the running binary.
  LinuxPlatform(runtime::MainLoop& loop, boost::asio::any_io_executor links, std::string display,
                std::filesystem::path executable, Presenters presenters);
  ~LinuxPlatform() override;

  runtime::MainLoop& loop() override { return loop_; }
  boost::asio::any_io_executor linkExecutor() override { return links_; }
  std::shared_ptr<secrets::SecretStore> secretStore() override;
  std::shared_ptr<transport::ServiceDiscovery> discovery() override;
  std::string usbmuxSocket() override;
  boost::asio::awaitable<std::shared_ptr<streaming::DisplayBackend>> displayBackend() override;
  std::shared_ptr<streaming::SleepWakeSource> sleepWake() override;
  std::shared_ptr<streaming::CaptureBackend> captureBackend() override;
  streaming::VideoEncoderFactory encoderFactory() override;
  boost::asio::awaitable<std::shared_ptr<desktop::MonitorLayout>> monitorLayout() override;
  boost::asio::awaitable<std::shared_ptr<desktop::WindowSystem>> windowSystem() override;
  boost::asio::awaitable<std::shared_ptr<desktop::EventPosting>> eventPoster() override;
  boost::asio::awaitable<std::function<runtime::Duration()>> doubleClickInterval() override;
  std::shared_ptr<deck::AccessibilityTree> accessibilityTree() override;
  std::shared_ptr<runtime::ProcessTable> processTable() override;
  std::shared_ptr<runtime::ProgramRunning> programRunner() override;
  std::shared_ptr<PermissionChecking> permissions() override;
  std::shared_ptr<LoginItem> loginItem() override;
  std::shared_ptr<SettingsOpening> settingsOpener() override;
  std::shared_ptr<WindowPresenting> onboardingWindow() override;
  std::shared_ptr<WindowPresenting> pairingWindow() override;
  std::shared_ptr<SettingsGuiding> guide() override;
  std::shared_ptr<AppActivating> activator() override;
  std::shared_ptr<runtime::Defaults> defaults() override;
  std::shared_ptr<runtime::Clock> clock() override;
  std::optional<std::string> environment(std::string_view name) override;
  std::string version() override;
  std::optional<std::string> hardwareModel() override;
  std::optional<std::string> machineInfo() override;
  std::optional<std::string> hostName() override;
  boost::asio::awaitable<std::string> deviceId() override;
  std::filesystem::path dataFolder() override;
  std::optional<std::filesystem::path> bundledProfiles() override;

 private:
  std::shared_ptr<platform::AtspiTree> atspi();

  runtime::MainLoop& loop_;
  boost::asio::any_io_executor links_;
  std::string display_;
  std::filesystem::path executable_;
  Presenters presenters_;
  std::shared_ptr<secrets::SecretStore> secrets_;
  std::shared_ptr<streaming::SleepWakeSource> sleepWake_;
  std::shared_ptr<desktop::WindowSystem> windows_;
  std::shared_ptr<desktop::EventPosting> poster_;
  std::shared_ptr<platform::AtspiTree> tree_;
  std::shared_ptr<runtime::Defaults> defaults_;
  std::shared_ptr<runtime::ProcessTable> processes_;
  std::shared_ptr<runtime::ProgramRunning> programs_;
  std::shared_ptr<SettingsGuiding> guide_;
};

// The usbmuxd socket: libusbmuxd's USBMUXD_SOCKET_ADDRESS in its "UNIX:<path>" form, else the
// daemon's own path. Other forms (a TCP address) are not spoken here and give the default.
std::string usbmuxSocketFrom(const std::optional<std::string>& address);

// The deck profiles shipped with the binary: <binary>/../share/brindlet/Profiles, which the
// build tree mirrors; none when it is not a folder.
std::optional<std::filesystem::path> bundledProfilesOf(const std::filesystem::path& executable);

}  // namespace brindlet::app
