#include "app/core/AgentsMenu.h"

#include "agents/AgentSetupError.h"
#include "agents/ClaudeHooks.h"

namespace brindlet::app {

AgentsMenu::AgentsMenu() : worker_("agents-menu") {}

AgentsMenu::~AgentsMenu() {
  worker_.stop();
}

boost::asio::awaitable<void> AgentsMenu::refresh() {
  auto worker = worker_.executor();
  auto read = [] { return agents::ClaudeHooks{}.isInstalled(); };
  const bool installed = co_await runtime::offload(std::move(worker), std::move(read));
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
  auto worker = worker_.executor();
  auto failure = co_await runtime::offload(std::move(worker), std::move(run));
  error.set(std::move(failure));
  co_await refresh();
}

}  // namespace brindlet::app
