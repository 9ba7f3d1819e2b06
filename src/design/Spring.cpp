#include "design/Spring.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace brindlet::design {

namespace {

// The distance from the target, at most, after t seconds: the oscillation's envelope.
double envelope(const Spring& s, double t) {
  const double w0 = 2 * std::numbers::pi / s.response;
  const double zeta = s.dampingFraction;
  if (zeta >= 1) return (1 + w0 * t) * std::exp(-w0 * t);
  const double wd = w0 * std::sqrt(1 - zeta * zeta);
  return std::hypot(1.0, zeta * w0 / wd) * std::exp(-zeta * w0 * t);
}

}  // namespace

double Spring::progress(double t) const {
  if (t <= 0) return 0;
  if (response <= 0) return 1;
  const double w0 = 2 * std::numbers::pi / response;
  const double zeta = std::max(dampingFraction, 0.0);
  if (zeta >= 1) {
    // Critically (or over-) damped springs are taken as critically damped: no overshoot.
    return 1 - (1 + w0 * t) * std::exp(-w0 * t);
  }
  const double wd = w0 * std::sqrt(1 - zeta * zeta);
  const double decay = std::exp(-zeta * w0 * t);
  return 1 - decay * (std::cos(wd * t) + zeta * w0 / wd * std::sin(wd * t));
}

double Spring::settlingTime() const {
  if (response <= 0) return 0;
  double t = 0;
  // An undamped spring never settles; it is cut off after a hundred oscillations.
  while (envelope(*this, t) > 0.001 && t < 100 * response) t += response / 100;
  return t;
}

double Motion::value(double now) const {
  if (settled(now)) return to;
  return from + (to - from) * spring.progress(now - start);
}

void Motion::retarget(double target, double now) {
  from = value(now);
  to = target;
  start = now;
}

}  // namespace brindlet::design
