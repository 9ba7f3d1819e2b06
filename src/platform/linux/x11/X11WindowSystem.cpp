#include "platform/linux/x11/X11WindowSystem.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <map>
#include <set>

#include <boost/asio/post.hpp>
#include <boost/asio/this_coro.hpp>

#include "platform/linux/x11/X11Properties.h"

namespace brindlet::platform {
namespace {

using desktop::WindowInfo;
using desktop::WindowSnapshot;

constexpr long kSourcePager = 2;  // requests come from a pager-like tool, which WMs obey
constexpr long kNorthWestGravity = 1;
constexpr long kMoveResizeAll = (1 << 8) | (1 << 9) | (1 << 10) | (1 << 11);

enum AtomIndex : std::size_t {
  kClientList,
  kClientListStacking,
  kActiveWindow,
  kSupportingWmCheck,
  kWmName,
  kWmPid,
  kWmWindowType,
  kWmState,
  kWmStateFullscreen,
  kWmStateHidden,
  kFrameExtents,
  kMoveResizeWindow,
  kUtf8String,
  kAtomCount
};

constexpr std::array<const char*, kAtomCount> kAtomNames{"_NET_CLIENT_LIST",
                                                         "_NET_CLIENT_LIST_STACKING",
                                                         "_NET_ACTIVE_WINDOW",
                                                         "_NET_SUPPORTING_WM_CHECK",
                                                         "_NET_WM_NAME",
                                                         "_NET_WM_PID",
                                                         "_NET_WM_WINDOW_TYPE",
                                                         "_NET_WM_STATE",
                                                         "_NET_WM_STATE_FULLSCREEN",
                                                         "_NET_WM_STATE_HIDDEN",
                                                         "_NET_FRAME_EXTENTS",
                                                         "_NET_MOVERESIZE_WINDOW",
                                                         "UTF8_STRING"};

}  // namespace

// Lives on the connection's worker: the windows as last read, and what events have made stale.
struct X11WindowSystem::Tracker {
  Tracker(X11Connection& connection, boost::asio::any_io_executor loop,
          std::weak_ptr<runtime::Observable<WindowSnapshot>> published)
      : connection(connection),
        d(connection.display()),
        root(DefaultRootWindow(d)),
        loop(std::move(loop)),
        published(std::move(published)) {
    XInternAtoms(d, const_cast<char**>(kAtomNames.data()), kAtomCount, False, atoms.data());
    XSelectInput(d, root, PropertyChangeMask | SubstructureNotifyMask);
  }

  void onEvent(XEvent& e) {
    switch (e.type) {
      case PropertyNotify:
        onProperty(e.xproperty.window, e.xproperty.atom);
        break;
      case ConfigureNotify:
        if (windows.count(e.xconfigure.window)) {
          stale.geometry.insert(e.xconfigure.window);
        } else {
          stale.allGeometry = true;  // a frame moved its window along
        }
        break;
      case DestroyNotify:
      case UnmapNotify:
      case MapNotify:
      case ReparentNotify:
        stale.list = stale.windowManager = true;
        break;
      default:
        break;
    }
  }

  void onProperty(Window window, Atom atom) {
    if (window == root) {
      if (atom == atoms[kClientList] || atom == atoms[kClientListStacking]) stale.list = true;
      if (atom == atoms[kActiveWindow]) stale.active = true;
      if (atom == atoms[kSupportingWmCheck]) stale.windowManager = stale.list = true;
      return;
    }
    if (!windows.count(window)) return;
    static const std::array kWatched{kWmName, kWmPid, kWmWindowType, kWmState, kFrameExtents};
    const bool watched = std::any_of(kWatched.begin(), kWatched.end(),
                                     [&](AtomIndex i) { return atoms[i] == atom; });
    if (watched || atom == XA_WM_NAME || atom == XA_WM_CLASS) stale.properties.insert(window);
  }

  // Reads what has gone stale and publishes the snapshot when it changed.
  void refresh() {
    if (stale.windowManager) windowManager = readWindowManager();
    if (stale.list) readList();
    if (stale.active) {
      auto items = readItems(d, root, atoms[kActiveWindow]);
      active = items.empty() || items[0] == 0 ? std::nullopt
                                              : std::optional<desktop::WindowId>(items[0]);
    }
    for (auto& [id, info] : windows) {
      if (stale.properties.count(id)) readProperties(info);
      if (stale.allGeometry || stale.geometry.count(id)) readGeometry(info);
    }
    stale = {};
    publish();
  }

  void publish() {
    WindowSnapshot snapshot;
    snapshot.connected = true;
    snapshot.windowManager = windowManager;
    for (Window id : order) snapshot.windows.push_back(windows.at(id));
    snapshot.active = active && windows.count(*active) ? active : std::nullopt;
    if (snapshot == last) return;
    last = snapshot;
    boost::asio::post(loop, [weak = published, snapshot = std::move(snapshot)]() mutable {
      if (auto target = weak.lock()) target->set(std::move(snapshot));
    });
  }

  bool readWindowManager() {
    auto check = readItems(d, root, atoms[kSupportingWmCheck]);
    if (check.empty() || check[0] == 0) return false;
    auto self = readItems(d, static_cast<Window>(check[0]), atoms[kSupportingWmCheck]);
    return !self.empty() && self[0] == check[0];
  }

  void readList() {
    std::vector<long> ids;
    if (windowManager) {
      ids = readItems(d, root, atoms[kClientListStacking]);
      if (ids.empty()) ids = readItems(d, root, atoms[kClientList]);
    }
    order.assign(ids.begin(), ids.end());
    std::set<Window> listed(order.begin(), order.end());
    std::erase_if(windows, [&](const auto& entry) { return !listed.count(entry.first); });
    for (Window id : order) {
      if (windows.count(id)) continue;
      WindowInfo& info = windows[id];
      info.id = id;
      XSelectInput(d, id, PropertyChangeMask | StructureNotifyMask);
      readProperties(info);
      readGeometry(info);
    }
  }

  void readProperties(WindowInfo& info) {
    const Window w = static_cast<Window>(info.id);
    info.instance.clear();
    info.windowClass.clear();
    if (auto wmClass = readProperty(d, w, XA_WM_CLASS); wmClass && wmClass->format == 8) {
      std::string both(wmClass->bytes.begin(), wmClass->bytes.end());
      const auto nul = both.find('\0');
      info.instance = both.substr(0, nul);
      if (nul != std::string::npos)
        info.windowClass = both.substr(nul + 1, both.find('\0', nul + 1) - nul - 1);
    }
    auto pid = readItems(d, w, atoms[kWmPid]);
    info.pid =
        pid.empty() ? std::nullopt : std::optional<std::int32_t>(static_cast<std::int32_t>(pid[0]));
    auto title = readText(d, w, atoms[kWmName]);
    if (!title) title = readText(d, w, XA_WM_NAME);
    info.title = title.value_or("");
    info.types.clear();
    for (long type : readItems(d, w, atoms[kWmWindowType])) info.types.push_back(typeName(type));
    if (info.types.empty()) {
      // Without a type, a managed window is a dialog when it belongs to another, else normal.
      Window owner = None;
      info.types.push_back(XGetTransientForHint(d, w, &owner) ? "dialog" : "normal");
    }
    auto state = readItems(d, w, atoms[kWmState]);
    info.fullScreen =
        std::count(state.begin(), state.end(), static_cast<long>(atoms[kWmStateFullscreen])) > 0;
    info.hidden =
        std::count(state.begin(), state.end(), static_cast<long>(atoms[kWmStateHidden])) > 0;
    auto extents = readItems(d, w, atoms[kFrameExtents]);
    info.extents =
        extents.size() == 4
            ? desktop::FrameExtents{static_cast<int>(extents[0]), static_cast<int>(extents[1]),
                                    static_cast<int>(extents[2]), static_cast<int>(extents[3])}
            : desktop::FrameExtents{};
  }

  void readGeometry(WindowInfo& info) {
    const Window w = static_cast<Window>(info.id);
    XWindowAttributes attributes;
    int x = 0, y = 0;
    Window child = None;
    if (!XGetWindowAttributes(d, w, &attributes)) return;
    if (!XTranslateCoordinates(d, w, root, 0, 0, &x, &y, &child)) return;
    info.geometry = {x, y, attributes.width, attributes.height};
  }

  // "_NET_WM_WINDOW_TYPE_DIALOG" is "dialog".
  std::string typeName(long atom) {
    auto [found, added] = typeNames.try_emplace(atom);
    if (added) {
      char* name = XGetAtomName(d, static_cast<Atom>(atom));
      std::string text = name ? name : "";
      if (name) XFree(name);
      const std::string prefix = "_NET_WM_WINDOW_TYPE_";
      if (text.rfind(prefix, 0) == 0) text.erase(0, prefix.size());
      for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      found->second = text;
    }
    return found->second;
  }

  // Fails with BadWindow, recorded for the request that asked, when the window is gone.
  bool exists(Window w) {
    XWindowAttributes attributes;
    return XGetWindowAttributes(d, w, &attributes) != 0;
  }

  X11Connection& connection;
  Display* d;
  Window root;
  boost::asio::any_io_executor loop;
  std::weak_ptr<runtime::Observable<WindowSnapshot>> published;
  std::array<Atom, kAtomCount> atoms{};
  std::map<Window, WindowInfo> windows;
  std::vector<Window> order;
  std::optional<desktop::WindowId> active;
  bool windowManager = false;
  struct Stale {
    bool list = true;
    bool active = true;
    bool windowManager = true;
    bool allGeometry = false;
    std::set<Window> properties;
    std::set<Window> geometry;
  } stale;
  WindowSnapshot last;
  std::map<long, std::string> typeNames;
};

boost::asio::awaitable<std::unique_ptr<X11WindowSystem>> X11WindowSystem::open(
    std::string display) {
  std::unique_ptr<X11WindowSystem> system(new X11WindowSystem());
  auto loop = co_await boost::asio::this_coro::executor;
  // Named first: g++ 12 destroys temporaries inside a co_await operand twice.
  std::string threadName = "x11 windows";
  system->connection_ = co_await X11Connection::open(display, threadName);
  X11Connection& connection = *system->connection_;
  std::weak_ptr<runtime::Observable<WindowSnapshot>> published = system->published_;
  auto start = [&connection, loop, published](Display*) {
    connection.setLostHandler([published] {
      if (auto target = published.lock()) target->set(WindowSnapshot{});
    });
    auto made = new Tracker(connection, loop, published);
    connection.setEventHandler([made](XEvent& e) { made->onEvent(e); },
                               [made] { made->refresh(); });
    made->refresh();
    return std::make_pair(made, made->last);
  };
  auto [tracker, first] = co_await connection.call(std::move(start));
  system->tracker_.reset(tracker);
  // The first snapshot is there before anyone asks.
  system->published_->set(first);
  co_return system;
}

X11WindowSystem::~X11WindowSystem() {
  // The tracker is used on the worker: it goes once the connection and its worker have ended.
  connection_.reset();
}

boost::asio::awaitable<void> X11WindowSystem::activate(desktop::WindowId window) {
  Tracker* t = tracker_.get();
  auto request = [t, window](Display* d) {
    const Window w = static_cast<Window>(window);
    if (!t->exists(w)) return;
    if (t->windowManager) {
      sendToRoot(d, t->root, w, t->atoms[kActiveWindow],
                 {kSourcePager, CurrentTime, static_cast<long>(t->active.value_or(0))});
    } else {
      XRaiseWindow(d, w);
      XSetInputFocus(d, w, RevertToPointerRoot, CurrentTime);
    }
  };
  co_await connection_->call(std::move(request));
}

boost::asio::awaitable<void> X11WindowSystem::raise(desktop::WindowId window) {
  Tracker* t = tracker_.get();
  auto request = [t, window](Display* d) {
    const Window w = static_cast<Window>(window);
    // A window manager gets this as a request to restack the window's frame.
    if (t->exists(w)) XRaiseWindow(d, w);
  };
  co_await connection_->call(std::move(request));
}

boost::asio::awaitable<void> X11WindowSystem::moveResize(desktop::WindowId window,
                                                         desktop::Rect frame) {
  Tracker* t = tracker_.get();
  auto request = [t, window, frame](Display* d) {
    const Window w = static_cast<Window>(window);
    if (!t->exists(w)) return;
    if (!t->windowManager) {
      XMoveResizeWindow(d, w, frame.x, frame.y, static_cast<unsigned>(std::max(frame.width, 1)),
                        static_cast<unsigned>(std::max(frame.height, 1)));
      return;
    }
    // The window manager places the frame's corner at (x, y) and sizes the window itself.
    auto e = readItems(d, w, t->atoms[kFrameExtents]);
    if (e.size() != 4) e.assign(4, 0);
    const long width = std::max<long>(frame.width - e[0] - e[1], 1);
    const long height = std::max<long>(frame.height - e[2] - e[3], 1);
    sendToRoot(d, t->root, w, t->atoms[kMoveResizeWindow],
               {kNorthWestGravity | kMoveResizeAll | (kSourcePager << 12), frame.x, frame.y, width,
                height});
  };
  co_await connection_->call(std::move(request));
}

}  // namespace brindlet::platform
