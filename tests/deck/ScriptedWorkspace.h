#pragma once

#include <algorithm>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "deck/WorkspaceWatching.h"

namespace brindlet::deck::testing {

// A workspace whose front apps, titles and activations the test scripts.
class ScriptedWorkspace : public WorkspaceWatching {
 public:
  std::shared_ptr<runtime::AsyncQueue<FrontApp>> apps = runtime::AsyncQueue<FrontApp>::make();
  std::map<std::int32_t, std::string> titles;
  int streams = 0;
  std::optional<FrontApp> front;
  // The apps that come to the front when activated; every app when absent.
  std::optional<std::vector<std::string>> running;
  std::vector<std::string> activations;

  std::optional<FrontApp> currentFrontApp() override { return front; }
  std::shared_ptr<runtime::AsyncQueue<FrontApp>> frontApps() override {
    ++streams;
    return apps;
  }
  boost::asio::awaitable<bool> activate(std::string bundleID, runtime::Duration) override {
    activations.push_back(bundleID);
    co_return !running || std::find(running->begin(), running->end(), bundleID) != running->end();
  }
  std::optional<std::string> focusedWindowTitle(std::int32_t pid) override {
    const auto title = titles.find(pid);
    if (title == titles.end()) return std::nullopt;
    return title->second;
  }
  std::vector<FrontApp> runningApps() override { return {}; }
  std::vector<std::string> windowTitles(std::int32_t) override { return {}; }
  void raiseWindow(std::int32_t, std::string) override {}
  boost::asio::awaitable<std::optional<Element>> findButton(std::int32_t, std::string,
                                                            std::vector<std::string>) override {
    co_return std::nullopt;
  }
  boost::asio::awaitable<bool> press(Element) override { co_return false; }
};

}  // namespace brindlet::deck::testing
