#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include <boost/asio/any_io_executor.hpp>

#include "deck/AccessibilityTree.h"
#include "deck/WorkspaceWatching.h"
#include "desktop/WindowSystem.h"

namespace brindlet::deck {

// The desktop's apps and windows as the window manager publishes them: an app is the owner of
// a window (its class and process), named by the desktop entry that claims that class. Every
// query reads the window system's snapshot; only activation and raising reach the display.
// Lives on the main loop.
class SystemWorkspace : public WorkspaceWatching {
 public:
  // An app's name from its window class; nothing when no desktop entry names it.
  using AppNames = std::function<std::optional<std::string>(const std::string& windowClass)>;

  static constexpr runtime::Duration activationPoll = std::chrono::milliseconds(20);

  // Without a tree no buttons are found.
  SystemWorkspace(boost::asio::any_io_executor executor, desktop::WindowSystem& windows,
                  AccessibilityTree* tree = nullptr,
                  std::shared_ptr<runtime::Clock> clock = runtime::Clock::system(),
                  AppNames names = desktopEntryNames());

  std::optional<FrontApp> currentFrontApp() override;
  std::shared_ptr<runtime::AsyncQueue<FrontApp>> frontApps() override;
  boost::asio::awaitable<bool> activate(std::string bundleID, runtime::Duration timeout) override;
  std::optional<std::string> focusedWindowTitle(std::int32_t pid) override;
  std::vector<FrontApp> runningApps() override;
  std::vector<std::string> windowTitles(std::int32_t pid) override;
  void raiseWindow(std::int32_t pid, std::string title) override;
  // Asks the apps to publish their trees first.
  boost::asio::awaitable<std::optional<Element>> findButton(
      std::int32_t pid, std::string windowTitle, std::vector<std::string> labels) override;
  boost::asio::awaitable<bool> press(Element button) override;

  // Names from the Name of the desktop entries under the XDG data folders by their
  // StartupWMClass, read once, on first use.
  static AppNames desktopEntryNames();

 private:
  std::optional<FrontApp> appOf(const desktop::WindowInfo& window);

  boost::asio::any_io_executor executor_;
  desktop::WindowSystem& windows_;
  AccessibilityTree* tree_;
  std::shared_ptr<runtime::Clock> clock_;
  AppNames names_;
};

}  // namespace brindlet::deck
