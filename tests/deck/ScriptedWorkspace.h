#pragma once

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "deck/WorkspaceWatching.h"

namespace brindlet::deck::testing {

// The shortest text that reads back as the number.
inline std::string numberText(double value) {
  char buffer[32];
  return {buffer, std::to_chars(buffer, buffer + sizeof buffer, value).ptr};
}

// A workspace the test scripts: front apps and their titles, running apps with their windows,
// and buttons by window title. With a transcript, activations and presses are written into it
// with the clock's reading.
class ScriptedWorkspace : public WorkspaceWatching {
 public:
  struct Button : AccessibleElement {
    explicit Button(std::string label) : label(std::move(label)) {}
    std::string label;
  };

  std::shared_ptr<runtime::AsyncQueue<FrontApp>> apps = runtime::AsyncQueue<FrontApp>::make();
  std::map<std::int32_t, std::string> titles;
  int streams = 0;
  std::optional<FrontApp> front;
  // The apps that come to the front when activated; every app when absent.
  std::optional<std::vector<std::string>> activatable;
  std::vector<std::string> activations;
  std::vector<FrontApp> running;
  std::map<std::int32_t, std::vector<std::string>> windows;
  std::map<std::string, std::vector<std::string>> buttons;  // lower-case labels by window title
  // Pressing the first label lets the second appear in the same window this long after.
  std::map<std::string, std::pair<std::string, double>> opens;
  std::vector<std::string>* transcript = nullptr;
  std::shared_ptr<runtime::Clock> clock;

  std::optional<FrontApp> currentFrontApp() override { return front; }
  std::shared_ptr<runtime::AsyncQueue<FrontApp>> frontApps() override {
    ++streams;
    return apps;
  }
  boost::asio::awaitable<bool> activate(std::string bundleID, runtime::Duration timeout) override {
    activations.push_back(bundleID);
    write("activate " + bundleID + " " +
          numberText(std::chrono::duration<double>(timeout).count()));
    co_return !activatable || std::ranges::find(*activatable, bundleID) != activatable->end();
  }
  std::optional<std::string> focusedWindowTitle(std::int32_t pid) override {
    const auto title = titles.find(pid);
    if (title == titles.end()) return std::nullopt;
    return title->second;
  }
  std::vector<FrontApp> runningApps() override { return running; }
  std::vector<std::string> windowTitles(std::int32_t pid) override { return windows[pid]; }
  void raiseWindow(std::int32_t, std::string) override {}
  boost::asio::awaitable<std::optional<Element>> findButton(
      std::int32_t, std::string title, std::vector<std::string> labels) override {
    for (const auto& wanted : labels)
      for (const auto& label : buttons[title])
        if (label.starts_with(wanted) && appeared(label)) co_return std::make_shared<Button>(label);
    co_return std::nullopt;
  }
  boost::asio::awaitable<bool> press(Element element) override {
    const auto& label = dynamic_cast<const Button&>(*element).label;
    write("pressed " + label);
    if (const auto opened = opens.find(label); opened != opens.end())
      appearsAt_[opened->second.first] = seconds() + opened->second.second;
    co_return true;
  }

 private:
  double seconds() const {
    return clock ? std::chrono::duration<double>(clock->now().time_since_epoch()).count() : 0;
  }
  void write(const std::string& line) {
    if (!transcript) return;
    transcript->push_back(line + " at " + numberText(std::round(seconds() * 1000) / 1000));
  }
  bool appeared(const std::string& label) const {
    const auto hidden =
        std::ranges::any_of(opens, [&](const auto& o) { return o.second.first == label; });
    const auto at = appearsAt_.find(label);
    return !hidden || (at != appearsAt_.end() && at->second <= seconds() + 1e-9);
  }
  std::map<std::string, double> appearsAt_;
};

}  // namespace brindlet::deck::testing
