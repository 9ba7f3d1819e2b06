#include "design/DeckDesign.h"

#include <atomic>
#include <mutex>

#include "runtime/Defaults.h"

namespace brindlet::design {

const Spring& DeckDesign::spring() {
  static const Spring value{0.45, 0.85};
  return value;
}

const Animation& DeckDesign::animation() {
  static const Animation value{spring(), 0};
  return value;
}

namespace {

constexpr std::array<std::string_view, 4> kRingRaw = {"none", "good", "warning", "critical"};
constexpr std::array<std::string_view, 2> kStyleRaw = {"litGlass", "classic"};

}  // namespace

std::string_view KeyRing::rawValue() const {
  return kRingRaw[value_];
}

std::optional<KeyRing> KeyRing::fromRaw(std::string_view raw) {
  for (KeyRing ring : allCases())
    if (ring.rawValue() == raw) return ring;
  return std::nullopt;
}

std::optional<SystemColor> KeyRing::color() const {
  switch (value_) {
    case none:
      return std::nullopt;
    case good:
      return SystemColor::green;
    case warning:
      return SystemColor::orange;
    case critical:
      return SystemColor::red;
  }
  return std::nullopt;
}

std::string_view KeyRing::accessibilityValue() const {
  return value_ == none ? std::string_view() : rawValue();
}

std::string_view IconStyle::rawValue() const {
  return kStyleRaw[value_];
}

std::optional<IconStyle> IconStyle::fromRaw(std::string_view raw) {
  if (raw == kStyleRaw[litGlass]) return IconStyle(litGlass);
  if (raw == kStyleRaw[classic]) return IconStyle(classic);
  return std::nullopt;
}

IconStyle IconStyle::forDefault(const std::optional<std::string>& text) {
  return text && *text == "classic" ? classic : litGlass;
}

namespace {

std::once_flag styleRead;
IconStyle readStyle;
std::atomic<bool> styleKnown{false};

}  // namespace

IconStyle IconStyle::current(const runtime::Defaults& defaults) {
  std::call_once(styleRead, [&] {
    readStyle = forDefault(defaults.text("VelvaneIconStyle"));
    styleKnown.store(true, std::memory_order_release);
  });
  return readStyle;
}

IconStyle IconStyle::current() {
  return styleKnown.load(std::memory_order_acquire) ? readStyle : IconStyle(litGlass);
}

}  // namespace brindlet::design
