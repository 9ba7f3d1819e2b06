#pragma once

#include <cstdint>
#include <vector>

#include "desktop/SyntheticEvent.h"
#include "session/InputEvent.h"

namespace brindlet::session {

// Maps input events onto what X can deliver. X has no carrier for click state, pressure,
// momentum or pixel deltas (its toolkits count clicks by time and distance themselves), so those
// are left out; pixel scrolling becomes wheel clicks, each worth kPixelsPerClick pixels per axis,
// the remainder kept for the next scroll of the same gesture.
class InputMapping {
 public:
  static constexpr std::int64_t kPixelsPerClick = 15;
  // Wheel clicks one scroll message may post per axis: each is a press and a release to send,
  // and a phone must not keep the display busy for minutes with one message.
  static constexpr std::int64_t kMaxClicksPerScroll = 100;

  std::vector<desktop::SyntheticEvent> map(const InputEvent& event);

 private:
  std::int64_t clicks(std::int64_t& pixels, std::int32_t amount);

  std::int64_t verticalPixels_ = 0;
  std::int64_t horizontalPixels_ = 0;
};

}  // namespace brindlet::session
