#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <boost/asio/awaitable.hpp>

#include "deck/ActionError.h"
#include "deck/ActionRunning.h"
#include "deck/FrontApp.h"
#include "deck/LiveMeeting.h"
#include "deck/ReaderSource.h"
#include "deck/WorkspaceWatching.h"
#include "profiles/StoredProfile.h"
#include "protocol/ControlEnvelope.h"
#include "runtime/Clock.h"

namespace brindlet::runtime {
class MainLoop;
}

namespace brindlet::deck {

// Keeps the phone's deck in step with the app in front: follows the front app, picks its
// profile (by app id and focused window title), sends the profile and its keys' live looks,
// and performs the phone's key presses and control moves. Lives on the main loop and is
// touched only from it; made with std::make_shared, since its tasks hold it weakly.
class DeckEngine : public std::enable_shared_from_this<DeckEngine> {
 public:
  using Send = std::function<void(const protocol::ControlMessage&)>;
  using Looks = std::map<std::string, protocol::KeyState>;

  // The profile on the deck and the app it was chosen for.
  struct Current {
    profiles::StoredProfile stored;
    FrontApp app;
    friend bool operator==(const Current&, const Current&) = default;
  };

  struct Roles {
    std::shared_ptr<profiles::ProfileProviding> store;
    std::shared_ptr<WorkspaceWatching> workspace;
    std::shared_ptr<ActionRunning> runner;
    std::shared_ptr<ReaderSource> readers;
    std::shared_ptr<runtime::Clock> clock;
  };

  // The built-in meeting deck's profile; its actions and looks carry this id.
  static constexpr std::string_view meetingProfileID = "com.velvane.profile.meeting";
  static constexpr runtime::Duration tickInterval = std::chrono::milliseconds(250);
  // A meeting scan runs on every this many ticks, before the tick's refresh.
  static constexpr std::uint64_t ticksPerMeetingScan = 4;

  // `ownBundleID`: the app's own id, which never gets a deck. Starts nothing.
  DeckEngine(runtime::MainLoop& loop, Roles roles, std::optional<std::string> ownBundleID);
  ~DeckEngine();
  DeckEngine(const DeckEngine&) = delete;
  DeckEngine& operator=(const DeckEngine&) = delete;

  // Starts the front-app watch and the tick; the first tick runs at once. Later calls do
  // nothing.
  void start();
  // Ends the front-app watch and the tick, and sends nothing more; for good.
  void stop();

  // A new phone link: everything is sent afresh (profile, meeting deck, every look).
  boost::asio::awaitable<void> linkReady(Send send);
  // The link went: nothing is sent until the next one; the bookkeeping goes on.
  void linkGone() { send_ = nullptr; }
  // Where every message goes from now on (none: nowhere), for an owner that sends the fresh
  // link's deck itself.
  void setSend(Send send) { send_ = std::move(send); }
  // Forgets what the phone was sent (looks, meeting looks, meeting deck), so that the next
  // sends treat it as having nothing.
  void resetSentLooks();

  boost::asio::awaitable<void> frontAppChanged(FrontApp app);
  // Re-matches the current app's profile by its window title, then sends the looks that
  // changed.
  boost::asio::awaitable<void> refresh();
  void sendProfile();
  boost::asio::awaitable<ReaderValue> readerValue(profiles::Reader reader, FrontApp app);
  // Error looks are recorded and sent only while `profile` is the one on the deck (or the
  // meeting deck's): an action that ends after the user moved on leaves the new deck alone.
  void sendErrorLook(const ActionError& error, const std::string& key,
                     const profiles::Profile& profile);
  void clearErrorLook(const std::string& key, const std::string& label, const std::string& symbol,
                      const profiles::Profile& profile);

  // One deck action from the phone. Never throws: failures become error looks.
  boost::asio::awaitable<void> perform(protocol::DeckAction action);
  boost::asio::awaitable<void> performMeetingKey(std::string key, protocol::DeckActionPhase phase);

  // The meeting scan, then updateMeeting().
  boost::asio::awaitable<void> checkMeeting();
  // Sends the meeting deck (or its end) when the meeting to show changed, then its looks.
  boost::asio::awaitable<void> updateMeeting();
  // The mute and camera looks of the meeting deck that changed.
  boost::asio::awaitable<void> refreshMeetingLooks();
  boost::asio::awaitable<void> performMeetingIntent(profiles::MeetingIntent intent, std::string key,
                                                    profiles::Profile profile);

  // The engine's time base: the clock's steady time in seconds.
  double clock() const;

  const std::optional<Current>& current() const { return current_; }
  const Looks& sentLooks() const { return sentLooks_; }
  const Looks& sentMeetingLooks() const { return sentMeetingLooks_; }
  const std::vector<std::string>& recency() const { return recency_; }
  const std::map<std::string, double>& activatedAt() const { return activatedAt_; }
  const std::optional<LiveMeeting>& meeting() const { return meeting_; }
  const std::optional<std::string>& meetingShown() const { return meetingShown_; }
  std::uint64_t tickCount() const { return tickCount_; }
  const std::optional<std::string>& ownBundleID() const { return ownBundleID_; }

 private:
  struct Tasks;
  static boost::asio::awaitable<void> watch(std::weak_ptr<DeckEngine> weak,
                                            std::shared_ptr<runtime::AsyncQueue<FrontApp>> apps);
  static boost::asio::awaitable<void> tick(std::weak_ptr<DeckEngine> weak,
                                           std::shared_ptr<runtime::Clock> clock);

  // The bookkeeping of a front-app change; true when the deck's profile or app changed.
  bool takeFrontApp(const FrontApp& app);
  void setCurrent(std::optional<Current> current);
  using Values = std::vector<std::pair<std::string, ReaderValue>>;
  boost::asio::awaitable<void> refreshLooks();
  void applyLooks(const profiles::Profile& profile, const Values& values);
  ReaderValue timerValue(const std::string& bundleID) const;
  void emit(protocol::ControlMessage message) const;
  bool isOnDeck(const profiles::Profile& profile) const;
  void actionFailed(const ActionError& error, const std::string& key,
                    const profiles::Profile& profile);
  boost::asio::awaitable<void> performControl(const profiles::Control& control,
                                              protocol::DeckAction action,
                                              profiles::Profile profile,
                                              std::optional<FrontApp> target);
  boost::asio::awaitable<void> runSlider(profiles::Action action, std::string key,
                                         std::optional<double> value, profiles::Profile profile,
                                         std::optional<FrontApp> target);
  std::optional<protocol::MeetingDeck> meetingDeckFor(const LiveMeeting& meeting) const;
  bool meetingSuppressed() const;
  boost::asio::awaitable<std::optional<protocol::KeyState>> meetingLook(
      LiveMeeting meeting, std::optional<profiles::Reader> reader, std::vector<std::string> buttons,
      bool camera);
  boost::asio::awaitable<bool> pressButton(const LiveMeeting& meeting,
                                           std::vector<std::string> labels);
  boost::asio::awaitable<bool> pressButtonRepeatedly(const LiveMeeting& meeting,
                                                     std::vector<std::string> labels);
  boost::asio::awaitable<void> pause(runtime::Duration duration);
  boost::asio::awaitable<bool> pressIntentButtons(const LiveMeeting& meeting,
                                                  profiles::MeetingIntent intent);
  boost::asio::awaitable<std::optional<ActionError>> pressIntentKeys(const LiveMeeting& meeting,
                                                                     std::string keys);

  runtime::MainLoop& loop_;
  Roles roles_;
  Send send_;
  std::optional<Current> current_;
  std::uint64_t currentGeneration_ = 0;  // counts changes of current_
  std::uint64_t refreshesStarted_ = 0;
  std::uint64_t refreshApplied_ = 0;  // the latest refresh whose looks were taken in
  Looks sentLooks_;
  std::map<std::string, double> activatedAt_;
  std::vector<std::string> recency_;
  std::optional<LiveMeeting> meeting_;
  double meetingStart_ = 0;
  std::optional<std::string> meetingShown_;
  Looks sentMeetingLooks_;
  std::uint64_t tickCount_ = 0;
  std::optional<std::string> ownBundleID_;
  // Slider runs in flight, by script key, each with the latest value still to run.
  std::map<std::string, std::optional<double>> sliders_;
  std::unique_ptr<Tasks> tasks_;
};

}  // namespace brindlet::deck
