#include "session/InputError.h"

namespace brindlet::session {

InputError::InputError(Payload payload, const char* name)
    : runtime::Error(runtime::ErrorText(name)), payload_(payload) {}

InputError InputError::noAccessibility() {
  return InputError(NoAccessibility{}, "noAccessibility");
}

InputError InputError::eventCreationFailed() {
  return InputError(EventCreationFailed{}, "eventCreationFailed");
}

}  // namespace brindlet::session
