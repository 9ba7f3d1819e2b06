#include "platform/linux/x11/X11EventPoster.h"

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>

#include <array>
#include <future>
#include <map>
#include <mutex>
#include <optional>
#include <variant>

#include "platform/linux/x11/InputPlan.h"
#include "runtime/AsyncQueue.h"
#include "runtime/Clock.h"
#include "runtime/OneShot.h"
#include "runtime/Task.h"
#include "runtime/Timeout.h"

namespace brindlet::platform {
namespace {

using namespace std::chrono_literals;

// A client looks a keysym up when it reads the key event, so a spare keycode is rebound only
// this long after it was last pressed; and the keymap is given back after this long idle.
constexpr auto kRebindAfter = 80ms;
constexpr auto kRestoreAfter = 250ms;

struct Keymap {
  bool hasXTest = false;
  std::vector<std::uint8_t> spare;
  std::map<std::uint8_t, std::vector<unsigned long>> original;  // the spare keycodes' symbols
  std::map<std::uint32_t, std::uint8_t> unshifted;              // keysym → keycode, level one
};

Keymap readKeymap(Display* d) {
  Keymap map;
  int event = 0, error = 0, major = 0, minor = 0;
  map.hasXTest = XTestQueryExtension(d, &event, &error, &major, &minor);
  int min = 0, max = 0, per = 0;
  XDisplayKeycodes(d, &min, &max);
  KeySym* syms = XGetKeyboardMapping(d, static_cast<KeyCode>(min), max - min + 1, &per);
  if (!syms) return map;
  for (int keycode = min; keycode <= max; ++keycode) {
    const KeySym* row = syms + (keycode - min) * per;
    bool empty = true;
    for (int i = 0; i < per; ++i) empty = empty && row[i] == NoSymbol;
    const auto code = static_cast<std::uint8_t>(keycode);
    // Keycode 8 has no key on any keyboard, and some clients ignore it.
    if (empty && keycode > 8) {
      map.spare.push_back(code);
      map.original[code] = std::vector<unsigned long>(row, row + per);
    }
    if (row[0] != NoSymbol) map.unshifted.emplace(static_cast<std::uint32_t>(row[0]), code);
  }
  XFree(syms);
  return map;
}

using Flush = std::shared_ptr<runtime::OneShot<std::monostate>>;
using Planned = std::vector<XStep>;
using Item = std::variant<desktop::SyntheticEvent, Planned, Flush>;

bool needsBinding(const std::vector<XStep>& steps) {
  for (const XStep& step : steps) {
    if (std::holds_alternative<XBindStep>(step)) return true;
  }
  return false;
}

}  // namespace

struct X11EventPoster::Worker : std::enable_shared_from_this<Worker> {
  Worker(X11Connection& connection, Keymap keymap)
      : connection(connection),
        original(std::move(keymap.original)),
        plan(keymap.spare, [unshifted = std::move(keymap.unshifted)](std::uint32_t keysym) {
          auto found = unshifted.find(keysym);
          return found == unshifted.end() ? std::nullopt
                                          : std::optional<std::uint8_t>(found->second);
        }) {}

  boost::asio::awaitable<void> run() {
    auto self = shared_from_this();
    for (;;) {
      std::optional<Item> item;
      bool bound = false;
      {
        std::lock_guard lock(mutex);
        bound = plan.hasBindings();
      }
      if (bound) {
        const runtime::Duration idle = kRestoreAfter;
        auto next = co_await runtime::within(*clock, idle, queue->next());
        if (!next) {
          co_await restore();
          continue;
        }
        item = std::move(*next);
      } else {
        item = co_await queue->next();
      }
      if (!item) break;
      if (auto* flush = std::get_if<Flush>(&*item)) {
        if (!connection.isLost()) XSync(connection.display(), False);
        (*flush)->resume({});
        continue;
      }
      {
        std::lock_guard lock(mutex);
        if (auto* planned = std::get_if<Planned>(&*item)) {
          steps = std::move(*planned);
        } else {
          steps.clear();
          plan.plan(std::get<desktop::SyntheticEvent>(*item), steps);
        }
      }
      co_await perform();
      std::lock_guard lock(mutex);
      --claimed;
    }
    co_await restore();
  }

  boost::asio::awaitable<void> restore() {
    {
      std::lock_guard lock(mutex);
      ++claimed;
      steps.clear();
      plan.restore(steps);
    }
    co_await perform();
    if (!connection.isLost()) XSync(connection.display(), False);
    std::lock_guard lock(mutex);
    --claimed;
  }

  // On the caller's thread, when nothing is queued and no keycode is rebound: the key or click
  // reaches the server without waking this thread, the cost of which is as large as the server's
  // own round trip. Anything that must wait (a rebinding) goes to the worker, already planned, so
  // the order holds. False when the event must be queued as it is.
  bool postAtOnce(const desktop::SyntheticEvent& event) {
    std::lock_guard lock(mutex);
    if (claimed > 0 || plan.hasBindings() || connection.isLost()) return false;
    ++claimed;
    steps.clear();
    plan.plan(event, steps);
    if (needsBinding(steps)) {
      if (!queue->push(Item(std::move(steps)))) --claimed;
      return true;
    }
    for (const XStep& step : steps) send(step);
    XFlush(connection.display());
    --claimed;
    return true;
  }

  // With a claim held, or under the lock.
  void send(const XStep& step) {
    Display* d = connection.display();
    if (auto* key = std::get_if<XKeyStep>(&step)) {
      XTestFakeKeyEvent(d, key->keycode, key->down, CurrentTime);
      if (key->down) pressed[key->keycode] = clock->now();
    } else if (auto* motion = std::get_if<XMotionStep>(&step)) {
      XTestFakeMotionEvent(d, -1, motion->x, motion->y, CurrentTime);
    } else if (auto* button = std::get_if<XButtonStep>(&step)) {
      XTestFakeButtonEvent(d, button->button, button->down, CurrentTime);
    }
  }

  boost::asio::awaitable<void> perform() {
    for (const XStep& step : steps) {
      if (connection.isLost()) co_return;
      if (auto* binding = std::get_if<XBindStep>(&step)) {
        co_await bind(*binding);
      } else {
        send(step);
      }
    }
    if (!connection.isLost()) XFlush(connection.display());
  }

  boost::asio::awaitable<void> bind(const XBindStep& step) {
    const auto wait = pressed[step.keycode] + kRebindAfter - clock->now();
    if (wait > runtime::Duration::zero()) {
      XFlush(connection.display());
      co_await clock->sleep(wait);
      if (connection.isLost()) co_return;
    }
    std::vector<KeySym> syms = original[step.keycode];
    if (step.keysym) syms.assign(2, static_cast<KeySym>(*step.keysym));
    if (syms.empty()) co_return;
    XChangeKeyboardMapping(connection.display(), step.keycode, static_cast<int>(syms.size()),
                           syms.data(), 1);
  }

  X11Connection& connection;
  std::map<std::uint8_t, std::vector<unsigned long>> original;
  InputPlan plan;
  std::vector<XStep> steps;
  std::array<runtime::Clock::TimePoint, 256> pressed{};
  std::shared_ptr<runtime::Clock> clock = runtime::Clock::system();
  std::shared_ptr<runtime::AsyncQueue<Item>> queue = runtime::AsyncQueue<Item>::make();
  std::promise<void> done;
  // Guards the plan and the claim count. An event is claimed from its post until it has been
  // sent; events go out at once only when nothing is claimed, so they never overtake.
  std::mutex mutex;
  std::size_t claimed = 0;
};

X11EventPoster::X11EventPoster(std::unique_ptr<X11Connection> connection)
    : connection_(std::move(connection)) {}

boost::asio::awaitable<std::unique_ptr<X11EventPoster>> X11EventPoster::open(std::string display) {
  // Named first: g++ 12 destroys temporaries inside a co_await operand twice.
  std::string threadName = "x11 input";
  auto connection = co_await X11Connection::open(display, threadName);
  auto read = [](Display* d) { return readKeymap(d); };
  Keymap keymap = co_await connection->call(std::move(read));
  std::unique_ptr<X11EventPoster> poster(new X11EventPoster(std::move(connection)));
  poster->hasXTest_ = keymap.hasXTest;
  poster->worker_ = std::make_shared<Worker>(*poster->connection_, std::move(keymap));
  auto worker = poster->worker_;
  runtime::spawn(poster->connection_->worker(), worker->run(),
                 [worker](std::exception_ptr) { worker->done.set_value(); });
  co_return poster;
}

X11EventPoster::~X11EventPoster() {
  if (!worker_) return;
  // The worker gives the keymap back before the connection closes.
  worker_->queue->finish();
  worker_->done.get_future().wait();
}

bool X11EventPoster::isTrusted() const {
  return hasXTest_ && !connection_->isLost();
}

void X11EventPoster::post(desktop::SyntheticEvent event) {
  if (!isTrusted() || worker_->postAtOnce(event)) return;
  std::lock_guard lock(worker_->mutex);
  if (worker_->queue->push(Item(std::move(event)))) ++worker_->claimed;
}

boost::asio::awaitable<void> X11EventPoster::flushed() {
  auto shot = runtime::OneShot<std::monostate>::make();
  if (!worker_->queue->push(Item(shot))) co_return;
  co_await shot->wait();
}

}  // namespace brindlet::platform
