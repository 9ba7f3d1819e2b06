#include "session/InputInjector.h"

namespace brindlet::session {

InputInjector::InputInjector(Options options)
    : poster_(options.poster),
      clock_(std::move(options.clock)),
      defaults_(options.defaults),
      rules_(clock_, std::move(options.doubleClickInterval)) {}

void InputInjector::post(std::span<const InputEvent> events) {
  for (const InputEvent& event : events) {
    auto mapped = mapping_.map(event);
    if (!mapped.empty()) poster_.post(std::move(mapped));
  }
}

InputOutcome InputInjector::handle(const protocol::ControlMessage& message,
                                   const DisplayRect& display) {
  if (!poster_.isTrusted()) {
    if (reportedUntrusted_) return InputOutcome::stillNoAccess;
    reportedUntrusted_ = true;
    log_.error("No XTest access; input is dropped until it is granted");
    return InputOutcome::noAccess;
  }
  reportedUntrusted_ = false;
  if (const auto* touch = message.as<protocol::Touch>()) {
    if (!pushingDock_) post(rules_.touch(*touch, display));
  } else if (const auto* scroll = message.as<protocol::Scroll>()) {
    const InputEvent event = rules_.scroll(*scroll, display);
    post({&event, 1});
  } else if (const auto* key = message.as<protocol::Key>()) {
    const InputEvent event = InputRules::key(*key);
    post({&event, 1});
  } else if (const auto* text = message.as<protocol::TypedText>()) {
    post(InputRules::text(text->text));
  }
  return InputOutcome::posted;
}

void InputInjector::release() {
  post(rules_.release());
}

}  // namespace brindlet::session
