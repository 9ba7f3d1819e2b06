#pragma once

// Springs as the kit's animations describe them (a response time and a damping fraction), turned
// into a damped oscillator of unit mass that moves from 0 to 1.

namespace brindlet::design {

struct Spring {
  double response = 0.5;         // seconds per undamped oscillation
  double dampingFraction = 1.0;  // 1 is critically damped, below 1 overshoots

  // Where the spring stands t seconds after it was let go from 0 towards 1 at rest.
  double progress(double t) const;
  // The time after which the spring stays within 0.001 of its target.
  double settlingTime() const;
  friend bool operator==(const Spring&, const Spring&) = default;
};

struct Animation {
  Spring spring;
  double blendDuration = 0;
  friend bool operator==(const Animation&, const Animation&) = default;
};

// One animated number: from `from` at `start` towards `to` along `spring` (times in seconds).
struct Motion {
  Spring spring;
  double from = 0;
  double to = 0;
  double start = 0;

  // Exactly `to` once the spring has settled.
  double value(double now) const;
  bool settled(double now) const { return now - start >= spring.settlingTime(); }
  // Heads for a new target from wherever the value stands now.
  void retarget(double target, double now);
};

}  // namespace brindlet::design
