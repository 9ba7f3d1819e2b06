#include "app/core/AgentsMenu.h"

#include "agents/AgentSetupError.h"
#include "agents/ClaudeHooks.h"

namespace brindlet::app {

AgentsMenu::AgentsMenu() : worker_("agents-menu") {}

AgentsMenu::~AgentsMenu() {
  worker_.stop();
}

boost::asio::awaitable<void> AgentsMenu::refresh() {
  const bool installed = co_await runtime::offload(
      worker_.executor(), [] { return agents::ClaudeHooks{}.isInstalled(); });
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
  auto failure = co_await runtime::offload(worker_.executor(), std::move(run));
  error.set(std::move(failure));
  co_await refresh();
}

}  // namespace brindlet::app
