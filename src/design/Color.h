#pragma once

// Colours of the design kit as plain sRGB values, so that looks can be computed and tested
// without a paint device.

namespace brindlet::design {

// An sRGB colour with straight (not premultiplied) alpha, every channel in [0, 1].
struct Rgba {
  double r = 0, g = 0, b = 0, a = 1;
  Rgba withAlpha(double alpha) const { return {r, g, b, alpha}; }
  friend bool operator==(const Rgba&, const Rgba&) = default;
};

// Linear blend of two colours, channel by channel: t 0 gives `from`, 1 gives `to`.
Rgba mix(const Rgba& from, const Rgba& to, double t);
double mix(double from, double to, double t);

enum class Appearance { light, dark };

// The named system colours: one fixed sRGB value for the light and one for the dark appearance.
enum class SystemColor {
  green,
  orange,
  red,
  blue,              // the accent, the default tint of fills
  primaryLabel,      // text and symbols
  secondaryLabel,    // quieter text
  quaternaryFill,    // tracks and wells
  ultraThinMaterial  // the translucent fill that stands in for a blurred material
};

Rgba systemColor(SystemColor color, Appearance appearance);

inline constexpr Rgba kWhite{1, 1, 1, 1};
inline constexpr Rgba kBlack{0, 0, 0, 1};
inline constexpr Rgba kClear{0, 0, 0, 0};

}  // namespace brindlet::design
