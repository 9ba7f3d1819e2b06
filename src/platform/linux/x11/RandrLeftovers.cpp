#include "platform/linux/x11/RandrLeftovers.h"

#include <algorithm>
#include <cctype>
#include <future>
#include <memory>
#include <thread>
#include <vector>

#include "platform/linux/x11/RandrResources.h"
#include "platform/linux/x11/X11Connection.h"
#include "runtime/Log.h"
#include "runtime/Thread.h"
#include "streaming/VirtualDisplay.h"

namespace brindlet::platform {

using namespace randr;

namespace {

const runtime::Logger& logger() {
  return runtime::Logger::of("display");
}

bool isNumber(std::string_view text) {
  return !text.empty() &&
         std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c); });
}

// What comes before the last space, and the text after it.
std::pair<std::string_view, std::string_view> splitLast(std::string_view text) {
  const auto space = text.rfind(' ');
  if (space == std::string_view::npos) return {{}, text};
  return {text.substr(0, space), text.substr(space + 1)};
}

std::string atomName(Display* d, Atom atom) {
  char* name = XGetAtomName(d, atom);
  std::string text = name ? name : "";
  if (name) XFree(name);
  return text;
}

std::string outputName(Display* d, XRRScreenResources* res, RROutput output) {
  OutputInfo info(XRRGetOutputInfo(d, res, output));
  return info ? std::string(info->name, static_cast<std::size_t>(info->nameLen)) : "";
}

// The outputs of monitors someone else named: never touched. Automatic monitors, named after
// their output, are the server's stand-ins for outputs without one and name nothing.
std::set<RROutput> foreignOutputs(Display* d, XRRMonitorInfo* monitors, int count,
                                  const std::set<Atom>& keep) {
  std::set<RROutput> foreign;
  for (int m = 0; m < count; ++m) {
    const XRRMonitorInfo& monitor = monitors[m];
    if (monitor.automatic || keep.contains(monitor.name) ||
        streaming::isOurDisplayName(atomName(d, monitor.name)))
      continue;
    foreign.insert(monitor.outputs, monitor.outputs + monitor.noutput);
  }
  return foreign;
}

// Deletes our monitors; the outputs of the others.
std::set<RROutput> deleteMonitors(Display* d, const std::set<Atom>& keep) {
  int count = 0;
  XRRMonitorInfo* monitors = XRRGetMonitors(d, rootOf(d), False, &count);
  std::set<RROutput> foreign = foreignOutputs(d, monitors, count, keep);
  std::vector<Atom> ours;
  for (int m = 0; m < count; ++m) {
    const Atom name = monitors[m].name;
    if (!monitors[m].automatic && !keep.contains(name) &&
        streaming::isOurDisplayName(atomName(d, name)))
      ours.push_back(name);
  }
  if (monitors) XRRFreeMonitors(monitors);
  for (const Atom name : ours) {
    XRRDeleteMonitor(d, rootOf(d), name);
    logger().info("Removed leftover RandR monitor \"%s\"", atomName(d, name).c_str());
  }
  return foreign;
}

bool hasMode(const XRROutputInfo& info, RRMode mode) {
  return std::find(info.modes, info.modes + info.nmode, mode) != info.modes + info.nmode;
}

// The outputs that carry the mode.
std::vector<RROutput> carriers(Display* d, XRRScreenResources* res, RRMode mode) {
  std::vector<RROutput> found;
  for (int o = 0; o < res->noutput; ++o) {
    OutputInfo info(XRRGetOutputInfo(d, res, res->outputs[o]));
    if (info && hasMode(*info.p, mode)) found.push_back(res->outputs[o]);
  }
  return found;
}

// Switches off the outputs the mode lights and takes it from every output; whether one was lit.
bool releaseMode(Display* d, XRRScreenResources* res, RRMode mode,
                 const std::vector<RROutput>& outputs) {
  bool switchedOff = false;
  for (const RROutput output : outputs) {
    const RRCrtc crtc = litCrtc(d, res, output);
    CrtcInfo crtcInfo(crtc ? XRRGetCrtcInfo(d, res, crtc) : nullptr);
    if (crtcInfo && crtcInfo->mode == mode) {
      XRRSetCrtcConfig(d, res, crtc, CurrentTime, 0, 0, 0, RR_Rotate_0, nullptr, 0);
      logger().info("Switched off leftover output %s", outputName(d, res, output).c_str());
      switchedOff = true;
    }
    XRRDeleteOutputMode(d, output, mode);
  }
  return switchedOff;
}

}  // namespace

std::string randrModeName(const std::string& displayName, unsigned width, unsigned height,
                          RROutput output) {
  return displayName + " " + std::to_string(width) + "x" + std::to_string(height) + " " +
         std::to_string(output);
}

bool isOurModeName(std::string_view name) {
  const auto [rest, output] = splitLast(name);
  if (!isNumber(output)) return false;
  const auto [display, size] = splitLast(rest);
  const auto x = size.find('x');
  if (x == std::string_view::npos || !isNumber(size.substr(0, x)) || !isNumber(size.substr(x + 1)))
    return false;
  return streaming::isOurDisplayName(display);
}

void reclaimLeftovers(Display* d, const std::set<RRMode>& keepModes,
                      const std::set<Atom>& keepMonitors) {
  const std::set<RROutput> foreign = deleteMonitors(d, keepMonitors);
  Resources res = resources(d);
  if (!res) return;
  const int screen = DefaultScreen(d);
  const Density density{DisplayWidth(d, screen), DisplayHeight(d, screen),
                        DisplayWidthMM(d, screen), DisplayHeightMM(d, screen)};
  bool switchedOff = false;
  for (int i = 0; i < res->nmode; ++i) {
    const XRRModeInfo& mode = res->modes[i];
    const std::string name(mode.name, mode.nameLength);
    if (keepModes.contains(mode.id) || !isOurModeName(name)) continue;
    const auto outputs = carriers(d, res.p, mode.id);
    if (std::any_of(outputs.begin(), outputs.end(),
                    [&](RROutput output) { return foreign.contains(output); }))
      continue;
    switchedOff = releaseMode(d, res.p, mode.id, outputs) || switchedOff;
    XRRDestroyMode(d, mode.id);
    logger().info("Removed leftover RandR mode \"%s\"", name.c_str());
  }
  // The screen had grown to hold what was switched off.
  if (switchedOff) fitScreen(d, 0, 0, density);
}

bool switchOffOurOutputs(const std::string& display, std::chrono::milliseconds limit) {
  X11Connection::installHandlers();
  auto finishing = std::make_shared<std::promise<void>>();
  auto finished = finishing->get_future();
  runtime::startThread("randr off", [finishing, display] {
    if (Display* d = XOpenDisplay(display.empty() ? nullptr : display.c_str())) {
      reclaimLeftovers(d, {}, {});
      XSync(d, False);
      XCloseDisplay(d);
    }
    finishing->set_value();
  }).detach();
  return finished.wait_for(limit) == std::future_status::ready;
}

}  // namespace brindlet::platform
