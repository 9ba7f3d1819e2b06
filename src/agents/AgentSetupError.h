#pragma once

#include <filesystem>
#include <string>
#include <string_view>

#include "runtime/Error.h"

namespace brindlet::agents {

// The error of setting up a coding agent's hooks. Its text is "caseName("detail")".
class AgentSetupError : public runtime::Error {
 public:
  enum class Case { unreadableSettings, writeFailed };

  static AgentSetupError unreadableSettings(std::string text);
  static AgentSetupError writeFailed(std::string text);
  // The system's text for the failed step: "Permission denied: /home/u/.claude".
  static AgentSetupError unreadableSettings(const std::filesystem::filesystem_error& error);
  static AgentSetupError writeFailed(const std::filesystem::filesystem_error& error);

  Case kind() const { return kind_; }
  const std::string& detail() const { return detail_; }

  friend bool operator==(const AgentSetupError& a, const AgentSetupError& b) {
    return a.kind_ == b.kind_ && a.detail_ == b.detail_;
  }

 private:
  AgentSetupError(Case kind, std::string detail);

  Case kind_;
  std::string detail_;
};

std::string_view wordOf(AgentSetupError::Case kind);

}  // namespace brindlet::agents
