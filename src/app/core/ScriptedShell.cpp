#include "app/core/ScriptedShell.h"

#include <algorithm>
#include <future>

#include <boost/asio/post.hpp>

namespace brindlet::app {

namespace {

using Kind = app::MenuAction::Kind;

std::string phoneOf(const app::MenuAction& action) {
  return action.phone ? " " + action.phone->id() : std::string();
}

std::string qualityName(streaming::VideoQuality quality) {
  switch (quality) {
    case streaming::VideoQuality::best:
      return "best";
    case streaming::VideoQuality::balanced:
      return "balanced";
    case streaming::VideoQuality::fast:
      return "fast";
  }
  return "?";
}

}  // namespace

std::string describe(const app::MenuAction& action) {
  switch (action.kind) {
    case Kind::none:
      return "none";
    case Kind::setUp:
      return "setup";
    case Kind::checkForUpdates:
      return "update";
    case Kind::quit:
      return "quit";
    case Kind::openAccessibilitySettings:
      return "accessibility";
    case Kind::followWindows:
      return action.on ? "follow on" : "follow off";
    case Kind::chooseQuality:
      return "quality " + qualityName(action.quality.value_or(streaming::VideoQuality::balanced));
    case Kind::connect:
      return "connect" + phoneOf(action);
    case Kind::pair:
      return "pair" + phoneOf(action);
    case Kind::forget:
      return "forget" + phoneOf(action);
    case Kind::connectClaude:
      return "install";
    case Kind::disconnectClaude:
      return "uninstall";
  }
  return "?";
}

void RecordingShellActions::setOnCall(std::function<void(const std::string&)> onCall) {
  std::lock_guard lock(mutex_);
  onCall_ = std::move(onCall);
}

std::vector<std::string> RecordingShellActions::lines() const {
  std::lock_guard lock(mutex_);
  return lines_;
}

int RecordingShellActions::count(const std::string& line) const {
  std::lock_guard lock(mutex_);
  return int(std::count(lines_.begin(), lines_.end(), line));
}

void RecordingShellActions::perform(app::MenuAction action) {
  record("chose " + describe(action));
}

void RecordingShellActions::go(app::Step to, bool forward) {
  record("go " + std::to_string(app::rawValue(to)) + (forward ? " forward" : " back"));
}

void RecordingShellActions::request(app::Permission permission) {
  record("request " + std::string(app::rawValue(permission)));
}

void RecordingShellActions::setLaunchAtLogin(bool on) {
  record(on ? "launch at login on" : "launch at login off");
}

void RecordingShellActions::finish(std::function<void()> written) {
  if (holdFinish) {
    heldFinish = std::move(written);
  } else if (written) {
    written();
  }
  record("finish");
}

void RecordingShellActions::record(const std::string& line) {
  std::function<void(const std::string&)> onCall;
  {
    std::lock_guard lock(mutex_);
    lines_.push_back(line);
    onCall = onCall_;
  }
  if (onCall) onCall(line);
}

transport::NearbyPhone nearbyPhone(const std::string& name, const std::string& uid, bool paired) {
  transport::NearbyPhone phone;
  phone.name = name;
  phone.uid = uid;
  phone.isPaired = paired;
  if (!paired) {
    phone.secure = transport::BonjourService{};
    phone.secure->name = name;
    phone.pairPort = 7001;
  }
  return phone;
}

ScriptedShell::ScriptedShell() : thread_(loop, "scripted-shell") {}

ScriptedShell::~ScriptedShell() {
  thread_.stop();
}

void ScriptedShell::onLoop(const std::function<void()>& f) {
  std::promise<void> done;
  boost::asio::post(loop.context(), [&] {
    f();
    done.set_value();
  });
  done.get_future().wait();
}

void ScriptedShell::change(const std::function<void(app::ShellState&)>& edit) {
  onLoop([&] {
    app::ShellState next = state.get();
    edit(next);
    state.set(next);
  });
}

void ScriptedShell::setPairing(const app::PairingState& value) {
  onLoop([&] { pairing.set(value); });
}

}  // namespace brindlet::app
