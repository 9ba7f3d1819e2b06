#include "streaming/VirtualDisplayManager.h"

#include <algorithm>
#include <chrono>

#include "runtime/AsyncQueue.h"
#include "runtime/Error.h"
#include "runtime/Log.h"
#include "runtime/OneShot.h"
#include "runtime/Task.h"
#include "streaming/DisplayError.h"

namespace brindlet::streaming {
namespace {

using namespace std::chrono_literals;
using boost::asio::awaitable;
using runtime::durationText;

constexpr runtime::Duration kPollInterval = 10ms;
constexpr runtime::Duration kAppearBound = 2s;
constexpr runtime::Duration kLeaveBound = 1s;
// The largest screen side RandR can describe.
constexpr std::uint64_t kMaxPixels = 32767;

const runtime::Logger& logger() {
  return runtime::Logger::of("display");
}

bool contains(const std::vector<std::uint32_t>& ids, std::uint32_t id) {
  return std::find(ids.begin(), ids.end(), id) != ids.end();
}

bool sizeFits(const VirtualDisplayConfig& c) {
  const std::uint64_t scale = c.scale;
  return c.pointWidth != 0 && c.pointHeight != 0 && c.pointWidth * scale <= kMaxPixels &&
         c.pointHeight * scale <= kMaxPixels;
}

struct Attached {
  VirtualDisplayConfig config;
  std::uint32_t id = 0;
  std::unique_ptr<DisplayHandle> display;
};

struct Operation {
  enum class Kind { attach, detach, wake } kind;
  VirtualDisplayConfig config;
  std::shared_ptr<runtime::OneShot<std::uint32_t>> done;
};

}  // namespace

struct VirtualDisplayManager::State {
  VirtualDisplayAvailability availability;
  std::shared_ptr<DisplayBackend> backend;
  std::shared_ptr<SleepWakeSource> sleepWake;
  std::shared_ptr<runtime::Clock> clock;
  std::optional<Attached> attached;
  ReplacedHandler replaced;
  RemovingHandler removing;
  std::shared_ptr<runtime::AsyncQueue<Operation>> operations =
      runtime::AsyncQueue<Operation>::make();
  runtime::TaskHandle task;
  // Callers still waiting: told when the manager goes, so that none waits for ever.
  std::vector<std::weak_ptr<runtime::OneShot<std::uint32_t>>> waiting;

  std::shared_ptr<runtime::OneShot<std::uint32_t>> enqueue(Operation::Kind kind,
                                                           VirtualDisplayConfig config);

  awaitable<std::uint32_t> attach(VirtualDisplayConfig config);
  awaitable<void> detach();
  awaitable<void> wake();
  awaitable<void> applyHiDPI(std::uint32_t id, const VirtualDisplayConfig& config);
  awaitable<std::unique_ptr<DisplayHandle>> create(const VirtualDisplayConfig& config);
  awaitable<void> perform(Operation operation);
  static awaitable<void> run(std::shared_ptr<State> state);
};

awaitable<VirtualDisplayAvailability> VirtualDisplayManager::probe(DisplayBackend& backend) {
  VirtualDisplayAvailability availability = co_await backend.probe();
  if (!availability.isAvailable()) {
    logger().error("Virtual display unavailable: %s", availability.reason().c_str());
  }
  co_return availability;
}

awaitable<std::unique_ptr<DisplayHandle>> VirtualDisplayManager::State::create(
    const VirtualDisplayConfig& config) {
  try {
    co_return co_await backend->create(config);
  } catch (const DisplayError& error) {
    if (error.kind() == DisplayError::Case::settingsRejected) {
      logger().error("RandR settings rejected %u×%u", config.pointWidth, config.pointHeight);
    } else {
      logger().error("RandR display creation failed for %s", config.name.c_str());
    }
    throw;
  }
}

awaitable<std::uint32_t> VirtualDisplayManager::State::attach(VirtualDisplayConfig config) {
  if (attached && attached->config == config) {
    const auto active = co_await backend->activeDisplayIds();
    if (attached && attached->config == config && contains(active, attached->id)) {
      co_return attached->id;
    }
  }
  co_await detach();
  if (!availability.isAvailable()) throw DisplayError::unavailable(availability.reason());
  if (!sizeFits(config)) throw DisplayError::invalidSize(config.pointWidth, config.pointHeight);

  auto display = co_await create(config);
  const std::uint32_t id = display->id();
  attached = Attached{config, id, std::move(display)};

  const auto start = clock->now();
  while (!co_await backend->isReady(id)) {
    if (clock->now() - start >= kAppearBound) {
      logger().error("Display %u did not appear within %s", id, durationText(kAppearBound).c_str());
      co_await detach();
      throw DisplayError::timedOut();
    }
    co_await clock->sleep(kPollInterval);
  }
  co_await applyHiDPI(id, config);
  logger().info("Attached display %u %u×%u@%ux in %s", id, config.pointWidth, config.pointHeight,
                config.scale, durationText(clock->now() - start).c_str());
  co_return id;
}

awaitable<void> VirtualDisplayManager::State::applyHiDPI(std::uint32_t id,
                                                         const VirtualDisplayConfig& config) {
  if (config.scale <= 1) co_return;
  const auto current = co_await backend->currentMode(id);
  if (!current) co_return;
  const std::uint32_t width = config.pointWidth * config.scale;
  const std::uint32_t height = config.pointHeight * config.scale;
  if (current->pixelWidth == width) co_return;
  const auto modes = co_await backend->modes(id);
  const auto match = std::find_if(modes.begin(), modes.end(), [&](const DisplayMode& m) {
    return m.pixelWidth == width && m.pixelHeight == height;
  });
  if (match == modes.end()) {
    logger().error("No HiDPI mode for %u×%u; staying at 1x", config.pointWidth, config.pointHeight);
    co_return;
  }
  const int result = co_await backend->setMode(id, *match);
  if (result != 0) {
    logger().error("HiDPI mode refused (%d) for %u×%u", result, config.pointWidth,
                   config.pointHeight);
  }
}

awaitable<void> VirtualDisplayManager::State::detach() {
  if (!attached) co_return;
  const std::uint32_t id = attached->id;
  if (removing) {
    auto moving = removing(id);
    co_await std::move(moving);
  }
  attached.reset();
  const auto start = clock->now();
  while (contains(co_await backend->activeDisplayIds(), id)) {
    if (clock->now() - start >= kLeaveBound) {
      logger().error("Display %u still active %s after release", id,
                     durationText(kLeaveBound).c_str());
      co_return;
    }
    co_await clock->sleep(kPollInterval);
  }
  logger().info("Detached display %u in %s", id, durationText(clock->now() - start).c_str());
}

awaitable<void> VirtualDisplayManager::State::wake() {
  if (!attached) co_return;
  const std::uint32_t old = attached->id;
  if (contains(co_await backend->activeDisplayIds(), old)) {
    logger().info("Woke with display %u still attached", old);
    co_return;
  }
  logger().error("Display %u lost across sleep; recreating", old);
  const VirtualDisplayConfig config = attached->config;
  attached.reset();
  std::optional<std::uint32_t> replacement;
  try {
    replacement = co_await attach(config);
  } catch (const DisplayError& error) {
    logger().error("Recreating display after wake failed: %s", error.text().c_str());
  }
  // The owner still holds the old id: it must learn the new one, or that there is none.
  if (replaced) replaced(old, replacement);
}

awaitable<void> VirtualDisplayManager::State::perform(Operation operation) {
  try {
    switch (operation.kind) {
      case Operation::Kind::attach:
        operation.done->resume(co_await attach(operation.config));
        break;
      case Operation::Kind::detach:
        co_await detach();
        operation.done->resume(0);
        break;
      case Operation::Kind::wake:
        co_await wake();
        break;
    }
  } catch (...) {
    auto error = std::current_exception();
    if (runtime::isCancellation(error)) throw;
    if (operation.done) {
      operation.done->fail(error);
    } else {
      const auto text = runtime::describe(error);
      logger().error("Recreating display after wake failed: %s", text.c_str());
    }
  }
}

awaitable<void> VirtualDisplayManager::State::run(std::shared_ptr<State> state) {
  while (auto operation = co_await state->operations->next()) {
    co_await state->perform(std::move(*operation));
  }
}

VirtualDisplayManager::VirtualDisplayManager(boost::asio::any_io_executor loop,
                                             VirtualDisplayAvailability availability,
                                             std::shared_ptr<DisplayBackend> backend,
                                             std::shared_ptr<SleepWakeSource> sleepWake,
                                             std::shared_ptr<runtime::Clock> clock)
    : state_(std::make_shared<State>()) {
  state_->availability = std::move(availability);
  state_->backend = std::move(backend);
  state_->sleepWake = std::move(sleepWake);
  state_->clock = std::move(clock);
  state_->task = runtime::spawn(loop, State::run(state_));
  std::weak_ptr<State> weak = state_;
  state_->backend->onTermination(
      [](std::uint32_t id) { logger().error("X server terminated virtual display %u", id); });
  if (state_->sleepWake) {
    state_->sleepWake->setHandlers(
        [] { logger().info("System will sleep; keeping the virtual display"); },
        [weak] {
          if (auto state = weak.lock()) state->operations->push({Operation::Kind::wake, {}, {}});
        });
  }
}

std::shared_ptr<runtime::OneShot<std::uint32_t>> VirtualDisplayManager::State::enqueue(
    Operation::Kind kind, VirtualDisplayConfig config) {
  auto done = runtime::OneShot<std::uint32_t>::make();
  std::erase_if(waiting, [](const auto& w) { return w.expired(); });
  waiting.push_back(done);
  operations->push({kind, std::move(config), done});
  return done;
}

VirtualDisplayManager::~VirtualDisplayManager() {
  for (const auto& waiter : state_->waiting) {
    if (auto done = waiter.lock()) done->fail(runtime::cancellationError());
  }
  if (state_->sleepWake) state_->sleepWake->setHandlers({}, {});
  state_->backend->onTermination({});
  state_->operations->cancel();
  state_->task.cancel();
}

const VirtualDisplayAvailability& VirtualDisplayManager::availability() const {
  return state_->availability;
}

std::optional<std::uint32_t> VirtualDisplayManager::attachedId() const {
  if (!state_->attached) return std::nullopt;
  return state_->attached->id;
}

awaitable<std::uint32_t> VirtualDisplayManager::attach(VirtualDisplayConfig config) {
  auto done = state_->enqueue(Operation::Kind::attach, std::move(config));
  co_return co_await done->wait();
}

awaitable<void> VirtualDisplayManager::detach() {
  auto done = state_->enqueue(Operation::Kind::detach, {});
  co_await done->wait();
}

void VirtualDisplayManager::onRemoving(RemovingHandler handler) {
  state_->removing = std::move(handler);
}

void VirtualDisplayManager::onReplaced(ReplacedHandler handler) {
  state_->replaced = std::move(handler);
}

}  // namespace brindlet::streaming
