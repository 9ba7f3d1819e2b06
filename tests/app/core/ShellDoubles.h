#pragma once

// Test doubles of the roles the shell's models call, each recording what it was asked.

#include <memory>
#include <string>
#include <vector>

#include <boost/asio/awaitable.hpp>

#include "app/core/Permission.h"
#include "app/core/ShellRoles.h"
#include "runtime/Clock.h"

namespace brindlet::app {

// Grants what the test says; with `hang` set, a check waits a day on the clock unless it is
// cancelled.
struct FakeChecker : PermissionChecking {
  explicit FakeChecker(std::shared_ptr<runtime::Clock> clock) : clock(std::move(clock)) {}

  boost::asio::awaitable<bool> isGranted(Permission permission) override {
    ++checks;
    if (hang) {
      ++pending;
      struct Done {
        int& count;
        ~Done() { --count; }
      } done{pending};
      co_await clock->sleep(std::chrono::hours(24));
    }
    co_return grants.count(permission) > 0;
  }
  boost::asio::awaitable<void> request(Permission permission) override {
    requests.push_back(permission);
    co_return;
  }
  std::vector<std::string> lacking(Permission permission) const override {
    return permission == Permission::screenRecording ? captureLacking : std::vector<std::string>();
  }

  std::shared_ptr<runtime::Clock> clock;
  Permissions grants;
  std::vector<std::string> captureLacking;
  bool hang = false;
  int checks = 0;
  int pending = 0;  // checks still waiting
  std::vector<Permission> requests;
};

struct FakeLoginItem : LoginItem {
  boost::asio::awaitable<bool> isEnabled() override { co_return enabled; }
  boost::asio::awaitable<void> setEnabled(bool wanted) override {
    calls.push_back(wanted);
    if (failure) throw LoginItemError(*failure);
    enabled = wanted;
    co_return;
  }
  bool enabled = false;
  std::optional<std::string> failure;
  std::vector<bool> calls;
};

// "show accessibility", "dismiss".
struct RecordingGuide : SettingsGuiding {
  void show(Permission permission) override {
    calls.push_back("show " + std::string(rawValue(permission)));
  }
  void dismiss() override { calls.push_back("dismiss"); }
  std::vector<std::string> calls;
};

struct RecordingActivator : AppActivating {
  void activate() override { ++activations; }
  int activations = 0;
};

struct RecordingOpener : SettingsOpening {
  void open(std::string_view url) override { urls.emplace_back(url); }
  std::vector<std::string> urls;
};

}  // namespace brindlet::app
