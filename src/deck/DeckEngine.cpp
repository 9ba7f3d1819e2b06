#include "deck/DeckEngine.h"

#include <algorithm>
#include <utility>

#include "deck/DeckLooks.h"
#include "runtime/Json.h"
#include "runtime/Log.h"
#include "runtime/MainLoop.h"
#include "runtime/Task.h"

namespace brindlet::deck {

namespace asio = boost::asio;
using protocol::KeyState;

namespace {

const runtime::Logger& deckLog() {
  return runtime::Logger::of("deck");
}

}  // namespace

struct DeckEngine::Tasks {
  runtime::TaskHandle watch;
  runtime::TaskHandle read;
};

DeckEngine::DeckEngine(runtime::MainLoop& loop, Roles roles, std::optional<std::string> ownBundleID)
    : loop_(loop), roles_(std::move(roles)), ownBundleID_(std::move(ownBundleID)) {}

DeckEngine::~DeckEngine() {
  if (!tasks_) return;
  tasks_->watch.cancel();
  tasks_->read.cancel();
}

double DeckEngine::clock() const {
  return std::chrono::duration<double>(roles_.clock->now().time_since_epoch()).count();
}

void DeckEngine::start() {
  if (tasks_) return;
  auto apps = roles_.workspace->frontApps();
  tasks_ = std::make_unique<Tasks>();
  const auto executor = loop_.context().get_executor();
  tasks_->watch = runtime::spawn(executor, watch(weak_from_this(), std::move(apps)));
  tasks_->read = runtime::spawn(executor, tick(weak_from_this(), roles_.clock));
}

void DeckEngine::stop() {
  if (!tasks_) tasks_ = std::make_unique<Tasks>();
  tasks_->watch.cancel();
  tasks_->read.cancel();
  send_ = nullptr;
}

asio::awaitable<void> DeckEngine::watch(std::weak_ptr<DeckEngine> weak,
                                        std::shared_ptr<runtime::AsyncQueue<FrontApp>> apps) {
  // Ending the stream lets the workspace stop watching, however the task ends.
  struct EndStream {
    std::shared_ptr<runtime::AsyncQueue<FrontApp>> apps;
    ~EndStream() { apps->cancel(); }
  } end{apps};
  while (auto app = co_await apps->next()) {
    auto engine = weak.lock();
    if (!engine) break;
    co_await engine->frontAppChanged(std::move(*app));
  }
}

asio::awaitable<void> DeckEngine::tick(std::weak_ptr<DeckEngine> weak,
                                       std::shared_ptr<runtime::Clock> clock) {
  for (;;) {
    {
      auto engine = weak.lock();
      if (!engine) co_return;
      if (engine->tickCount_ % ticksPerMeetingScan == 0) co_await engine->checkMeeting();
      ++engine->tickCount_;
      co_await engine->refresh();
    }
    try {
      co_await clock->sleep(tickInterval);
    } catch (...) {
      if (runtime::isCancellation(std::current_exception())) co_return;
    }
  }
}

void DeckEngine::resetSentLooks() {
  sentLooks_.clear();
  sentMeetingLooks_.clear();
  meetingShown_.reset();
}

asio::awaitable<void> DeckEngine::linkReady(Send send) {
  send_ = std::move(send);
  resetSentLooks();
  sendProfile();
  co_await updateMeeting();
  co_await refresh();
}

void DeckEngine::emit(protocol::ControlMessage message) const {
  if (send_) send_(message);
}

void DeckEngine::setCurrent(std::optional<Current> current) {
  if (current == current_) return;
  current_ = std::move(current);
  ++currentGeneration_;
}

bool DeckEngine::takeFrontApp(const FrontApp& app) {
  if (ownBundleID_ && *ownBundleID_ == app.bundleID) return false;
  activatedAt_.try_emplace(app.bundleID, clock());
  std::erase(recency_, app.bundleID);
  recency_.insert(recency_.begin(), app.bundleID);
  const auto title = roles_.workspace->focusedWindowTitle(app.pid);
  auto match = roles_.store->profile(app.bundleID, title);
  if (!match) return false;
  // New contents of the same profile are a change too: the phone shows what the keys do.
  const bool changed =
      !current_ || current_->stored != *match || current_->app.bundleID != app.bundleID;
  setCurrent(Current{std::move(*match), app});
  if (!changed) return false;
  sentLooks_.clear();
  deckLog().info("Deck profile %s for %s", current_->stored.profile.id.c_str(),
                 app.bundleID.c_str());
  return true;
}

asio::awaitable<void> DeckEngine::frontAppChanged(FrontApp app) {
  if (!takeFrontApp(app)) co_return;
  sendProfile();
  co_await updateMeeting();
  co_await refresh();
}

asio::awaitable<void> DeckEngine::refresh() {
  if (!current_) co_return;
  const auto title = roles_.workspace->focusedWindowTitle(current_->app.pid);
  const auto match = roles_.store->profile(current_->app.bundleID, title);
  // Another profile, or this one read anew with other contents (saved in place, or replaced by a
  // new file): the phone gets it afresh, so that what it shows is what the keys do.
  if (match && *match != current_->stored) {
    FrontApp app = current_->app;
    setCurrent(std::nullopt);
    co_await frontAppChanged(std::move(app));
    co_return;
  }
  co_await refreshLooks();
}

asio::awaitable<void> DeckEngine::refreshLooks() {
  // Reading the values suspends; the looks are then computed, recorded and sent in one step,
  // and only if the deck still shows what they were read for and no later refresh got there
  // first (a change of profile has already sent everything afresh).
  const auto generation = currentGeneration_;
  const auto number = ++refreshesStarted_;
  auto current = std::make_shared<const Current>(*current_);
  Values values;
  for (const auto& [id, key] : current->stored.profile.keys) {
    if (!key.state) continue;
    auto value = co_await readerValue(key.state->reader, current->app);
    values.emplace_back(id, std::move(value));
  }
  if (generation != currentGeneration_ || number < refreshApplied_) co_return;
  refreshApplied_ = number;
  applyLooks(current->stored.profile, values);
}

void DeckEngine::applyLooks(const profiles::Profile& profile, const Values& values) {
  Looks changed;
  for (const auto& [id, value] : values) {
    const auto& key = profile.keys.at(id);
    auto look = readerLook(key, *key.state, value);
    const auto sent = sentLooks_.find(id);
    if (sent != sentLooks_.end() && (isErrorLook(sent->second) || sent->second == look)) continue;
    sentLooks_[id] = look;
    changed.emplace(id, std::move(look));
  }
  if (changed.empty()) return;
  emit(protocol::DeckState{profile.id, std::move(changed)});
}

void DeckEngine::sendProfile() {
  if (!send_ || !current_) return;
  protocol::JSONValue document;
  try {
    const runtime::JsonDocument parsed(current_->stored.profile.canonicalData());
    document = protocol::JSONValue::decode(parsed.reader());
  } catch (const std::exception&) {
    return;  // a profile JSON cannot hold goes unsent; the next change or link tries again
  }
  emit(protocol::DeckProfile{std::move(document), current_->app.bundleID, current_->app.name});
}

asio::awaitable<ReaderValue> DeckEngine::readerValue(profiles::Reader reader, FrontApp app) {
  if (reader.reader == profiles::Reader::Kind::meetingTimer) co_return timerValue(app.bundleID);
  std::optional<FrontApp> target(std::move(app));
  auto value = co_await roles_.readers->read(std::move(reader), std::move(target));
  co_return value;
}

// Counts from the app's first activation in this run, not from a meeting's start.
ReaderValue DeckEngine::timerValue(const std::string& bundleID) const {
  const auto since = activatedAt_.find(bundleID);
  if (since == activatedAt_.end()) return {};
  return {timerText(clock() - since->second), std::nullopt};
}

bool DeckEngine::isOnDeck(const profiles::Profile& profile) const {
  return current_ && current_->stored.profile.id == profile.id;
}

void DeckEngine::sendErrorLook(const ActionError& error, const std::string& key,
                               const profiles::Profile& profile) {
  const bool meeting = profile.id == meetingProfileID;
  if (!meeting && !isOnDeck(profile)) return;
  auto look = errorLook(error.description());
  (meeting ? sentMeetingLooks_ : sentLooks_)[key] = look;
  emit(protocol::DeckState{profile.id, {{key, std::move(look)}}});
}

void DeckEngine::clearErrorLook(const std::string& key, const std::string& label,
                                const std::string& symbol, const profiles::Profile& profile) {
  const bool meeting = profile.id == meetingProfileID;
  if (!meeting && !isOnDeck(profile)) return;
  auto& looks = meeting ? sentMeetingLooks_ : sentLooks_;
  const auto sent = looks.find(key);
  if (sent == looks.end() || !isErrorLook(sent->second)) return;
  sent->second = plainLook(label, symbol);
  emit(protocol::DeckState{profile.id, {{key, sent->second}}});
}

}  // namespace brindlet::deck
