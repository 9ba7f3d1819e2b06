#pragma once

// The kit's shared values: the product's name, the shared spring, the ring state of keys and
// icons, and the two looks of a deck icon.

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "design/Color.h"
#include "design/Spring.h"

namespace brindlet::runtime {
class Defaults;
}

namespace brindlet::design {

struct DeckDesign {
  static constexpr std::string_view productName = "Brindlet";
  static constexpr double cornerRadius = 12;  // points; offered to hosts
  // The same value on every call, built on the first.
  static const Spring& spring();
  static const Animation& animation();
};

// The state ring drawn around an icon or a key.
class KeyRing {
 public:
  enum Value : std::uint8_t { none, good, warning, critical };
  constexpr KeyRing(Value value = none) : value_(value) {}
  constexpr operator Value() const { return value_; }

  std::string_view rawValue() const;
  // Exactly the four raw values, case-sensitively; nothing for any other text.
  static std::optional<KeyRing> fromRaw(std::string_view raw);
  static constexpr std::array<KeyRing, 4> allCases() { return {none, good, warning, critical}; }
  // Green, orange or red; nothing for `none`, which draws no ring.
  std::optional<SystemColor> color() const;
  // Empty for `none`, else the raw value.
  std::string_view accessibilityValue() const;

 private:
  Value value_;
};

// The two looks of a deck icon's tile.
class IconStyle {
 public:
  enum Value : std::uint8_t { litGlass, classic };
  constexpr IconStyle(Value value = litGlass) : value_(value) {}
  constexpr operator Value() const { return value_; }

  std::string_view rawValue() const;
  static std::optional<IconStyle> fromRaw(std::string_view raw);
  // The style a stored "VelvaneIconStyle" text asks for: `classic` for exactly "classic", else
  // `litGlass` (also when there is no text).
  static IconStyle forDefault(const std::optional<std::string>& text);
  // The style of this process: read from `defaults` on the first call; every later call returns
  // that first answer, so a changed default shows at the next launch.
  static IconStyle current(const runtime::Defaults& defaults);
  // The style read by the first `current(defaults)`, or `litGlass` when nobody has read it yet.
  static IconStyle current();

 private:
  Value value_;
};

}  // namespace brindlet::design

template <>
struct std::hash<brindlet::design::KeyRing> {
  std::size_t operator()(brindlet::design::KeyRing ring) const {
    return std::hash<std::string_view>()(ring.rawValue());
  }
};

template <>
struct std::hash<brindlet::design::IconStyle> {
  std::size_t operator()(brindlet::design::IconStyle style) const {
    return std::hash<std::string_view>()(style.rawValue());
  }
};
