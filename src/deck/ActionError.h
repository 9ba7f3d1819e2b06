#pragma once

#include <string>
#include <variant>

#include "runtime/Error.h"

namespace brindlet::deck {

// The error of performing a deck action. text() is the value's own form, "caseName(payload)";
// description() is what the log and the key's error look show.
class ActionError : public runtime::Error {
 public:
  struct AppNotRunning {
    std::string name;
    friend bool operator==(const AppNotRunning&, const AppNotRunning&) = default;
  };
  struct Script {
    std::string message;
    friend bool operator==(const Script&, const Script&) = default;
  };
  struct Failed {
    std::string message;
    friend bool operator==(const Failed&, const Failed&) = default;
  };
  struct Timeout {
    friend bool operator==(const Timeout&, const Timeout&) = default;
  };
  using Payload = std::variant<AppNotRunning, Script, Failed, Timeout>;

  static ActionError appNotRunning(std::string name);
  static ActionError script(std::string message);
  static ActionError failed(std::string message);
  static ActionError timeout();

  const Payload& payload() const { return payload_; }
  const std::string& description() const { return description_; }

  friend bool operator==(const ActionError& a, const ActionError& b) {
    return a.payload_ == b.payload_;
  }

 private:
  ActionError(Payload payload, std::string text, std::string description);
  Payload payload_;
  std::string description_;
};

}  // namespace brindlet::deck
