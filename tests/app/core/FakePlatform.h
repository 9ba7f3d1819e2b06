#pragma once

// A platform of test doubles that records, in order, what start-up made of it.

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/core/Platform.h"
#include "app/core/ShellDoubles.h"
#include "desktop/EventPosting.h"
#include "desktop/FakeWindowSystem.h"
#include "desktop/RecordingPoster.h"
#include "runtime/Clock.h"
#include "runtime/Defaults.h"
#include "runtime/MainLoop.h"
#include "runtime/ManualClock.h"
#include "runtime/MemoryDefaults.h"
#include "streaming/FakeDisplayBackend.h"
#include "streaming/FakeVideoEncoder.h"
#include "support/TempDir.h"

namespace brindlet::app {
class HostModel;
}

namespace brindlet::app::testing {

struct RecordingPresenter : WindowPresenting {
  void show() override { ++shows; }
  int shows = 0;
};

class FakePlatform : public Platform {
 public:
  FakePlatform();
  // Quits every model built here, as the app does, before the loop goes.
  ~FakePlatform() override;

  // The root model, built on the loop and settled for a moment. The platform keeps it until it
  // is destroyed itself, and quits it then.
  std::shared_ptr<HostModel> buildModel();
  // The app's quit (both halves, with its limit) on the loop, with the manual clock moving in small
  // steps, as the process scan runs on a thread of its own; whether it finished.
  bool quit(HostModel& model);

  runtime::MainLoop& loop() override { return loop_; }
  boost::asio::any_io_executor linkExecutor() override;
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

  // What the test sets.
  std::map<std::string, std::string> environmentValues;
  std::optional<std::string> model = std::string("Latitude 7440\n");
  std::optional<std::string> info;
  std::optional<std::string> host = std::string("desk");
  streaming::VirtualDisplayAvailability availability =
      streaming::VirtualDisplayAvailability::available();

  // The desktop's double-click interval, as the test sets it; how often it was read.
  runtime::Duration doubleClick = std::chrono::milliseconds(400);
  int doubleClickReads = 0;

  // What the test reads.
  std::vector<std::string> made;
  std::shared_ptr<runtime::ManualClock> manualClock = std::make_shared<runtime::ManualClock>();
  std::shared_ptr<runtime::MemoryDefaults> memoryDefaults =
      std::make_shared<runtime::MemoryDefaults>();
  std::shared_ptr<FakeChecker> checker = std::make_shared<FakeChecker>(manualClock);
  std::shared_ptr<RecordingPresenter> onboardingPresenter = std::make_shared<RecordingPresenter>();
  std::shared_ptr<RecordingPresenter> pairingPresenter = std::make_shared<RecordingPresenter>();
  std::shared_ptr<desktop::FakeWindowSystem> windows =
      std::make_shared<desktop::FakeWindowSystem>();
  std::shared_ptr<desktop::RecordingPoster> poster = std::make_shared<desktop::RecordingPoster>();
  std::vector<std::shared_ptr<streaming::FakeDisplayBackend>> backends;
  testsupport::TempDir data;

 private:
  runtime::MainLoop loop_;
  std::vector<std::shared_ptr<HostModel>> models_;
  std::shared_ptr<secrets::SecretStore> secrets_;
  std::shared_ptr<streaming::SleepWakeSource> sleepWake_;
  std::shared_ptr<streaming::FakeVideoEncoder::Script> encoderScript_;
};

}  // namespace brindlet::app::testing
