#include "deck/SystemWorkspace.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <sstream>

#include "deck/ButtonChoice.h"
#include "runtime/Blocking.h"
#include "runtime/Files.h"
#include "runtime/Task.h"

namespace brindlet::deck {
namespace {

namespace asio = boost::asio;
using desktop::WindowInfo;
using desktop::WindowSnapshot;

// Normal and dialog windows are an app's own; docks, menus and the like are not. A window
// without a type is a normal one.
bool isAppWindow(const WindowInfo& window) {
  if (window.types.empty()) return true;
  return std::any_of(window.types.begin(), window.types.end(),
                     [](const std::string& type) { return type == "normal" || type == "dialog"; });
}

bool belongsTo(const WindowInfo& window, std::int32_t pid) {
  return window.pid == pid && window.appId().has_value();
}

// The process's app windows, topmost first.
std::vector<const WindowInfo*> windowsOf(const WindowSnapshot& snapshot, std::int32_t pid) {
  std::vector<const WindowInfo*> found;
  for (auto it = snapshot.windows.rbegin(); it != snapshot.windows.rend(); ++it) {
    if (belongsTo(*it, pid) && isAppWindow(*it)) found.push_back(&*it);
  }
  return found;
}

// The app of the active window; none while no window with a class and process is active (a
// window manager clears the active window between two windows, also of one app).
std::optional<std::pair<std::string, std::int32_t>> frontKey(const WindowSnapshot& snapshot) {
  const WindowInfo* active = snapshot.activeWindow();
  if (!active || !active->appId()) return std::nullopt;
  return std::pair(active->windowClass, *active->pid);
}

// Desktop entries are a few kilobytes; larger files in the folder are not read.
constexpr std::size_t kDesktopEntryLimit = 1 << 20;

// Name and StartupWMClass of one desktop entry's main group.
void readDesktopEntry(const std::filesystem::path& file,
                      std::map<std::string, std::string>& names) {
  std::string text;
  try {
    text = runtime::readFile(file, kDesktopEntryLimit);
  } catch (const runtime::FileError&) {
    return;
  }
  std::istringstream in(text);
  std::string line, name, windowClass;
  bool inMain = false;
  while (std::getline(in, line)) {
    if (!line.empty() && line[0] == '[') {
      inMain = line == "[Desktop Entry]";
    } else if (inMain && line.rfind("Name=", 0) == 0) {
      name = line.substr(5);
    } else if (inMain && line.rfind("StartupWMClass=", 0) == 0) {
      windowClass = line.substr(15);
    }
  }
  if (!name.empty() && !windowClass.empty()) names.emplace(windowClass, name);
}

std::map<std::string, std::string> readDesktopEntries() {
  runtime::mayBlock("reading desktop entries");
  std::vector<std::filesystem::path> folders{runtime::userFolder(runtime::UserFolder::data)};
  const char* dirs = std::getenv("XDG_DATA_DIRS");
  std::stringstream list(dirs && *dirs ? dirs : "/usr/local/share:/usr/share");
  for (std::string dir; std::getline(list, dir, ':');) {
    if (!dir.empty()) folders.emplace_back(dir);
  }
  // The first folder that names a class wins, as the first entry of an id does.
  std::map<std::string, std::string> names;
  for (const auto& folder : folders) {
    std::error_code error;
    std::filesystem::recursive_directory_iterator it(folder / "applications", error), end;
    for (; !error && it != end; it.increment(error)) {
      if (it->path().extension() == ".desktop") readDesktopEntry(it->path(), names);
    }
  }
  return names;
}

std::optional<FrontApp> appOfWindow(const WindowInfo& window,
                                    const SystemWorkspace::AppNames& names) {
  auto id = window.appId();
  if (!id) return std::nullopt;
  std::string name = names(*id).value_or(*id);
  return FrontApp{std::move(*id), std::move(name), *window.pid};
}

asio::awaitable<void> activateQuietly(desktop::WindowSystem& windows, desktop::WindowId window) {
  try {
    co_await windows.activate(window);
  } catch (const std::exception&) {
    // A window that went meanwhile is simply not raised.
  }
}

// A button of the accessibility tree, as the workspace hands it out.
struct TreeButton : AccessibleElement {
  explicit TreeButton(AccessibilityTree::Element element) : element(std::move(element)) {}
  AccessibilityTree::Element element;
};

}  // namespace

SystemWorkspace::SystemWorkspace(asio::any_io_executor executor, desktop::WindowSystem& windows,
                                 AccessibilityTree* tree, std::shared_ptr<runtime::Clock> clock,
                                 AppNames names)
    : executor_(std::move(executor)),
      windows_(windows),
      tree_(tree),
      clock_(std::move(clock)),
      names_(std::move(names)) {}

SystemWorkspace::AppNames SystemWorkspace::desktopEntryNames() {
  // Read on the blocking worker from the start: there may be hundreds of entries on a slow disk.
  auto promise = std::make_shared<std::promise<std::map<std::string, std::string>>>();
  std::shared_future<std::map<std::string, std::string>> entries = promise->get_future().share();
  boost::asio::post(runtime::blockingWorker().executor(), [promise] {
    try {
      promise->set_value(readDesktopEntries());
    } catch (...) {
      promise->set_exception(std::current_exception());
    }
  });
  return [entries](const std::string& windowClass) -> std::optional<std::string> {
    // A main loop does not wait for the read: until it is done, apps go by their class.
    const bool ready = entries.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
    if (!ready && runtime::runsMainLoop()) return std::nullopt;
    try {
      const auto& names = entries.get();
      const auto found = names.find(windowClass);
      if (found == names.end()) return std::nullopt;
      return found->second;
    } catch (const std::exception&) {
      return std::nullopt;
    }
  };
}

std::optional<FrontApp> SystemWorkspace::appOf(const WindowInfo& window) {
  return appOfWindow(window, names_);
}

std::optional<FrontApp> SystemWorkspace::currentFrontApp() {
  const auto snapshot = windows_.snapshot();
  const WindowInfo* active = snapshot.activeWindow();
  return active ? appOf(*active) : std::nullopt;
}

std::shared_ptr<runtime::AsyncQueue<FrontApp>> SystemWorkspace::frontApps() {
  auto queue = runtime::AsyncQueue<FrontApp>::make();
  struct Watch {
    std::optional<std::pair<std::string, std::int32_t>> front;
    desktop::WindowSystem::Subscription subscription;
  };
  auto watch = std::make_shared<Watch>();
  watch->front = frontKey(windows_.snapshot());
  if (auto app = currentFrontApp()) queue->push(std::move(*app));
  std::weak_ptr<runtime::AsyncQueue<FrontApp>> weakQueue = queue;
  std::weak_ptr<Watch> weakWatch = watch;
  watch->subscription =
      windows_.subscribe([names = names_, weakQueue, weakWatch](const WindowSnapshot& now) {
        auto queue = weakQueue.lock();
        auto watch = weakWatch.lock();
        if (!queue || !watch) return;
        auto key = frontKey(now);
        if (!key || key == watch->front) return;
        watch->front = std::move(key);
        if (auto app = appOfWindow(*now.activeWindow(), names)) queue->push(std::move(*app));
      });
  // The watch lives as long as the stream; ending the stream ends the subscription.
  queue->onTermination([watch]() mutable { watch->subscription.reset(); });
  return queue;
}

asio::awaitable<bool> SystemWorkspace::activate(std::string bundleID, runtime::Duration timeout) {
  auto isFront = [&] {
    auto front = currentFrontApp();
    return front && front->bundleID == bundleID;
  };
  if (isFront()) co_return true;
  const auto snapshot = windows_.snapshot();
  const WindowInfo* topmost = nullptr;
  for (const auto& window : snapshot.windows) {
    if (window.appId() == bundleID && isAppWindow(window)) topmost = &window;
  }
  if (!topmost) co_return false;
  try {
    co_await windows_.activate(topmost->id);
  } catch (const std::exception&) {
    co_return false;
  }
  const auto deadline = clock_->now() + timeout;
  while (clock_->now() < deadline) {
    if (isFront()) co_return true;
    co_await clock_->sleep(activationPoll);
  }
  co_return isFront();
}

std::optional<std::string> SystemWorkspace::focusedWindowTitle(std::int32_t pid) {
  const auto snapshot = windows_.snapshot();
  const WindowInfo* active = snapshot.activeWindow();
  if (active && belongsTo(*active, pid)) return active->title;
  const auto own = windowsOf(snapshot, pid);
  if (own.empty()) return std::nullopt;
  return own.front()->title;
}

std::vector<FrontApp> SystemWorkspace::runningApps() {
  std::vector<FrontApp> apps;
  for (const auto& window : windows_.snapshot().windows) {
    if (!isAppWindow(window)) continue;
    auto app = appOf(window);
    if (app && std::find(apps.begin(), apps.end(), *app) == apps.end()) {
      apps.push_back(std::move(*app));
    }
  }
  return apps;
}

std::vector<std::string> SystemWorkspace::windowTitles(std::int32_t pid) {
  std::vector<std::string> titles;
  for (const auto& window : windows_.snapshot().windows) {
    if (belongsTo(window, pid) && isAppWindow(window) && !window.title.empty()) {
      titles.push_back(window.title);
    }
  }
  return titles;
}

void SystemWorkspace::raiseWindow(std::int32_t pid, std::string title) {
  for (const auto& window : windows_.snapshot().windows) {
    if (belongsTo(window, pid) && isAppWindow(window) && window.title.rfind(title, 0) == 0) {
      runtime::spawn(executor_, activateQuietly(windows_, window.id));
      return;
    }
  }
}

asio::awaitable<std::optional<Element>> SystemWorkspace::findButton(
    std::int32_t pid, std::string windowTitle, std::vector<std::string> labels) {
  if (!tree_) co_return std::nullopt;
  std::optional<AccessibilityTree::Element> found;
  std::function<void()> work = [&] {
    tree_->requestTrees();
    found = deck::findButton(*tree_, pid, windowTitle, labels);
  };
  co_await tree_->visit(std::move(work));
  if (!found) co_return std::nullopt;
  co_return std::make_shared<TreeButton>(std::move(*found));
}

asio::awaitable<bool> SystemWorkspace::press(Element button) {
  const auto* found = dynamic_cast<const TreeButton*>(button.get());
  if (!tree_ || !found) co_return false;
  bool pressed = false;
  std::function<void()> work = [&] { pressed = tree_->press(found->element); };
  co_await tree_->visit(std::move(work));
  co_return pressed;
}

}  // namespace brindlet::deck
