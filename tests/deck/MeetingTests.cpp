// Meeting adapters as tables, and the meeting deck driven by scripts on the manual clock: the
// workspace double holds running apps, their windows and the buttons in each window, and
// writes every press and activation into the transcript with the clock's reading.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "deck/DeckHarness.h"
#include "deck/MeetingAdapter.h"

namespace brindlet::deck::testing {
namespace {

using profiles::MeetingIntent;
using protocol::DeckActionPhase;

profiles::Profile loadedMeetingProfile() {
  return profiles::Profile::load(library.at("meeting.json"));
}

TEST(MeetingAdapters, LiveTitles) {
  const struct {
    std::size_t adapter;  // place in all()
    std::string_view title;
    bool live;
  } rows[] = {
      {0, "Zoom Meeting", true},        {0, "Zoom Meeting 1", true},
      {0, "Zoom Webinar", true},        {0, "Zoom Webinar 2", false},
      {0, "Zoom Workplace", false},     {0, "zoom meeting", false},
      {1, "Meet - standup", true},      {1, "Meet \u2013 standup", true},
      {1, "Meet \u2014 standup", true}, {1, "Meet-standup", false},
      {1, "Google Meet", false},        {2, "Zoom - Tab", true},
      {2, "my ZOOM call", true},        {2, "Zoo m", false},
      {3, "Call | Ann", true},          {3, "CALL WITH Ann", true},
      {3, "Weekly Meeting", true},      {3, "Chat | Ann", false},
      {4, "Huddle with Ann", true},     {4, "HUDDLE", true},
      {4, "Slack - general", false},
  };
  const auto& all = MeetingAdapter::all();
  ASSERT_EQ(all.size(), 5u);
  for (const auto& row : rows)
    EXPECT_EQ(all[row.adapter].isLive(row.title), row.live) << row.adapter << " " << row.title;
}

TEST(MeetingAdapters, NamedAndAdapted) {
  const auto named = [](std::string name, std::string app) {
    const auto* adapter = MeetingAdapter::named(LiveMeeting{name, FrontApp{app, app, 1}, "t"});
    return adapter ? adapter - MeetingAdapter::all().data() : -1;
  };
  EXPECT_EQ(named("Zoom", "com.apple.Safari"), 2);
  EXPECT_EQ(named("Zoom", "firefox-esr"), 2);
  EXPECT_EQ(named("Zoom", "zoom"), 0);
  EXPECT_EQ(named("Zoom", "us.zoom.xos"), 0);
  EXPECT_EQ(named("Google Meet", "zoom"), -1);
  EXPECT_EQ(named("Slack", "Slack"), 4);

  const auto profile = loadedMeetingProfile();
  const struct {
    std::size_t adapter;
    std::vector<std::string> keys, compact, regular, glance;
  } rows[] = {
      {4, {"mute"}, {"mute"}, {"mute"}, {"mute"}},
      {0,
       {"camera", "chat", "hand", "leave", "mute", "participants", "share"},
       {"mute", "camera", "leave"},
       {"mute", "camera", "hand", "share", "chat", "participants", "leave"},
       {"mute", "chat"}},
  };
  for (const auto& row : rows) {
    const auto adapted = MeetingAdapter::all()[row.adapter].adapt(profile);
    std::vector<std::string> keys;
    for (const auto& [id, key] : adapted.keys) keys.push_back(id);
    EXPECT_EQ(keys, row.keys);
    EXPECT_EQ(adapted.layouts.compact, row.compact);
    EXPECT_EQ(adapted.layouts.regular, row.regular);
    EXPECT_FALSE(adapted.layouts.meeting);
    EXPECT_EQ(adapted.glance->keys, row.glance);
    EXPECT_EQ(adapted.glance->lines, profile.glance->lines);
    EXPECT_EQ(adapted.id, profile.id);
  }
}

TEST(MeetingAdapters, Scan) {
  const FrontApp chrome{"Google-chrome", "Chrome", 7}, zoom{"zoom", "Zoom", 5},
      slack{"Slack", "Slack", 9}, firefox{"firefox", "Firefox", 8};
  using Windows = std::map<std::int32_t, std::vector<std::string>>;
  using Buttons = std::map<std::string, std::vector<std::string>>;
  const struct {
    const char* name;
    std::vector<FrontApp> running;
    Windows windows;
    Buttons buttons;
    std::optional<LiveMeeting> current;
    std::vector<std::string> recency;
    std::optional<LiveMeeting> found;
  } rows[] = {
      // clang-format off
      {"a Meet title without its button is not live", {chrome}, {{7, {"Meet - standup"}}}, {}, {}, {}, {}},
      {"a Meet title with its button is", {chrome}, {{7, {"Meet - standup"}}},
       {{"Meet - standup", {"turn on microphone x"}}}, {}, {}, LiveMeeting{"Google Meet", chrome, "Meet - standup"}},
      {"one candidate per app, from the first adapter", {chrome}, {{7, {"Zoom - x", "Meet - a"}}},
       {{"Zoom - x", {"mute my microphone"}}, {"Meet - a", {"turn off microphone"}}}, {}, {},
       LiveMeeting{"Google Meet", chrome, "Meet - a"}},
      {"the first live window of an app", {zoom}, {{5, {"Zoom Workplace", "Zoom Meeting 2", "Zoom Meeting 1"}}},
       {}, {}, {}, LiveMeeting{"Zoom", zoom, "Zoom Meeting 2"}},
      {"the most recently activated app wins", {zoom, slack}, {{5, {"Zoom Meeting"}}, {9, {"huddle"}}}, {}, {},
       {"Slack", "zoom"}, LiveMeeting{"Slack", slack, "huddle"}},
      {"a never-activated app loses to a listed one", {zoom, slack}, {{5, {"Zoom Meeting"}}, {9, {"huddle"}}}, {},
       {}, {"zoom"}, LiveMeeting{"Zoom", zoom, "Zoom Meeting"}},
      {"ties go to the earlier candidate", {slack, zoom}, {{5, {"Zoom Meeting"}}, {9, {"huddle"}}}, {}, {}, {},
       LiveMeeting{"Slack", slack, "huddle"}},
      {"the current meeting's app stays while live", {zoom, slack}, {{5, {"Zoom Meeting 3"}}, {9, {"huddle"}}}, {},
       LiveMeeting{"Zoom", zoom, "Zoom Meeting"}, {"Slack", "zoom"}, LiveMeeting{"Zoom", zoom, "Zoom Meeting 3"}},
      {"a current meeting that ended gives way", {zoom, firefox}, {{5, {"Zoom"}}, {8, {"zoom.us"}}},
       {{"zoom.us", {"unmute my microphone"}}}, LiveMeeting{"Zoom", zoom, "Zoom Meeting"}, {"zoom"},
       LiveMeeting{"Zoom", firefox, "zoom.us"}},
      {"no Linux app serves Teams", {FrontApp{"teams-for-linux", "Teams", 3}}, {{3, {"Call | Ann"}}}, {}, {}, {}, {}},
      // clang-format on
  };
  for (const auto& row : rows) {
    runtime::MainLoop loop;
    ScriptedWorkspace workspace;
    workspace.running = row.running;
    workspace.windows = row.windows;
    workspace.buttons = row.buttons;
    std::optional<LiveMeeting> found;
    // The coroutine reads its captures through the lambda, so the lambda must outlive it.
    auto find = [&]() -> asio::awaitable<void> {
      found = co_await MeetingAdapter::findLive(workspace, row.current, row.recency);
    };
    runtime::spawn(loop.context().get_executor(), find());
    loop.drain();
    EXPECT_EQ(found, row.found) << row.name;
  }
}

const std::string allKeys = " camera chat hand leave mute participants share";
std::string meetingLooks(const std::string& states) {
  return R"({"profile":"com.velvane.profile.meeting","states":)" + states + R"(,"t":"deckState"})";
}
const std::string notMuted = meetingLooks(
    R"({"camera":{"label":"Camera","ring":"none","symbol":"video"},"mute":{"label":"Mute","ring":"none","symbol":"mic"}})");
const std::string meetMuted = meetingLooks(
    R"({"camera":{"label":"Camera","ring":"none","symbol":"video"},"mute":{"label":"Muted","ring":"critical","symbol":"mic.slash.fill"}})");
const std::string noDeck = R"({"t":"meetingDeck"})";

const Script meetingScripts[] = {
    {"new, kept, sent again on a new link, switched, ended",
     {},
     {
         "link up",
         "start",
         "app zoom 5 | Zoom Meeting 1",
         "wait 1",
         "log info Meeting live in Zoom",
         "meetingDeck Zoom zoom 0" + allKeys,
         notMuted,
         "wait 2",
         "link up",
         "meetingDeck Zoom zoom 2" + allKeys,
         notMuted,
         "app Google-chrome 7 | Meet - standup",
         "buttons Meet - standup | turn on microphone",
         "front Google-chrome 7",
         "wait 1",
         "app zoom 5 | Zoom",
         "wait 1",
         "log info Meeting live in Google Meet",
         "meetingDeck Google Meet Google-chrome 0" + allKeys,
         meetMuted,
         "app Google-chrome 7 | Inbox",
         "wait 1",
         noDeck,
         "wait 1",
     }},
    {"a matching app profile holds the deck back",
     {"editor.json", "zoomapp.json"},
     {
         "link up",
         "start",
         "title 5 Zoom Meeting 1",
         "front zoom 5",
         "log info Deck profile com.test.zoom for zoom",
         R"({"app":"zoom","appName":"zoom","profile":"com.test.zoom","t":"deckProfile"})",
         "app zoom 5 | Zoom Meeting 1",
         "wait 1",
         "log info Meeting live in Zoom",
         "front com.editor 11",
         "log info Deck profile com.test.editor for com.editor",
         R"({"app":"com.editor","appName":"editor","profile":"com.test.editor","t":"deckProfile"})",
         "meetingDeck Zoom zoom 0" + allKeys,
         notMuted,
         R"({"profile":"com.test.editor","states":{"save":{"label":"Save","ring":"none","symbol":"doc"}},"t":"deckState"})",
         "front zoom 5",
         "log info Deck profile com.test.zoom for zoom",
         R"({"app":"zoom","appName":"zoom","profile":"com.test.zoom","t":"deckProfile"})",
         noDeck,
     }},
    {"intents: no meeting, shortcuts bring the previous app back, buttons, errors cleared",
     {},
     {
         "link up",
         "start",
         "meet mute",
         meetingLooks(R"({"mute":{"label":"Error: No meeting","ring":"critical"}})"),
         "front com.editor 11",
         "app zoom 5 | Zoom Meeting 1",
         "reader menubar/Meeting/Unmute Audio | yes",
         "wait 1",
         "log info Meeting live in Zoom",
         "meetingDeck Zoom zoom 0" + allKeys,
         meetingLooks(
             R"({"camera":{"label":"Camera","ring":"none","symbol":"video"},"mute":{"label":"Muted","ring":"critical","symbol":"mic.slash.fill"}})"),
         "reader menubar/Meeting/Unmute Audio",
         "meet mute",
         "keys opt+a zoom",
         "activate com.editor 0.3 at 1",
         meetingLooks(R"({"mute":{"label":"Mute","ring":"none","symbol":"mic"}})"),
         "app zoom 5 | Zoom",
         "app firefox 8 | Zoom - call",
         "buttons Zoom - call | mute my microphone | leave | leave meeting | reactions",
         "wait 1",
         "log info Meeting live in Zoom",
         "meetingDeck Zoom firefox 0" + allKeys,
         notMuted,
         "meet hand",
         "pressed reactions at 2",
         "wait 1.5",
         meetingLooks(R"({"hand":{"label":"Error: Can't find Zoom's button","ring":"critical"}})"),
         "opens reactions | raise hand | 0.3",
         "buttons Zoom - call | mute my microphone | raise hand | reactions",
         "meet hand",
         "pressed reactions at 3.5",
         "wait 0.3",
         "pressed raise hand at 3.8",
         "wait 0.15",
         meetingLooks(R"({"hand":{"label":"Hand","ring":"none","symbol":"hand.raised"}})"),
         "buttons Zoom - call | mute my microphone | leave | leave meeting",
         "meet leave",
         "pressed leave at 3.95",
         "pressed leave meeting at 3.95",
         "wait 0.15",
     }},
};

TEST(MeetingDeck, Scripts) {
  for (const auto& script : meetingScripts) {
    SCOPED_TRACE(script.name);
    auto profiles = script.profiles;
    profiles.push_back("meeting.json");
    DeckHarness(profiles).expectScript(script.lines);
  }
}

}  // namespace
}  // namespace brindlet::deck::testing
