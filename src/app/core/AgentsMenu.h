#pragma once

#include <optional>
#include <string>

#include <boost/asio/awaitable.hpp>

#include "runtime/Observable.h"

namespace brindlet::app {

// The Agents submenu's state: whether Claude Code's settings hold the agent hooks, and the last
// failure to change them. Lives on the main loop; the settings file is read and written on the
// blocking worker.
class AgentsMenu {
 public:
  enum class Change { install, uninstall };

  AgentsMenu() = default;
  AgentsMenu(const AgentsMenu&) = delete;
  AgentsMenu& operator=(const AgentsMenu&) = delete;

  runtime::Observable<bool> claudeConnected{false};
  runtime::Observable<std::optional<std::string>> error;

  // Reads the settings file: once when the shell is made, then each time the menu opens, so
  // that changes made outside the app show.
  boost::asio::awaitable<void> refresh();
  // Runs the change; then the mark follows what the file holds, not what was meant.
  boost::asio::awaitable<void> apply(Change change);
};

}  // namespace brindlet::app
