#include "agents/AgentSetupError.h"

namespace brindlet::agents {
namespace {

std::string describe(const std::filesystem::filesystem_error& error) {
  std::string text = error.code().message();
  if (!error.path1().empty()) text += ": " + error.path1().string();
  return text;
}

}  // namespace

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

AgentSetupError AgentSetupError::unreadableSettings(
    const std::filesystem::filesystem_error& error) {
  return unreadableSettings(describe(error));
}

AgentSetupError AgentSetupError::writeFailed(const std::filesystem::filesystem_error& error) {
  return writeFailed(describe(error));
}

std::string_view wordOf(AgentSetupError::Case kind) {
  return kind == AgentSetupError::Case::unreadableSettings ? "unreadableSettings" : "writeFailed";
}

}  // namespace brindlet::agents
