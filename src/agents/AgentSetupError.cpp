#include "agents/AgentSetupError.h"

namespace brindlet::agents {

AgentSetupError::AgentSetupError(Case kind, std::string detail)
    : runtime::Error(runtime::ErrorText(wordOf(kind)).text("", detail)),
      kind_(kind),
      detail_(std::move(detail)) {}

AgentSetupError AgentSetupError::unreadableSettings(std::string text) {
  return {Case::unreadableSettings, std::move(text)};
}

AgentSetupError AgentSetupError::writeFailed(std::string text) {
  return {Case::writeFailed, std::move(text)};
}

std::string_view wordOf(AgentSetupError::Case kind) {
  return kind == AgentSetupError::Case::unreadableSettings ? "unreadableSettings" : "writeFailed";
}

}  // namespace brindlet::agents
