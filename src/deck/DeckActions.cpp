// The deck engine's actions: the phone's key presses and control moves.

#include <algorithm>
#include <utility>

#include "deck/DeckEngine.h"
#include "runtime/Log.h"

namespace brindlet::deck {

namespace asio = boost::asio;
using protocol::DeckActionPhase;

namespace {

const runtime::Logger& deckLog() {
  return runtime::Logger::of("deck");
}

bool isWildcard(const profiles::Profile& profile) {
  return std::ranges::find(profile.apps, profiles::Profile::anyApp) != profile.apps.end();
}

}  // namespace

asio::awaitable<void> DeckEngine::perform(protocol::DeckAction action) {
  const auto self = shared_from_this();  // the engine outlives the action's waits
  if (action.profile == meetingProfileID) {
    co_await performMeetingKey(std::move(action.key), action.phase);
    co_return;
  }
  if (!current_ || action.profile != current_->stored.profile.id) {
    deckLog().info("Ignoring a deck action for %s: not the current profile",
                   action.profile.c_str());
    co_return;
  }
  // The profile as the action found it: success and failure land on its keys.
  const profiles::Profile profile = current_->stored.profile;
  std::optional<FrontApp> target;
  if (!isWildcard(profile)) target = current_->app;

  if (const auto key = profile.keys.find(action.key); key != profile.keys.end()) {
    const profiles::KeySpec& keySpec = key->second;
    if (keySpec.intent) {
      if (action.phase == DeckActionPhase::press)
        co_await performMeetingIntent(*keySpec.intent, action.key, profile);
      co_return;
    }
    std::optional<profiles::Action> chosen;
    if (action.phase == DeckActionPhase::press) chosen = keySpec.pressAction();
    if (action.phase == DeckActionPhase::release) chosen = keySpec.release;
    if (!chosen) co_return;
    std::string scriptKey = profile.id + "/" + action.key;
    std::optional<ActionError> failure;
    try {
      co_await roles_.runner->run(std::move(*chosen), std::move(scriptKey), std::nullopt, target);
    } catch (const ActionError& error) {
      failure = error;
    }
    if (failure) {
      actionFailed(*failure, action.key, profile);
    } else {
      clearErrorLook(action.key, keySpec.label, keySpec.symbol, profile);
    }
    co_return;
  }
  if (!profile.controls) co_return;
  const auto control = profile.controls->find(action.key);
  if (control == profile.controls->end()) co_return;
  co_await performControl(control->second, std::move(action), profile, std::move(target));
}

asio::awaitable<void> DeckEngine::performControl(const profiles::Control& control,
                                                 protocol::DeckAction action,
                                                 profiles::Profile profile,
                                                 std::optional<FrontApp> target) {
  if (!control.action || action.phase != DeckActionPhase::value) co_return;
  switch (control.kind) {
    case profiles::Control::Kind::jog: {
      const bool forward = action.value.value_or(0) > 0;
      std::optional<ActionError> failure;
      try {
        co_await roles_.runner->jog(*control.action, forward, std::move(target));
      } catch (const ActionError& error) {
        failure = error;
      }
      if (failure) actionFailed(*failure, action.key, profile);
      break;
    }
    case profiles::Control::Kind::slider:
      co_await runSlider(*control.action, std::move(action.key), action.value, std::move(profile),
                         std::move(target));
      break;
    case profiles::Control::Kind::trackpad:
      break;
  }
}

// A drag sends many values at once, and the commands they start can finish in any order. One
// run per slider is in flight; a value arriving meanwhile replaces the one waiting, so the
// last value sent is the last that runs.
asio::awaitable<void> DeckEngine::runSlider(profiles::Action action, std::string key,
                                            std::optional<double> value, profiles::Profile profile,
                                            std::optional<FrontApp> target) {
  const std::string scriptKey = profile.id + "/" + key;
  const auto [slot, first] = sliders_.try_emplace(scriptKey);
  if (!first) {
    slot->second = value;
    co_return;
  }
  while (value) {
    std::optional<ActionError> failure;
    try {
      co_await roles_.runner->run(action, scriptKey, value, target);
    } catch (const ActionError& error) {
      failure = error;
    }
    if (failure) actionFailed(*failure, key, profile);
    value = std::exchange(sliders_.at(scriptKey), std::nullopt);
  }
  sliders_.erase(scriptKey);
}

void DeckEngine::actionFailed(const ActionError& error, const std::string& key,
                              const profiles::Profile& profile) {
  deckLog().error("%s/%s: %s", profile.id.c_str(), key.c_str(), error.description().c_str());
  sendErrorLook(error, key, profile);
}

asio::awaitable<void> DeckEngine::performMeetingKey(std::string key, DeckActionPhase phase) {
  if (phase != DeckActionPhase::press) co_return;
  auto stored = roles_.store->profile(meetingProfileID);
  if (!stored) co_return;
  const auto found = stored->profile.keys.find(key);
  if (found == stored->profile.keys.end() || !found->second.intent) co_return;
  const auto intent = *found->second.intent;
  co_await performMeetingIntent(intent, std::move(key), std::move(stored->profile));
}

}  // namespace brindlet::deck
