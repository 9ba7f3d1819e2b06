#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "support/ChildProcess.h"
#include "support/TempDir.h"

namespace brindlet::testsupport {

// A session bus of its own with a gnome-keyring that holds no keyring yet, as at a user's first
// login, for apps on the X display `display`: the first write asks, through the system prompter
// on that display, for the new keyring's password, and waits for an answer nobody gives. This
// process's own session bus stays what it was.
class PromptingKeyring {
 public:
  // Waits until the keyring is on its bus; throws when it does not come.
  explicit PromptingKeyring(const std::string& display);
  ~PromptingKeyring();
  PromptingKeyring(const PromptingKeyring&) = delete;
  PromptingKeyring& operator=(const PromptingKeyring&) = delete;

  // "DBUS_SESSION_BUS_ADDRESS=...", for `env` in front of the app's command line.
  std::string environment() const { return "DBUS_SESSION_BUS_ADDRESS=" + address_; }
  // Whether the prompter is up within `timeout`.
  bool prompting(std::chrono::milliseconds timeout) const;
  // The bus and everything on it, at once, as at a logout.
  void kill();

 private:
  TempDir home_;
  std::unique_ptr<ChildProcess> bus_;
  std::string address_;
};

}  // namespace brindlet::testsupport
