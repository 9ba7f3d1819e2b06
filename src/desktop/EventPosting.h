#pragma once

#include <vector>

#include "desktop/SyntheticEvent.h"

namespace brindlet::desktop {

// The one path that posts input for the whole system. Events are posted in the order given,
// from the poster's own thread: post() returns at once and never waits for the display.
class EventPosting {
 public:
  virtual ~EventPosting() = default;

  // Whether events can be posted at all (the display is open and lets us inject input).
  virtual bool isTrusted() const = 0;
  // Events given while the poster is not trusted are dropped.
  virtual void post(SyntheticEvent event) = 0;
  virtual void post(std::vector<SyntheticEvent> events) {
    for (auto& event : events) post(std::move(event));
  }
};

}  // namespace brindlet::desktop
