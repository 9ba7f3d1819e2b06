#include "session/DockPush.h"

#include <boost/asio/this_coro.hpp>
#include <boost/system/system_error.hpp>

#include "session/InputError.h"
#include "session/InputInjector.h"

namespace brindlet::session {
namespace {

constexpr int kApproachSteps = 10;
constexpr double kFirstApproachPoints = 59;
constexpr double kApproachStepPoints = 6;
constexpr int kPushes = 60;
constexpr double kPushPoints = 12;
constexpr auto kStepInterval = std::chrono::milliseconds(16);

}  // namespace

std::string_view edgeText(DockEdge edge) {
  switch (edge) {
    case DockEdge::left:
      return "left";
    case DockEdge::right:
      return "right";
    case DockEdge::bottom:
      break;
  }
  return "bottom";
}

DockEdge dockEdge(const runtime::Defaults& defaults) {
  const auto text = defaults.text("dockEdge");
  if (text == "left") return DockEdge::left;
  if (text == "right") return DockEdge::right;
  return DockEdge::bottom;
}

std::vector<PushStep> pushSteps(DockEdge edge, const DisplayRect& r) {
  // The last pixel row or column on that side, and the way out of the display there.
  Point at{r.midX(), r.maxY() - 1};
  Point out{0, 1};
  if (edge == DockEdge::left) {
    at = {r.minX(), r.midY()};
    out = {-1, 0};
  } else if (edge == DockEdge::right) {
    at = {r.maxX() - 1, r.midY()};
    out = {1, 0};
  }
  const double s = r.scale;
  std::vector<PushStep> steps;
  for (int i = 0; i < kApproachSteps; ++i) {
    const double inside = (kFirstApproachPoints - i * kApproachStepPoints) * s;
    steps.push_back({{at.x - inside * out.x, at.y - inside * out.y},
                     {kApproachStepPoints * s * out.x, kApproachStepPoints * s * out.y}});
  }
  for (int i = 0; i < kPushes; ++i)
    steps.push_back({at, {kPushPoints * s * out.x, kPushPoints * s * out.y}});
  return steps;
}

boost::asio::awaitable<void> InputInjector::pushDock(DisplayRect display) {
  if (!poster_.isTrusted()) throw InputError::noAccessibility();
  // A second press while the pointer is on its way would interleave two pushes, and the first
  // to end would let touches through under the other.
  if (pushingDock_) co_return;
  pushingDock_ = true;
  // Also when the push's task goes before its end.
  struct Done {
    bool& flag;
    ~Done() { flag = false; }
  } done{pushingDock_};
  const auto edge = dockEdge(defaults_);
  const auto steps = pushSteps(edge, display);
  for (const auto& step : steps) {
    const InputEvent move = MouseInput{MouseType::moved,
                                       step.point,
                                       0,
                                       1,
                                       std::nullopt,
                                       static_cast<std::int64_t>(step.delta.x),
                                       static_cast<std::int64_t>(step.delta.y)};
    post({&move, 1});
    try {
      co_await clock_->sleep(kStepInterval);
    } catch (const boost::system::system_error&) {
      // A cancelled wait does not stop the push: the next step follows at once.
    }
  }
  rules_.setLastPoint(steps.back().point);
  const std::string text(edgeText(edge));
  log_.info("Pushed the pointer into the %s edge to bring the Dock over", text.c_str());
}

}  // namespace brindlet::session
