#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "protocol/DisplayMessages.h"
#include "runtime/Clock.h"
#include "session/InputEvent.h"

namespace brindlet::session {

// The phone's touches, scrolls, keys and text turned into input events: click counts for
// double and triple clicks, a drag that goes on past the display's edge while the finger rests
// on the border of the phone's screen, scroll and momentum phases. It keeps the pointer state
// between messages and posts nothing itself.
class InputRules {
 public:
  // Points a finger resting on an edge carries a drag further per move; the farthest two presses
  // may lie apart to count as one double click.
  static constexpr double kEdgeCarryPoints = 24;
  static constexpr double kClickDistancePoints = 8;

  InputRules(std::shared_ptr<runtime::Clock> clock,
             std::function<runtime::Duration()> doubleClickInterval);

  std::vector<InputEvent> touch(const protocol::Touch& touch, const DisplayRect& display);
  ScrollInput scroll(const protocol::Scroll& scroll, const DisplayRect& display);
  static KeyInput key(const protocol::Key& key);
  // One down/up pair per user-perceived character, carrying all its UTF-16 units.
  static std::vector<InputEvent> text(std::string_view text);
  // Lets go of a held button: its up event at the last point, if one is held there.
  std::vector<InputEvent> release();

  const std::optional<Point>& lastPoint() const { return lastPoint_; }
  void setLastPoint(Point point) { lastPoint_ = point; }

 private:
  struct Click {
    Point point;
    runtime::Clock::TimePoint time;
    std::int64_t count = 1;
  };

  std::int64_t lastCount() const { return lastClick_ ? lastClick_->count : 1; }
  std::int64_t clickCount(Point at, runtime::Clock::TimePoint now, double scale) const;
  void carry(const protocol::Touch& touch, double scale);

  std::shared_ptr<runtime::Clock> clock_;
  std::function<runtime::Duration()> doubleClickInterval_;
  std::optional<Point> lastPoint_;
  std::optional<protocol::MouseButton> down_;
  std::optional<Click> lastClick_;
  Point edgeCarry_;
  bool momentumStarted_ = false;
};

}  // namespace brindlet::session
