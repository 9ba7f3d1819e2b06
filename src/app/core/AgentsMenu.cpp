#include "app/core/AgentsMenu.h"

#include "agents/AgentSetupError.h"
#include "agents/ClaudeHooks.h"
#include "runtime/Blocking.h"

namespace brindlet::app {

boost::asio::awaitable<void> AgentsMenu::refresh() {
  auto read = [] { return agents::ClaudeHooks{}.isInstalled(); };
  const bool installed = co_await runtime::offloadBlocking(std::move(read));
  claudeConnected.set(installed);
}

boost::asio::awaitable<void> AgentsMenu::apply(Change change) {
  auto run = [change]() -> std::optional<std::string> {
    try {
      const agents::ClaudeHooks hooks;
      if (change == Change::install) {
        hooks.install();
      } else {
        hooks.uninstall();
      }
      return std::nullopt;
    } catch (const agents::AgentSetupError& failure) {
      return "Couldn't update Claude Code's settings: " + failure.text();
    }
  };
  auto failure = co_await runtime::offloadBlocking(std::move(run));
  error.set(std::move(failure));
  co_await refresh();
}

}  // namespace brindlet::app
