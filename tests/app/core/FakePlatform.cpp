#include "app/core/FakePlatform.h"

#include <thread>

#include <gtest/gtest.h>

#include "app/core/HostModel.h"
#include "app/core/Lifetime.h"
#include "deck/MemoryTree.h"
#include "desktop/FakeMonitorLayout.h"
#include "desktop/MonitorLayout.h"
#include "runtime/ProcessTable.h"
#include "runtime/ProgramRunner.h"
#include "runtime/Task.h"
#include "secrets/MemorySecretStore.h"
#include "streaming/FakeCaptureBackend.h"
#include "support/Loop.h"
#include "transport/BonjourService.h"

namespace brindlet::app::testing {

namespace asio = boost::asio;

namespace {

// Finds nothing and advertises nothing.
struct SilentDiscovery : transport::ServiceDiscovery {
  std::unique_ptr<transport::DiscoveryHandle> browse(
      const std::string&, std::function<void(transport::BrowseEvent)>) override {
    return std::make_unique<transport::DiscoveryHandle>();
  }
  std::unique_ptr<transport::DiscoveryHandle> advertise(
      const transport::ServiceAdvertisement&,
      std::function<void(transport::AdvertiseEvent)>) override {
    return std::make_unique<transport::DiscoveryHandle>();
  }
};

}  // namespace

FakePlatform::FakePlatform()
    : secrets_(std::make_shared<secrets::MemorySecretStore>()),
      sleepWake_(std::make_shared<streaming::FakeSleepWakeSource>()),
      encoderScript_(std::make_shared<streaming::FakeVideoEncoder::Script>()) {
  encoderScript_->outputs = loop_.context().get_executor();
}

FakePlatform::~FakePlatform() {
  std::vector<std::weak_ptr<HostModel>> released;
  for (auto& model : models_) {
    EXPECT_TRUE(quit(*model));
    released.push_back(model);
  }
  models_.clear();
  // What the models' ends cancelled runs now, while the loop is still there.
  brindlet::testing::drain(loop_.context());
  for (const auto& model : released) EXPECT_TRUE(model.expired()) << "a task still holds the model";
}

std::shared_ptr<HostModel> FakePlatform::buildModel() {
  auto model = brindlet::testing::runUntilDone(loop_.context(), HostModel::build(*this));
  models_.push_back(model);
  brindlet::testing::runFor(loop_, *manualClock, std::chrono::milliseconds(10));
  return model;
}

bool FakePlatform::quit(HostModel& model) {
  bool done = false;
  auto quitting = [](std::shared_ptr<HostModel> model, bool& done) -> asio::awaitable<void> {
    ModelQuit steps(std::move(model), std::chrono::seconds(2));
    co_await steps.stopWhatOutlivesTheApp();
    co_await steps.stopStreamDisplayAndLinks();
    done = true;
  };
  runtime::spawn(loop_.context().get_executor(), quitting(model.shared_from_this(), done));
  for (int step = 0; step < 1000 && !done; ++step) {
    brindlet::testing::runFor(loop_, *manualClock, std::chrono::milliseconds(5));
    if (!done) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return done;
}

asio::any_io_executor FakePlatform::linkExecutor() {
  return loop_.context().get_executor();
}

std::shared_ptr<secrets::SecretStore> FakePlatform::secretStore() {
  made.push_back("secret store");
  return secrets_;
}

std::shared_ptr<transport::ServiceDiscovery> FakePlatform::discovery() {
  made.push_back("discovery");
  return std::make_shared<SilentDiscovery>();
}

std::string FakePlatform::usbmuxSocket() {
  made.push_back("usbmuxd socket");
  return data.file("usbmuxd");
}

asio::awaitable<std::shared_ptr<streaming::DisplayBackend>> FakePlatform::displayBackend() {
  made.push_back("display backend");
  backends.push_back(std::make_shared<streaming::FakeDisplayBackend>());
  backends.back()->availability = availability;
  co_return backends.back();
}

std::shared_ptr<streaming::SleepWakeSource> FakePlatform::sleepWake() {
  made.push_back("sleep source");
  return sleepWake_;
}

std::shared_ptr<streaming::CaptureBackend> FakePlatform::captureBackend() {
  made.push_back("capture");
  return std::make_shared<streaming::FakeCaptureBackend>(loop_.context().get_executor());
}

streaming::VideoEncoderFactory FakePlatform::encoderFactory() {
  made.push_back("encoder");
  return streaming::FakeVideoEncoder::factory(encoderScript_);
}

asio::awaitable<std::shared_ptr<desktop::MonitorLayout>> FakePlatform::monitorLayout() {
  made.push_back("monitor layout");
  co_return std::make_shared<desktop::FakeMonitorLayout>();
}

asio::awaitable<std::shared_ptr<desktop::WindowSystem>> FakePlatform::windowSystem() {
  made.push_back("window system");
  co_return windows;
}

asio::awaitable<std::shared_ptr<desktop::EventPosting>> FakePlatform::eventPoster() {
  made.push_back("event poster");
  co_return poster;
}

asio::awaitable<std::function<runtime::Duration()>> FakePlatform::doubleClickInterval() {
  made.push_back("double-click interval");
  co_return [this] {
    ++doubleClickReads;
    return doubleClick;
  };
}

std::shared_ptr<deck::AccessibilityTree> FakePlatform::accessibilityTree() {
  made.push_back("accessibility tree");
  return std::make_shared<deck::testing::MemoryTree>();
}

std::shared_ptr<runtime::ProcessTable> FakePlatform::processTable() {
  made.push_back("process table");
  return std::make_shared<runtime::ProcFsProcessTable>();
}

std::shared_ptr<runtime::ProgramRunning> FakePlatform::programRunner() {
  made.push_back("program runner");
  return std::make_shared<runtime::ProgramRunner>(loop_.context().get_executor(), manualClock);
}

std::shared_ptr<PermissionChecking> FakePlatform::permissions() {
  made.push_back("permissions");
  return checker;
}

std::shared_ptr<LoginItem> FakePlatform::loginItem() {
  made.push_back("login item");
  return std::make_shared<FakeLoginItem>();
}

std::shared_ptr<SettingsOpening> FakePlatform::settingsOpener() {
  made.push_back("settings opener");
  return std::make_shared<RecordingOpener>();
}

std::shared_ptr<WindowPresenting> FakePlatform::onboardingWindow() {
  made.push_back("onboarding window");
  return onboardingPresenter;
}

std::shared_ptr<WindowPresenting> FakePlatform::pairingWindow() {
  made.push_back("pairing window");
  return pairingPresenter;
}

std::shared_ptr<SettingsGuiding> FakePlatform::guide() {
  made.push_back("guide");
  return std::make_shared<RecordingGuide>();
}

std::shared_ptr<AppActivating> FakePlatform::activator() {
  made.push_back("activator");
  return std::make_shared<RecordingActivator>();
}

std::shared_ptr<runtime::Defaults> FakePlatform::defaults() {
  return memoryDefaults;
}

std::shared_ptr<runtime::Clock> FakePlatform::clock() {
  return manualClock;
}

std::optional<std::string> FakePlatform::environment(std::string_view name) {
  auto found = environmentValues.find(std::string(name));
  if (found == environmentValues.end()) return std::nullopt;
  return found->second;
}

std::string FakePlatform::version() {
  return "0.1.0";
}

std::optional<std::string> FakePlatform::hardwareModel() {
  made.push_back("hardware model");
  return model;
}

std::optional<std::string> FakePlatform::machineInfo() {
  return info;
}

std::optional<std::string> FakePlatform::hostName() {
  made.push_back("host name");
  return host;
}

asio::awaitable<std::string> FakePlatform::deviceId() {
  made.push_back("device id");
  co_return "0A1B2C3D-0000-4000-8000-000000000001";
}

std::filesystem::path FakePlatform::dataFolder() {
  return data.path();
}

std::optional<std::filesystem::path> FakePlatform::bundledProfiles() {
  made.push_back("bundled profiles");
  return std::nullopt;
}

}  // namespace brindlet::app::testing
