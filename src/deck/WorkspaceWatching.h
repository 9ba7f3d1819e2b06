#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <boost/asio/awaitable.hpp>

#include "deck/FrontApp.h"
#include "runtime/AsyncQueue.h"
#include "runtime/Clock.h"

namespace brindlet::deck {

// An element of another app's accessibility tree (a button found in a window); what it holds
// is up to the workspace that found it.
class AccessibleElement {
 public:
  virtual ~AccessibleElement() = default;
};
using Element = std::shared_ptr<const AccessibleElement>;

// The deck's view of the desktop's apps and windows. Operations that ask another process and
// may take a while (activation, the accessibility walk, pressing) are awaitables; the others
// are quick window-system reads. Nothing here fails: what cannot be read counts as absent.
class WorkspaceWatching {
 public:
  virtual ~WorkspaceWatching() = default;

  virtual std::optional<FrontApp> currentFrontApp() = 0;
  // The app in front when the stream is made (if any), then one element per activation. The
  // stream never finishes by itself; its consumer cancels it.
  virtual std::shared_ptr<runtime::AsyncQueue<FrontApp>> frontApps() = 0;
  // Brings the app to the front; whether it is frontmost by the end of the time-out.
  virtual boost::asio::awaitable<bool> activate(std::string bundleID,
                                                runtime::Duration timeout) = 0;
  virtual std::optional<std::string> focusedWindowTitle(std::int32_t pid) = 0;
  virtual std::vector<FrontApp> runningApps() = 0;
  virtual std::vector<std::string> windowTitles(std::int32_t pid) = 0;
  // Raises the app's first window whose title starts with `title`.
  virtual void raiseWindow(std::int32_t pid, std::string title) = 0;
  // The first button-like element, in the window titled exactly `windowTitle`, whose
  // lower-cased label starts with one of `labels` (label order first, then element order).
  virtual boost::asio::awaitable<std::optional<Element>> findButton(
      std::int32_t pid, std::string windowTitle, std::vector<std::string> labels) = 0;
  // Performs the element's default action; whether that succeeded.
  virtual boost::asio::awaitable<bool> press(Element button) = 0;
};

}  // namespace brindlet::deck
