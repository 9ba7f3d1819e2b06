// The deck engine's meeting deck: the scan for a live meeting, the deck and its mute and camera
// looks, and meeting intents carried out through the meeting app's buttons or shortcuts.

#include <algorithm>
#include <chrono>
#include <utility>

#include <nlohmann/json.hpp>

#include "deck/DeckEngine.h"
#include "deck/DeckLooks.h"
#include "deck/MeetingAdapter.h"
#include "runtime/Json.h"
#include "runtime/Log.h"

namespace brindlet::deck {

namespace asio = boost::asio;
using namespace std::chrono_literals;
using protocol::KeyState;
using protocol::RingState;

namespace {

const runtime::Logger& deckLog() {
  return runtime::Logger::of("deck");
}

constexpr runtime::Duration buttonRetryPause = 100ms;
constexpr int buttonTries = 15;
constexpr runtime::Duration pauseBeforeLooks = 150ms;
constexpr runtime::Duration previousAppTimeout = 300ms;

std::string meetingKey(const LiveMeeting& meeting) {
  return meeting.adapterName + "/" + meeting.app.bundleID;
}

KeyState meetingLookOf(RingState ring, std::string label, std::string symbol) {
  KeyState look;
  look.ring = ring;
  look.label = std::move(label);
  look.symbol = std::move(symbol);
  return look;
}

}  // namespace

asio::awaitable<void> DeckEngine::checkMeeting() {
  const auto self = shared_from_this();
  std::vector<std::string> recency = recency_;
  auto found = co_await MeetingAdapter::findLive(*roles_.workspace, meeting_, std::move(recency));
  const bool isNew = found.has_value() != meeting_.has_value() ||
                     (found && found->app.bundleID != meeting_->app.bundleID);
  if (isNew) {
    meetingStart_ = clock();
    sentMeetingLooks_.clear();
    if (found) deckLog().info("Meeting live in %s", found->adapterName.c_str());
  }
  meeting_ = std::move(found);
  co_await updateMeeting();
}

// The app's own profile covers a meeting it matches, unless it is a profile for any app.
bool DeckEngine::meetingSuppressed() const {
  if (!meeting_ || !current_) return false;
  const auto& profile = current_->stored.profile;
  return std::ranges::find(profile.apps, profiles::Profile::anyApp) == profile.apps.end() &&
         profile.matches(meeting_->app.bundleID, meeting_->windowTitle);
}

asio::awaitable<void> DeckEngine::updateMeeting() {
  std::optional<std::string> wanted;
  if (meeting_ && !meetingSuppressed()) wanted = meetingKey(*meeting_);
  if (wanted == meetingShown_) co_return;
  meetingShown_ = wanted;
  sentMeetingLooks_.clear();
  auto deck = wanted ? meetingDeckFor(*meeting_) : std::nullopt;
  // A deck that cannot be built is not tried again until the meeting changes.
  if (!deck) {
    emit(protocol::MeetingDeck{});
    co_return;
  }
  emit(std::move(*deck));
  co_await refreshMeetingLooks();
}

std::optional<protocol::MeetingDeck> DeckEngine::meetingDeckFor(const LiveMeeting& meeting) const {
  const auto* adapter = MeetingAdapter::named(meeting);
  if (!adapter) return std::nullopt;
  const auto stored = roles_.store->profile(meetingProfileID);
  if (!stored) return std::nullopt;
  protocol::MeetingDeck deck;
  try {
    deck.profile = protocol::JSONValue::decode(
        runtime::JsonDocument(adapter->adapt(stored->profile).canonicalData()).reader());
  } catch (const std::exception&) {
    return std::nullopt;
  }
  deck.app = meeting.app.bundleID;
  deck.appName = adapter->name;
  deck.elapsed = clock() - meetingStart_;
  return deck;
}

asio::awaitable<void> DeckEngine::refreshMeetingLooks() {
  if (!meeting_ || meetingSuppressed()) co_return;
  const auto self = shared_from_this();
  const LiveMeeting meeting = *meeting_;
  const auto* adapter = MeetingAdapter::named(meeting);
  if (!adapter) co_return;
  const auto shown = meetingShown_;
  auto mute = co_await meetingLook(meeting, adapter->mutedReader, adapter->mutedButtons, false);
  auto camera =
      co_await meetingLook(meeting, adapter->cameraOffReader, adapter->cameraOffButtons, true);
  std::pair<std::string, std::optional<KeyState>> looks[] = {{"mute", std::move(mute)},
                                                             {"camera", std::move(camera)}};
  // Looks read for a meeting deck that went or changed meanwhile belong to no deck on the phone.
  if (!meeting_ || meetingShown_ != shown) co_return;
  Looks changed;
  for (auto& [key, look] : looks) {
    if (!look) continue;
    const auto sent = sentMeetingLooks_.find(key);
    if (sent != sentMeetingLooks_.end() && sent->second == *look) continue;
    sentMeetingLooks_[key] = *look;
    changed.emplace(key, std::move(*look));
  }
  if (changed.empty()) co_return;
  emit(protocol::DeckState{std::string(meetingProfileID), std::move(changed)});
}

// Off (muted, camera off) when the reader yields a value, else when one of the buttons is in
// the meeting's window; no look without either.
asio::awaitable<std::optional<KeyState>> DeckEngine::meetingLook(
    LiveMeeting meeting, std::optional<profiles::Reader> reader, std::vector<std::string> buttons,
    bool camera) {
  bool off = false;
  if (reader) {
    std::optional<FrontApp> app(meeting.app);
    const auto value = co_await roles_.readers->read(std::move(*reader), std::move(app));
    off = value.value.has_value();
  } else if (!buttons.empty()) {
    const auto button = co_await roles_.workspace->findButton(meeting.app.pid, meeting.windowTitle,
                                                              std::move(buttons));
    off = button.has_value();
  } else {
    co_return std::nullopt;
  }
  if (camera)
    co_return off ? meetingLookOf(RingState::warning, "Camera Off", "video.slash.fill")
                  : meetingLookOf(RingState::none, "Camera", "video");
  co_return off ? meetingLookOf(RingState::critical, "Muted", "mic.slash.fill")
                : meetingLookOf(RingState::none, "Mute", "mic");
}

asio::awaitable<void> DeckEngine::pause(runtime::Duration duration) {
  try {
    co_await roles_.clock->sleep(duration);
  } catch (...) {
    // A pause cut short changes nothing about what follows it.
  }
}

asio::awaitable<bool> DeckEngine::pressButton(const LiveMeeting& meeting,
                                              std::vector<std::string> labels) {
  auto button = co_await roles_.workspace->findButton(meeting.app.pid, meeting.windowTitle,
                                                      std::move(labels));
  if (!button) co_return false;
  const bool pressed = co_await roles_.workspace->press(std::move(*button));
  co_return pressed;
}

// The first try at once, the others 0.1 s apart; after the last failure one more pause.
asio::awaitable<bool> DeckEngine::pressButtonRepeatedly(const LiveMeeting& meeting,
                                                        std::vector<std::string> labels) {
  for (int attempt = 0; attempt < buttonTries; ++attempt) {
    if (attempt > 0) co_await pause(buttonRetryPause);
    const bool pressed = co_await pressButton(meeting, labels);
    if (pressed) co_return true;
  }
  co_await pause(buttonRetryPause);
  co_return false;
}

// The intent's button, else its opener and then the button, then any confirm button.
asio::awaitable<bool> DeckEngine::pressIntentButtons(const LiveMeeting& meeting,
                                                     profiles::MeetingIntent intent) {
  const auto* adapter = MeetingAdapter::named(meeting);
  const auto& labels = adapter->buttons.at(intent);
  bool pressed = co_await pressButton(meeting, labels);
  if (!pressed) {
    const auto opener = adapter->openers.find(intent);
    if (opener == adapter->openers.end()) co_return false;
    const bool opened = co_await pressButton(meeting, opener->second);
    if (!opened) co_return false;
    pressed = co_await pressButtonRepeatedly(meeting, labels);
    if (!pressed) co_return false;
  }
  if (const auto confirm = adapter->confirms.find(intent); confirm != adapter->confirms.end())
    co_await pressButtonRepeatedly(meeting, confirm->second);
  co_await pause(pauseBeforeLooks);
  co_return true;
}

// The keys go to the meeting app; the app in front before is brought back afterwards.
asio::awaitable<std::optional<ActionError>> DeckEngine::pressIntentKeys(const LiveMeeting& meeting,
                                                                        std::string keys) {
  auto before = roles_.workspace->currentFrontApp();
  if (before && before->bundleID.empty()) before.reset();
  if (MeetingAdapter::named(meeting)->raisesWindow)
    roles_.workspace->raiseWindow(meeting.app.pid, meeting.windowTitle);
  std::optional<ActionError> failure;
  try {
    co_await roles_.runner->pressKeys(std::move(keys), meeting.app);
  } catch (const ActionError& error) {
    failure = error;
  }
  if (failure) co_return failure;
  if (before && before->bundleID != meeting.app.bundleID)
    co_await roles_.workspace->activate(before->bundleID, previousAppTimeout);
  co_return std::nullopt;
}

asio::awaitable<void> DeckEngine::performMeetingIntent(profiles::MeetingIntent intent,
                                                       std::string key, profiles::Profile profile) {
  const auto self = shared_from_this();
  const MeetingAdapter* adapter = meeting_ ? MeetingAdapter::named(*meeting_) : nullptr;
  if (!adapter) {
    sendErrorLook(ActionError::failed("No meeting"), key, profile);
    co_return;
  }
  // Scans during the waits may replace the meeting; the intent stays with this one.
  const LiveMeeting meeting = *meeting_;
  if (adapter->buttons.contains(intent)) {
    const bool pressed = co_await pressIntentButtons(meeting, intent);
    if (!pressed) {
      sendErrorLook(ActionError::failed("Can't find " + adapter->name + "'s button"), key, profile);
      co_return;
    }
  } else if (const auto shortcut = adapter->shortcuts.find(intent);
             shortcut != adapter->shortcuts.end()) {
    const auto failure = co_await pressIntentKeys(meeting, shortcut->second);
    if (failure) {
      deckLog().error("Meeting %s: %s", key.c_str(), failure->description().c_str());
      sendErrorLook(*failure, key, profile);
      co_return;
    }
  } else {
    co_return;
  }
  if (const auto found = profile.keys.find(key); found != profile.keys.end())
    clearErrorLook(key, found->second.label, found->second.symbol, profile);
  co_await refreshMeetingLooks();
}

}  // namespace brindlet::deck
