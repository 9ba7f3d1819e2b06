#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "design/DeckKeyView.h"
#include "design/LatencyBadge.h"

namespace brindlet::design {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
const double kNaN = std::nan("");
constexpr double k2To63 = 9223372036854775808.0;

TEST(DeckSliderLook, ValueText) {
  const struct {
    double value;
    const char* text;
  } rows[] = {{3, "3"},
              {-0.0, "0"},
              {0.5, "0.5"},
              {-1.25, "-1.2"},
              {kNaN, "nan"},
              {1e15, "1000000000000000"},
              {-k2To63, "-9223372036854775808"},
              // Beyond a 64-bit integer the decimal form stays: no undefined conversion.
              {k2To63, "9223372036854775808.0"},
              {kInf, "inf"}};
  for (const auto& row : rows)
    EXPECT_EQ(DeckSliderView::valueText(row.value), row.text) << row.value;
}

TEST(DeckSliderLook, FractionThumbFillDragAndAdjust) {
  const struct {
    double value, lower, upper, width;
    double fraction, thumbCentre, fill;
  } rows[] = {{5, 0, 10, 300, 0.5, 150, 150},  {0, 0, 10, 300, 0, 14, 8},
              {10, 0, 10, 300, 1, 286, 300},   {12, 0, 10, 300, 1.2, 340.4, 360},
              {-5, 0, 10, 300, -0.5, -122, 8}, {5, 5, 5, 300, 0, 14, 8},
              {0.25, 0, 1, 200, 0.25, 57, 50}};
  for (const auto& row : rows) {
    const double f = DeckSliderView::fraction(row.value, row.lower, row.upper);
    EXPECT_DOUBLE_EQ(f, row.fraction) << row.value;
    EXPECT_NEAR(14 + DeckSliderView::thumbX(f, row.width), row.thumbCentre, 1e-9) << row.value;
    EXPECT_NEAR(DeckSliderView::fillWidth(f, row.width), row.fill, 1e-9) << row.value;
  }
  const struct {
    double x, width, lower, upper, value;
  } drags[] = {{0.5, 0.5, 0, 10, 5}, {0.3, 0, 0, 10, 3}};  // the widget tests drag the others
  for (const auto& d : drags)
    EXPECT_DOUBLE_EQ(DeckSliderView::dragValue(d.x, d.width, d.lower, d.upper), d.value) << d.x;
  const struct {
    double value, lower, upper;
    bool increment;
    double result;
  } steps[] = {{5, 0, 10, true, 5.5}, {5, 5, 5, true, 5}, {20, 0, 10, false, 10}};
  for (const auto& s : steps)
    EXPECT_DOUBLE_EQ(DeckSliderView::adjusted(s.value, s.lower, s.upper, s.increment), s.result)
        << s.value;
}

TEST(LatencyBadgeLook, LevelAndText) {
  using Level = LatencyBadge::Level;
  const struct {
    double ms;
    Level level;
    const char* text;
  } rows[] = {{0, Level::good, "0 ms"},
              {39.9, Level::good, "40 ms"},
              {40, Level::fair, "40 ms"},
              {79.5, Level::fair, "80 ms"},
              {80, Level::poor, "80 ms"},
              {-3, Level::good, "-3 ms"},
              {1e18, Level::poor, "1000000000000000000 ms"},
              // Nothing a whole count of milliseconds can say: a dash, and poor.
              {kNaN, Level::poor, "\u2014 ms"},
              {kInf, Level::poor, "\u2014 ms"},
              {k2To63, Level::poor, "\u2014 ms"}};
  for (const auto& row : rows) {
    EXPECT_EQ(LatencyBadge::level(row.ms), row.level) << row.ms;
    EXPECT_EQ(LatencyBadge::text(row.ms), row.text) << row.ms;
  }
}

}  // namespace
}  // namespace brindlet::design
