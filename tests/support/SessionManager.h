#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "support/ChildProcess.h"
#include "support/TempDir.h"

namespace brindlet::testsupport {

// The test session manager (tools/session-manager) for one test: Qt apps started with
// environment() register with it, and die() and save() log them out as a desktop would. It
// takes only local connections, so it needs no authentication data; the app's ICEAUTHORITY
// points at an empty private file all the same, so that no user's file is read.
class SessionManager {
 public:
  // `program`: the session-manager binary. Waits until it listens; throws when it does not.
  explicit SessionManager(const std::string& program);

  const std::string& networkIds() const { return networkIds_; }
  // "SESSION_MANAGER=..." and "ICEAUTHORITY=...", for `env` in front of the app's command line.
  std::vector<std::string> environment() const;

  // Die to every registered client.
  void die();
  // A global SaveYourself for a shutdown, without interaction, to every registered client;
  // "saved <id>" follows each one's answer.
  void save();

  // Waits until a line containing `text` is printed after the last die() or save() (before
  // either, since it listens); false when the time runs out or the program has ended. Events are
  // "registered <id>", "property <id> <name> <value>", "saved <id>", "closed <id>".
  bool waitFor(std::string_view text, std::chrono::milliseconds timeout);
  // The ids of the first `count` clients to register, in order; fewer when the time runs out.
  std::vector<std::string> registered(std::size_t count, std::chrono::milliseconds timeout);

  const std::string& output() const { return process_->output(); }

 private:
  void command(std::string_view line);

  TempDir dir_;
  std::unique_ptr<ChildProcess> process_;
  std::string networkIds_;
  std::size_t mark_ = 0;
};

}  // namespace brindlet::testsupport
