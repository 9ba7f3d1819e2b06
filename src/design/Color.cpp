#include "design/Color.h"

namespace brindlet::design {

// Written so that t = 0 and t = 1 give the ends exactly: a finished animation shows its target.
double mix(double from, double to, double t) {
  return from * (1 - t) + to * t;
}

Rgba mix(const Rgba& from, const Rgba& to, double t) {
  return {mix(from.r, to.r, t), mix(from.g, to.g, t), mix(from.b, to.b, t), mix(from.a, to.a, t)};
}

namespace {

struct Pair {
  Rgba light;
  Rgba dark;
};

constexpr Rgba rgb(int r, int g, int b, double a = 1) {
  return {r / 255.0, g / 255.0, b / 255.0, a};
}

Pair pairOf(SystemColor color) {
  switch (color) {
    case SystemColor::green:
      return {rgb(52, 199, 89), rgb(48, 209, 88)};
    case SystemColor::orange:
      return {rgb(255, 149, 0), rgb(255, 159, 10)};
    case SystemColor::red:
      return {rgb(255, 59, 48), rgb(255, 69, 58)};
    case SystemColor::blue:
      return {rgb(0, 122, 255), rgb(10, 132, 255)};
    case SystemColor::primaryLabel:
      return {kBlack, kWhite};
    case SystemColor::secondaryLabel:
      return {rgb(60, 60, 67, 0.6), rgb(235, 235, 245, 0.6)};
    case SystemColor::quaternaryFill:
      return {rgb(60, 60, 67, 0.18), rgb(235, 235, 245, 0.16)};
    case SystemColor::ultraThinMaterial:
      return {rgb(255, 255, 255, 0.45), rgb(255, 255, 255, 0.1)};
  }
  return {kBlack, kWhite};
}

}  // namespace

Rgba systemColor(SystemColor color, Appearance appearance) {
  Pair pair = pairOf(color);
  return appearance == Appearance::dark ? pair.dark : pair.light;
}

}  // namespace brindlet::design
