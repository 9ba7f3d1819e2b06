#include "deck/ActionError.h"

namespace brindlet::deck {

using runtime::ErrorText;

ActionError::ActionError(Payload payload, std::string text, std::string description)
    : runtime::Error(std::move(text)),
      payload_(std::move(payload)),
      description_(std::move(description)) {}

ActionError ActionError::appNotRunning(std::string name) {
  std::string text = ErrorText("appNotRunning").text("", name);
  std::string description = name + " isn't running";
  return ActionError(AppNotRunning{std::move(name)}, std::move(text), std::move(description));
}

ActionError ActionError::script(std::string message) {
  std::string text = ErrorText("script").text("", message);
  return ActionError(Script{message}, std::move(text), message);
}

ActionError ActionError::failed(std::string message) {
  std::string text = ErrorText("failed").text("", message);
  return ActionError(Failed{message}, std::move(text), message);
}

ActionError ActionError::timeout() {
  return ActionError(Timeout{}, ErrorText("timeout").str(), "Timed out");
}

}  // namespace brindlet::deck
