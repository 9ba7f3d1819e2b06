#pragma once

#include <functional>
#include <memory>
#include <span>

#include <boost/asio/awaitable.hpp>

#include "desktop/EventPosting.h"
#include "protocol/ControlEnvelope.h"
#include "runtime/Clock.h"
#include "runtime/Defaults.h"
#include "runtime/Log.h"
#include "session/InputMapping.h"
#include "session/InputRules.h"

namespace brindlet::session {

// What became of one input message.
enum class InputOutcome {
  posted,         // acted on: posted, or nothing to post (also a touch dropped during a Dock push)
  noAccess,       // dropped: the display refuses input; the first such since input last passed
  stillNoAccess,  // dropped for the same reason, already reported
};

// The session's way to the computer's input.
class InputInjecting {
 public:
  virtual ~InputInjecting() = default;
  // Injects a touch, scroll, key or text message on the display; other messages are ignored.
  virtual InputOutcome handle(const protocol::ControlMessage& message,
                              const DisplayRect& display) = 0;
  // Lets go of a held button.
  virtual void release() = 0;
  // Pushes the pointer into the display's edge on the Dock's side; throws InputError.
  virtual boost::asio::awaitable<void> pushDock(DisplayRect display) = 0;
};

// Posts the phone's input through the system's one event poster, on the main loop. Input needs
// the display's permission (XTest); its absence is logged once until input passes again.
class InputInjector final : public InputInjecting {
 public:
  static constexpr runtime::Duration kDefaultDoubleClickInterval = std::chrono::milliseconds(400);

  struct Options {
    desktop::EventPosting& poster;
    std::shared_ptr<runtime::Clock> clock;
    const runtime::Defaults& defaults;
    // The user's double-click interval, read at each press.
    std::function<runtime::Duration()> doubleClickInterval = [] {
      return kDefaultDoubleClickInterval;
    };
  };

  explicit InputInjector(Options options);

  InputOutcome handle(const protocol::ControlMessage& message, const DisplayRect& display) override;
  void release() override;
  boost::asio::awaitable<void> pushDock(DisplayRect display) override;

  bool pushingDock() const { return pushingDock_; }

 private:
  void post(std::span<const InputEvent> events);

  desktop::EventPosting& poster_;
  std::shared_ptr<runtime::Clock> clock_;
  const runtime::Defaults& defaults_;
  InputRules rules_;
  InputMapping mapping_;
  const runtime::Logger& log_ = runtime::Logger::of("input");
  bool reportedUntrusted_ = false;
  bool pushingDock_ = false;
};

// X has no permission pane to open: input is allowed whenever the display offers XTest.
inline void openAccessibilitySettings() {}

}  // namespace brindlet::session
