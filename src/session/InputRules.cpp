#include "session/InputRules.h"

#include <unicode/brkiter.h>
#include <unicode/unistr.h>

#include <cmath>
#include <limits>

namespace brindlet::session {
namespace {

using protocol::MouseButton;
using protocol::TouchPhase;

MouseInput mouse(MouseType type, Point at, MouseButton button, std::int64_t clickState,
                 std::optional<double> pressure = std::nullopt) {
  return MouseInput{type, at, button == MouseButton::left ? 0 : 1, clickState, pressure};
}

MouseType downType(MouseButton b) {
  return b == MouseButton::left ? MouseType::leftDown : MouseType::rightDown;
}
MouseType upType(MouseButton b) {
  return b == MouseButton::left ? MouseType::leftUp : MouseType::rightUp;
}

// The carry on one axis from the finger's normalised coordinate there.
double carried(double coordinate, double carry, double step) {
  if (coordinate <= 0.001) return carry - step;
  if (coordinate >= 0.999) return carry + step;
  return 0;
}

// Halves away from zero, then into the signed 32-bit range.
std::int32_t wheelAmount(double pixels) {
  const double rounded = std::round(pixels);
  constexpr double lowest = std::numeric_limits<std::int32_t>::min();
  constexpr double highest = std::numeric_limits<std::int32_t>::max();
  if (std::isnan(rounded)) return 0;
  return static_cast<std::int32_t>(std::clamp(rounded, lowest, highest));
}

std::uint64_t flagOf(protocol::Modifier m) {
  switch (m) {
    case protocol::Modifier::cmd:
      return kCommandFlag;
    case protocol::Modifier::opt:
      return kAlternateFlag;
    case protocol::Modifier::ctrl:
      return kControlFlag;
    case protocol::Modifier::shift:
      return kShiftFlag;
  }
  return 0;
}

}  // namespace

InputRules::InputRules(std::shared_ptr<runtime::Clock> clock,
                       std::function<runtime::Duration()> doubleClickInterval)
    : clock_(std::move(clock)), doubleClickInterval_(std::move(doubleClickInterval)) {}

void InputRules::carry(const protocol::Touch& touch, double scale) {
  const double step = kEdgeCarryPoints * scale;
  edgeCarry_ = {carried(touch.x, edgeCarry_.x, step), carried(touch.y, edgeCarry_.y, step)};
}

std::int64_t InputRules::clickCount(Point at, runtime::Clock::TimePoint now, double scale) const {
  if (!lastClick_) return 1;
  const double distance = std::hypot(at.x - lastClick_->point.x, at.y - lastClick_->point.y);
  const bool soon = now - lastClick_->time <= doubleClickInterval_();
  return soon && distance <= kClickDistancePoints * scale ? lastClick_->count + 1 : 1;
}

std::vector<InputEvent> InputRules::touch(const protocol::Touch& t, const DisplayRect& r) {
  Point at{r.minX() + t.x * r.width(), r.minY() + t.y * r.height()};
  if (t.phase == TouchPhase::moved && down_) {
    carry(t, r.scale);
    at = {at.x + edgeCarry_.x, at.y + edgeCarry_.y};
    lastPoint_ = at;
    const auto type =
        *down_ == MouseButton::left ? MouseType::leftDragged : MouseType::rightDragged;
    return {mouse(type, at, *down_, lastCount(), t.pressure)};
  }

  const bool ending = t.phase == TouchPhase::ended || t.phase == TouchPhase::cancelled;
  // A drag carried past the edge ends where the pointer last was, not back at the border.
  if (ending && edgeCarry_ != Point{} && lastPoint_) at = *lastPoint_;
  edgeCarry_ = {};
  lastPoint_ = at;

  if (t.phase == TouchPhase::moved) return {mouse(MouseType::moved, at, MouseButton::left, 1)};
  std::vector<InputEvent> events;
  if (ending) {
    if (!down_) return events;
    const auto held = std::exchange(down_, std::nullopt);
    events.push_back(mouse(upType(*held), at, *held, lastCount()));
    return events;
  }
  // A press while a button is still held: the end of the last touch was missed.
  if (down_) events.push_back(mouse(upType(*down_), at, *down_, 1));
  down_ = t.button;
  const auto now = clock_->now();
  const auto count = clickCount(at, now, r.scale);
  lastClick_ = Click{at, now, count};
  events.push_back(mouse(downType(t.button), at, t.button, count, t.pressure));
  return events;
}

ScrollInput InputRules::scroll(const protocol::Scroll& s, const DisplayRect& r) {
  ScrollInput event;
  event.wheel1 = wheelAmount(s.dy);
  event.wheel2 = wheelAmount(s.dx);
  event.location = lastPoint_ && r.contains(*lastPoint_) ? *lastPoint_ : Point{r.midX(), r.midY()};
  using protocol::ScrollPhase;
  if (!s.momentum) {
    momentumStarted_ = false;
    event.scrollPhase = s.phase == ScrollPhase::began ? 1 : s.phase == ScrollPhase::changed ? 2 : 4;
    return event;
  }
  switch (s.phase) {
    case ScrollPhase::began:
      event.momentumPhase = 1;
      break;
    case ScrollPhase::changed:
      event.momentumPhase = momentumStarted_ ? 2 : 1;
      break;
    case ScrollPhase::ended:
      event.momentumPhase = 3;
      break;
  }
  momentumStarted_ = s.phase != ScrollPhase::ended;
  return event;
}

KeyInput InputRules::key(const protocol::Key& k) {
  std::uint64_t flags = 0;
  for (auto m : k.mods) flags |= flagOf(m);
  return KeyInput{k.keyCode, k.down, flags, {}};
}

std::vector<InputEvent> InputRules::text(std::string_view text) {
  std::vector<InputEvent> events;
  const auto units = icu::UnicodeString::fromUTF8(
      icu::StringPiece(text.data(), static_cast<std::int32_t>(text.size())));
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<icu::BreakIterator> characters(
      icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
  if (U_FAILURE(status)) return events;
  characters->setText(units);
  for (auto from = characters->first(), to = characters->next(); to != icu::BreakIterator::DONE;
       from = to, to = characters->next()) {
    std::u16string character(reinterpret_cast<const char16_t*>(units.getBuffer()) + from,
                             static_cast<std::size_t>(to - from));
    events.push_back(KeyInput{0, true, 0, character});
    events.push_back(KeyInput{0, false, 0, std::move(character)});
  }
  return events;
}

std::vector<InputEvent> InputRules::release() {
  std::vector<InputEvent> events;
  if (down_ && lastPoint_) events.push_back(mouse(upType(*down_), *lastPoint_, *down_, 1));
  lastPoint_.reset();
  down_.reset();
  return events;
}

}  // namespace brindlet::session
