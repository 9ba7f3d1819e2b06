#include "platform/linux/x11/RandrDisplayBackend.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <set>

#include <boost/asio/post.hpp>
#include <boost/asio/this_coro.hpp>

#include "desktop/DesktopError.h"
#include "platform/linux/x11/RandrLeftovers.h"
#include "platform/linux/x11/RandrResources.h"
#include "platform/linux/x11/X11Connection.h"
#include "runtime/Log.h"
#include "streaming/DisplayError.h"

namespace brindlet::platform {

using boost::asio::awaitable;
using streaming::DisplayError;
using streaming::DisplayMode;
using streaming::VirtualDisplayAvailability;
using streaming::VirtualDisplayConfig;

ModeTimings cvtTimings(std::uint32_t width, std::uint32_t height, double refreshRate) {
  constexpr double kMinVSyncBackPorch = 550;  // microseconds
  constexpr std::uint32_t kMinVPorch = 3, kMinVBackPorch = 6, kCell = 8;
  constexpr double kBlankingC = 30, kBlankingM = 300, kClockStep = 0.25;  // MHz
  // The sync width tells the aspect ratio to a sink that reads it.
  const std::uint32_t vSync = [&]() -> std::uint32_t {
    const auto is = [&](std::uint32_t a, std::uint32_t b) { return height * a == width * b; };
    if (is(4, 3)) return 4;
    if (is(16, 9)) return 5;
    if (is(16, 10)) return 6;
    if (is(5, 4) || is(15, 9)) return 7;
    return 10;
  }();
  const double hPeriod =
      (1e6 / refreshRate - kMinVSyncBackPorch) / (height + kMinVPorch);  // microseconds
  std::uint32_t vSyncBackPorch = static_cast<std::uint32_t>(kMinVSyncBackPorch / hPeriod) + 1;
  vSyncBackPorch = std::max(vSyncBackPorch, vSync + kMinVBackPorch);
  const double dutyCycle = std::max(20.0, kBlankingC - kBlankingM * hPeriod / 1000);
  const std::uint32_t cellWidth = width - width % kCell;
  const std::uint32_t hBlank =
      static_cast<std::uint32_t>(cellWidth * dutyCycle / (100 - dutyCycle) / (2 * kCell)) * 2 *
      kCell;
  ModeTimings t;
  t.width = width;
  t.height = height;
  t.hTotal = width + hBlank;
  const double clock = std::floor(t.hTotal / hPeriod / kClockStep) * kClockStep;
  t.dotClock = static_cast<std::uint64_t>(std::llround(clock * 1e6));
  const std::uint32_t hSync = static_cast<std::uint32_t>(0.08 * t.hTotal / kCell) * kCell;
  t.hSyncEnd = width + hBlank / 2;
  t.hSyncStart = t.hSyncEnd - hSync;
  t.vSyncStart = height + kMinVPorch;
  t.vSyncEnd = t.vSyncStart + vSync;
  t.vTotal = height + vSyncBackPorch + kMinVPorch;
  return t;
}

using namespace randr;

namespace {

const runtime::Logger& logger() {
  return runtime::Logger::of("display");
}

// What the backend changed for one display, to be undone when it goes.
struct Lit {
  RRMode mode = 0;
  Atom monitor = 0;
  int screenWidth = 0, screenHeight = 0, screenMmWidth = 0, screenMmHeight = 0;
  unsigned long litSince = 0;  // events of earlier requests show the output before it was lit
  bool terminated = false;
};

const XRRModeInfo* findMode(XRRScreenResources* res, RRMode mode) {
  for (int i = 0; i < res->nmode; ++i)
    if (res->modes[i].id == mode) return &res->modes[i];
  return nullptr;
}

struct Spare {
  RROutput output = 0;
  RRCrtc crtc = 0;
};

// An output without a CRTC that a free CRTC can drive.
Spare findSpare(Display* d, XRRScreenResources* res) {
  for (int i = 0; i < res->noutput; ++i) {
    OutputInfo info(XRRGetOutputInfo(d, res, res->outputs[i]));
    if (!info || info->crtc != 0) continue;
    for (int c = 0; c < info->ncrtc; ++c) {
      CrtcInfo crtc(XRRGetCrtcInfo(d, res, info->crtcs[c]));
      if (crtc && crtc->noutput == 0 && crtc->mode == 0) return {res->outputs[i], info->crtcs[c]};
    }
  }
  return {};
}

// The right edge of everything lit.
int rightEdge(Display* d, XRRScreenResources* res) {
  int edge = 0;
  for (int i = 0; i < res->ncrtc; ++i) {
    CrtcInfo crtc(XRRGetCrtcInfo(d, res, res->crtcs[i]));
    if (crtc && crtc->mode != 0) edge = std::max(edge, crtc->x + static_cast<int>(crtc->width));
  }
  return edge;
}

void setMillimetres(Display* d, RROutput output, const char* name, long value) {
  const Atom atom = XInternAtom(d, name, False);
  XRRPropertyInfo* info = XRRQueryOutputProperty(d, output, atom);
  if (!info) return;  // the driver has no such property
  XFree(info);
  XRRChangeOutputProperty(d, output, atom, XA_INTEGER, 32, PropModeReplace,
                          reinterpret_cast<unsigned char*>(&value), 1);
}

}  // namespace

struct RandrDisplayBackend::Inner {
  boost::asio::any_io_executor owner;
  TerminationHandler terminated;  // owner's loop only
  // The worker's own.
  std::map<RROutput, Lit> lit;
  int eventBase = 0;
  // Last, so that it goes first: it closes on the worker after every removal posted before.
  std::unique_ptr<X11Connection> connection;

  void watch(std::weak_ptr<Inner> self);
  void onEvent(XEvent& event, const std::weak_ptr<Inner>& self);
  VirtualDisplayAvailability probe(Display* d) const;
  std::uint32_t create(Display* d, const VirtualDisplayConfig& config);
  void remove(Display* d, RROutput output);
  // Clears what an earlier run left, keeping this run's displays; waits for the server.
  void reclaim(Display* d) const;
};

void RandrDisplayBackend::Inner::reclaim(Display* d) const {
  std::set<RRMode> modes;
  std::set<Atom> monitors;
  for (const auto& [output, l] : lit) {
    modes.insert(l.mode);
    monitors.insert(l.monitor);
  }
  reclaimLeftovers(d, modes, monitors);
  XSync(d, False);
}

VirtualDisplayAvailability RandrDisplayBackend::Inner::probe(Display* d) const {
  int major = 0, minor = 0;
  if (!XRRQueryVersion(d, &major, &minor) || major < 1 || (major == 1 && minor < 5)) {
    return VirtualDisplayAvailability::unavailable("RandR 1.5 is missing");
  }
  Resources res = resources(d);
  if (!res || findSpare(d, res.p).output == 0) {
    return VirtualDisplayAvailability::unavailable("No spare RandR output");
  }
  return VirtualDisplayAvailability::available();
}

std::uint32_t RandrDisplayBackend::Inner::create(Display* d, const VirtualDisplayConfig& config) {
  const Window root = rootOf(d);
  Resources res = resources(d);
  const Spare spare = res ? findSpare(d, res.p) : Spare{};
  if (spare.output == 0) throw DisplayError::creationFailed();

  const ModeTimings t = cvtTimings(config.pointWidth * config.scale,
                                   config.pointHeight * config.scale, config.refreshRate);
  const std::string name = randrModeName(config.name, t.width, t.height, spare.output);
  XRRModeInfo info{};
  info.width = t.width;
  info.height = t.height;
  info.dotClock = t.dotClock;
  info.hSyncStart = t.hSyncStart;
  info.hSyncEnd = t.hSyncEnd;
  info.hTotal = t.hTotal;
  info.vSyncStart = t.vSyncStart;
  info.vSyncEnd = t.vSyncEnd;
  info.vTotal = t.vTotal;
  info.name = const_cast<char*>(name.c_str());
  info.nameLength = static_cast<unsigned int>(name.size());
  info.modeFlags = RR_HSyncNegative | RR_VSyncPositive;

  Lit lit;
  const int screen = DefaultScreen(d);
  lit.screenWidth = DisplayWidth(d, screen);
  lit.screenHeight = DisplayHeight(d, screen);
  lit.screenMmWidth = DisplayWidthMM(d, screen);
  lit.screenMmHeight = DisplayHeightMM(d, screen);
  const int x = rightEdge(d, res.p);
  const int width = std::max(lit.screenWidth, x + static_cast<int>(t.width));
  const int height = std::max(lit.screenHeight, static_cast<int>(t.height));
  int minWidth = 0, minHeight = 0, maxWidth = 0, maxHeight = 0;
  if (!XRRGetScreenSizeRange(d, root, &minWidth, &minHeight, &maxWidth, &maxHeight))
    throw DisplayError::creationFailed();
  if (width > maxWidth || height > maxHeight) throw DisplayError::settingsRejected();

  lit.mode = XRRCreateMode(d, root, &info);
  if (lit.mode == 0) throw DisplayError::creationFailed();
  XRRAddOutputMode(d, spare.output, lit.mode);
  // Registered before the first change that can fail, so that a failure is undone in full.
  this->lit[spare.output] = lit;
  // The screen keeps its pixel density as it grows.
  XRRSetScreenSize(d, root, width, height,
                   lit.screenWidth ? lit.screenMmWidth * width / lit.screenWidth : 0,
                   lit.screenHeight ? lit.screenMmHeight * height / lit.screenHeight : 0);
  RROutput output = spare.output;
  Resources fresh = resources(d);
  if (!fresh) {
    // No answer: the connection went while the screen grew.
    remove(d, spare.output);
    throw DisplayError::creationFailed();
  }
  if (XRRSetCrtcConfig(d, fresh.p, spare.crtc, CurrentTime, x, 0, lit.mode, RR_Rotate_0, &output,
                       1) != RRSetConfigSuccess) {
    remove(d, spare.output);
    throw DisplayError::settingsRejected();
  }
  this->lit[output].litSince = NextRequest(d);
  const double mmWidth = config.pointWidth * 25.4 / 160;
  const double mmHeight = config.pointHeight * 25.4 / 160;
  setMillimetres(d, output, "WIDTH_MM", std::lround(mmWidth));
  setMillimetres(d, output, "HEIGHT_MM", std::lround(mmHeight));
  XRRMonitorInfo* monitor = XRRAllocateMonitor(d, 1);
  monitor->name = XInternAtom(d, config.name.c_str(), False);
  monitor->primary = False;
  monitor->automatic = False;
  monitor->x = x;
  monitor->y = 0;
  monitor->width = static_cast<int>(t.width);
  monitor->height = static_cast<int>(t.height);
  monitor->mwidth = static_cast<int>(std::lround(mmWidth));
  monitor->mheight = static_cast<int>(std::lround(mmHeight));
  monitor->outputs[0] = output;
  XRRSetMonitor(d, root, monitor);
  this->lit[output].monitor = monitor->name;
  XRRFreeMonitors(monitor);
  return static_cast<std::uint32_t>(output);
}

void RandrDisplayBackend::Inner::remove(Display* d, RROutput output) {
  auto found = lit.find(output);
  if (found == lit.end()) return;
  const Lit l = found->second;
  lit.erase(found);  // our own switching off is no termination
  const Window root = rootOf(d);
  if (l.monitor != 0) XRRDeleteMonitor(d, root, l.monitor);
  Resources res = resources(d);
  if (!res) return;
  if (RRCrtc crtc = litCrtc(d, res.p, output)) {
    XRRSetCrtcConfig(d, res.p, crtc, CurrentTime, 0, 0, 0, RR_Rotate_0, nullptr, 0);
  }
  XRRDeleteOutputMode(d, output, l.mode);
  XRRDestroyMode(d, l.mode);
  // Back to the size before, unless what is still lit needs more.
  fitScreen(d, l.screenWidth, l.screenHeight,
            {l.screenWidth, l.screenHeight, l.screenMmWidth, l.screenMmHeight});
}

void RandrDisplayBackend::Inner::onEvent(XEvent& event, const std::weak_ptr<Inner>& self) {
  if (event.type != eventBase + RRNotify) return;
  const auto& notify = reinterpret_cast<XRRNotifyEvent&>(event);
  if (notify.subtype != RRNotify_OutputChange) return;
  const auto& change = reinterpret_cast<XRROutputChangeNotifyEvent&>(event);
  auto found = lit.find(change.output);
  if (found == lit.end() || found->second.terminated || change.crtc != 0 ||
      change.serial < found->second.litSince) {
    return;
  }
  found->second.terminated = true;
  const auto id = static_cast<std::uint32_t>(change.output);
  boost::asio::post(owner, [self, id] {
    auto inner = self.lock();
    if (inner && inner->terminated) inner->terminated(id);
  });
}

void RandrDisplayBackend::Inner::watch(std::weak_ptr<Inner> self) {
  Display* d = connection->display();
  int errorBase = 0;
  XRRQueryExtension(d, &eventBase, &errorBase);
  XRRSelectInput(d, rootOf(d), RROutputChangeNotifyMask | RRCrtcChangeNotifyMask);
  connection->setEventHandler([this, self](XEvent& e) { onEvent(e, self); }, {});
}

namespace {

// The display's handle: dropping it undoes everything on the worker.
class RandrHandle : public streaming::DisplayHandle {
 public:
  RandrHandle(std::shared_ptr<RandrDisplayBackend::Inner> inner, std::uint32_t id)
      : inner_(std::move(inner)), id_(id) {}
  ~RandrHandle() override {
    RandrDisplayBackend::Inner* inner = inner_.get();
    const RROutput output = id_;
    boost::asio::post(inner->connection->worker(), [inner, output] {
      Display* d = inner->connection->display();
      if (!d || inner->connection->isLost()) return;
      const unsigned long serial = inner->connection->nextSerial();
      inner->remove(d, output);
      XSync(d, False);
      if (!inner->connection->errorsSince(serial).empty())
        logger().error("RandR display removal failed for %u", static_cast<unsigned>(output));
    });
  }
  std::uint32_t id() const override { return id_; }

 private:
  std::shared_ptr<RandrDisplayBackend::Inner> inner_;
  std::uint32_t id_;
};

}  // namespace

awaitable<std::shared_ptr<RandrDisplayBackend>> RandrDisplayBackend::open(std::string display) {
  auto inner = std::make_shared<Inner>();
  inner->owner = co_await boost::asio::this_coro::executor;
  try {
    inner->connection = co_await X11Connection::open(display, "randr");
    std::weak_ptr<Inner> weak = inner;
    Inner* raw = inner.get();
    auto watch = [raw, weak](Display* d) {
      raw->watch(weak);
      raw->reclaim(d);
    };
    co_await inner->connection->call(std::move(watch));
  } catch (const desktop::DesktopError&) {
    inner->connection.reset();
  }
  co_return std::shared_ptr<RandrDisplayBackend>(new RandrDisplayBackend(std::move(inner)));
}

RandrDisplayBackend::RandrDisplayBackend(std::shared_ptr<Inner> inner) : inner_(std::move(inner)) {}
RandrDisplayBackend::~RandrDisplayBackend() = default;

awaitable<VirtualDisplayAvailability> RandrDisplayBackend::probe() {
  if (!inner_->connection)
    co_return VirtualDisplayAvailability::unavailable("X display is missing");
  Inner* inner = inner_.get();
  auto probe = [inner](Display* d) { return inner->probe(d); };
  try {
    co_return co_await inner_->connection->call(std::move(probe));
  } catch (const desktop::DesktopError&) {
    co_return VirtualDisplayAvailability::unavailable("X display is missing");
  }
}

awaitable<std::unique_ptr<streaming::DisplayHandle>> RandrDisplayBackend::create(
    VirtualDisplayConfig config) {
  if (!inner_->connection) throw DisplayError::creationFailed();
  Inner* inner = inner_.get();
  auto make = [inner, config](Display* d) -> std::uint32_t {
    inner->reclaim(d);
    const unsigned long serial = inner->connection->nextSerial();
    const std::uint32_t id = inner->create(d, config);
    XSync(d, False);
    if (inner->connection->errorsSince(serial).empty()) return id;
    inner->remove(d, id);
    throw DisplayError::creationFailed();
  };
  std::uint32_t id = 0;
  try {
    id = co_await inner_->connection->call(std::move(make));
  } catch (const desktop::DesktopError&) {
    throw DisplayError::creationFailed();
  } catch (const DisplayError&) {
    // A step refused only because the server had gone is no verdict on the settings.
    if (inner_->connection->isLost()) throw DisplayError::creationFailed();
    throw;
  }
  co_return std::make_unique<RandrHandle>(inner_, id);
}

awaitable<std::vector<std::uint32_t>> RandrDisplayBackend::activeDisplayIds() {
  if (!inner_->connection) co_return std::vector<std::uint32_t>{};
  auto list = [](Display* d) {
    std::vector<std::uint32_t> ids;
    Resources res = resources(d);
    for (int i = 0; res && i < res->noutput; ++i)
      if (litCrtc(d, res.p, res->outputs[i]) != 0)
        ids.push_back(static_cast<std::uint32_t>(res->outputs[i]));
    return ids;
  };
  try {
    co_return co_await inner_->connection->call(std::move(list));
  } catch (const desktop::DesktopError&) {
    co_return std::vector<std::uint32_t>{};
  }
}

awaitable<bool> RandrDisplayBackend::isReady(std::uint32_t id) {
  if (!inner_->connection) co_return false;
  auto ready = [id](Display* d) {
    Resources res = resources(d);
    if (!res || litCrtc(d, res.p, id) == 0) return false;
    int count = 0;
    XRRMonitorInfo* monitors = XRRGetMonitors(d, rootOf(d), True, &count);
    bool listed = false;
    for (int m = 0; m < count; ++m)
      for (int o = 0; o < monitors[m].noutput; ++o)
        if (monitors[m].outputs[o] == id) listed = true;
    if (monitors) XRRFreeMonitors(monitors);
    return listed;
  };
  try {
    co_return co_await inner_->connection->call(std::move(ready));
  } catch (const desktop::DesktopError&) {
    co_return false;
  }
}

awaitable<std::optional<DisplayMode>> RandrDisplayBackend::currentMode(std::uint32_t id) {
  if (!inner_->connection) co_return std::nullopt;
  auto current = [id](Display* d) -> std::optional<DisplayMode> {
    Resources res = resources(d);
    const RRCrtc crtc = res ? litCrtc(d, res.p, id) : 0;
    if (crtc == 0) return std::nullopt;
    CrtcInfo info(XRRGetCrtcInfo(d, res.p, crtc));
    if (!info) return std::nullopt;
    return DisplayMode{info->mode, info->width, info->height};
  };
  try {
    co_return co_await inner_->connection->call(std::move(current));
  } catch (const desktop::DesktopError&) {
    co_return std::nullopt;
  }
}

awaitable<std::vector<DisplayMode>> RandrDisplayBackend::modes(std::uint32_t id) {
  if (!inner_->connection) co_return std::vector<DisplayMode>{};
  auto list = [id](Display* d) {
    std::vector<DisplayMode> modes;
    Resources res = resources(d);
    OutputInfo info(res ? XRRGetOutputInfo(d, res.p, id) : nullptr);
    for (int i = 0; info && i < info->nmode; ++i)
      if (const XRRModeInfo* mode = findMode(res.p, info->modes[i]))
        modes.push_back({mode->id, mode->width, mode->height});
    return modes;
  };
  try {
    co_return co_await inner_->connection->call(std::move(list));
  } catch (const desktop::DesktopError&) {
    co_return std::vector<DisplayMode>{};
  }
}

awaitable<int> RandrDisplayBackend::setMode(std::uint32_t id, DisplayMode mode) {
  if (!inner_->connection) co_return RRSetConfigFailed;
  auto set = [id, mode](Display* d) -> int {
    Resources res = resources(d);
    const RRCrtc crtc = res ? litCrtc(d, res.p, id) : 0;
    if (crtc == 0) return RRSetConfigFailed;
    CrtcInfo info(XRRGetCrtcInfo(d, res.p, crtc));
    if (!info) return RRSetConfigFailed;
    RROutput output = id;
    return XRRSetCrtcConfig(d, res.p, crtc, CurrentTime, info->x, info->y, mode.id, info->rotation,
                            &output, 1);
  };
  try {
    co_return co_await inner_->connection->call(std::move(set));
  } catch (const desktop::DesktopError&) {
    co_return RRSetConfigFailed;
  }
}

void RandrDisplayBackend::onTermination(TerminationHandler handler) {
  inner_->terminated = std::move(handler);
}

}  // namespace brindlet::platform
