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

struct Button : AccessibleElement {
  explicit Button(std::string label) : label(std::move(label)) {}
  std::string label;
};

class MeetingWorkspace : public ScriptedWorkspace {
 public:
  MeetingWorkspace(Transcript& transcript, std::shared_ptr<runtime::ManualClock> clock)
      : transcript_(transcript), clock_(std::move(clock)) {}

  std::vector<FrontApp> running;
  std::map<std::int32_t, std::vector<std::string>> windows;
  // Button labels (lower case) by window title.
  std::map<std::string, std::vector<std::string>> buttons;
  // Pressing the first label lets the second appear in the same window this long after.
  std::map<std::string, std::pair<std::string, double>> opens;
  std::optional<FrontApp> front;

  std::optional<FrontApp> currentFrontApp() override { return front; }
  std::vector<FrontApp> runningApps() override { return running; }
  std::vector<std::string> windowTitles(std::int32_t pid) override { return windows[pid]; }
  asio::awaitable<bool> activate(std::string bundleID, runtime::Duration timeout) override {
    transcript_.push_back("activate " + bundleID + " " +
                          numberText(std::chrono::duration<double>(timeout).count()) + " at " +
                          now());
    co_return true;
  }
  asio::awaitable<std::optional<Element>> findButton(std::int32_t, std::string title,
                                                     std::vector<std::string> labels) override {
    for (const auto& wanted : labels)
      for (const auto& label : buttons[title])
        if (label.starts_with(wanted) && appeared(label)) co_return std::make_shared<Button>(label);
    co_return std::nullopt;
  }
  asio::awaitable<bool> press(Element element) override {
    const auto& label = dynamic_cast<const Button&>(*element).label;
    transcript_.push_back("press " + label + " at " + now());
    if (const auto opened = opens.find(label); opened != opens.end())
      appearsAt_[opened->second.first] = seconds() + opened->second.second;
    co_return true;
  }

 private:
  double seconds() const {
    return std::chrono::duration<double>(clock_->now().time_since_epoch()).count();
  }
  std::string now() const { return numberText(std::round(seconds() * 1000) / 1000); }
  bool appeared(const std::string& label) const {
    const auto at = appearsAt_.find(label);
    bool hidden = false;
    for (const auto& [opener, opened] : opens) hidden |= opened.first == label;
    if (!hidden) return true;
    return at != appearsAt_.end() && at->second <= seconds() + 1e-9;
  }
  Transcript& transcript_;
  std::shared_ptr<runtime::ManualClock> clock_;
  std::map<std::string, double> appearsAt_;
};

const std::string meetingProfile = R"({"schema":1,"id":"com.velvane.profile.meeting",
  "name":"Meeting","apps":["meeting.none"],
  "layouts":{"compact":["mute","camera","leave"],"regular":["mute","camera","hand","share","chat","participants","leave","note"],"meeting":["mute"]},
  "glance":{"lines":[],"keys":["mute","chat","note"]},
  "keys":{
    "mute":{"label":"Mute","symbol":"mic","intent":"meeting.mute"},
    "camera":{"label":"Camera","symbol":"video","intent":"meeting.camera"},
    "hand":{"label":"Hand","symbol":"hand.raised","intent":"meeting.hand"},
    "share":{"label":"Share","symbol":"rectangle.on.rectangle","intent":"meeting.share"},
    "chat":{"label":"Chat","symbol":"message","intent":"meeting.chat"},
    "participants":{"label":"People","symbol":"person.2","intent":"meeting.participants"},
    "leave":{"label":"Leave","symbol":"phone.down","intent":"meeting.leave"},
    "note":{"label":"Note","symbol":"n","action":{"kind":"shortcut","keys":"n"}}}})";

profiles::Profile loadedMeetingProfile() {
  return profiles::Profile::load(meetingProfile);
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
  const struct {
    const char* name;
    std::vector<FrontApp> running;
    std::map<std::int32_t, std::vector<std::string>> windows;
    std::map<std::string, std::vector<std::string>> buttons;
    std::optional<LiveMeeting> current;
    std::vector<std::string> recency;
    std::optional<LiveMeeting> found;
  } rows[] = {
      {"a Meet title without its button is not live",
       {chrome},
       {{7, {"Meet - standup"}}},
       {},
       {},
       {},
       {}},
      {"a Meet title with its button is",
       {chrome},
       {{7, {"Meet - standup"}}},
       {{"Meet - standup", {"turn on microphone x"}}},
       {},
       {},
       LiveMeeting{"Google Meet", chrome, "Meet - standup"}},
      {"one candidate per app, from the first adapter",
       {chrome},
       {{7, {"Zoom - x", "Meet - a"}}},
       {{"Zoom - x", {"mute my microphone"}}, {"Meet - a", {"turn off microphone"}}},
       {},
       {},
       LiveMeeting{"Google Meet", chrome, "Meet - a"}},
      {"the first live window of an app",
       {zoom},
       {{5, {"Zoom Workplace", "Zoom Meeting 2", "Zoom Meeting 1"}}},
       {},
       {},
       {},
       LiveMeeting{"Zoom", zoom, "Zoom Meeting 2"}},
      {"the most recently activated app wins",
       {zoom, slack},
       {{5, {"Zoom Meeting"}}, {9, {"huddle"}}},
       {},
       {},
       {"Slack", "zoom"},
       LiveMeeting{"Slack", slack, "huddle"}},
      {"a never-activated app loses to a listed one",
       {zoom, slack},
       {{5, {"Zoom Meeting"}}, {9, {"huddle"}}},
       {},
       {},
       {"zoom"},
       LiveMeeting{"Zoom", zoom, "Zoom Meeting"}},
      {"ties go to the earlier candidate",
       {slack, zoom},
       {{5, {"Zoom Meeting"}}, {9, {"huddle"}}},
       {},
       {},
       {},
       LiveMeeting{"Slack", slack, "huddle"}},
      {"the current meeting's app stays while live",
       {zoom, slack},
       {{5, {"Zoom Meeting 3"}}, {9, {"huddle"}}},
       {},
       LiveMeeting{"Zoom", zoom, "Zoom Meeting"},
       {"Slack", "zoom"},
       LiveMeeting{"Zoom", zoom, "Zoom Meeting 3"}},
      {"a current meeting that ended gives way",
       {zoom, firefox},
       {{5, {"Zoom"}}, {8, {"zoom.us"}}},
       {{"zoom.us", {"unmute my microphone"}}},
       LiveMeeting{"Zoom", zoom, "Zoom Meeting"},
       {"zoom"},
       LiveMeeting{"Zoom", firefox, "zoom.us"}},
      {"no Linux app serves Teams",
       {FrontApp{"teams-for-linux", "Teams", 3}},
       {{3, {"Call | Ann"}}},
       {},
       {},
       {},
       {}},
  };
  for (const auto& row : rows) {
    Transcript transcript;
    runtime::MainLoop loop;
    MeetingWorkspace workspace(transcript, std::make_shared<runtime::ManualClock>());
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

// The engine on the harness with the meeting workspace; the meeting deck's profile is written
// as the ids of its keys.
struct MeetingHarness {
  explicit MeetingHarness(const std::vector<std::string>& profiles) : h(profiles) {
    h.folder.write("meeting.json", meetingProfile);
    h.store->reload();
    h.workspace = workspace;
    h.engine = std::make_shared<DeckEngine>(
        h.loop, DeckEngine::Roles{h.store, workspace, h.runner, h.readers, h.clock}, "brindlet");
  }
  void sent(const protocol::ControlMessage& message) {
    const auto* deck = message.as<protocol::MeetingDeck>();
    if (!deck || !deck->profile) return h.sent(message);
    std::string line = "meetingDeck " + deck->appName.value_or("-") + " " +
                       deck->app.value_or("-") + " " + numberText(deck->elapsed.value_or(-1));
    const auto profile = deck->profile->toJson();
    for (const auto& [id, key] : profile.at("keys").items()) line += " " + id;
    h.transcript.push_back(line);
  }
  // Commands as in the engine's scripts, and: "app <id> <pid> | <title> | ..." (a running app
  // and its windows), "buttons <title> | <label> | ...", "opens <label> | <label> | <seconds>",
  // "reader <path> | <value>" and "meet <key>" (a press on the meeting deck).
  void play(const std::string& line) {
    h.transcript.push_back(line);
    std::istringstream in(line);
    std::string verb, a;
    in >> verb >> a;
    std::string rest;
    std::getline(in >> std::ws, rest);
    // "|" splits what follows the verb; "app" splits what follows its id.
    const auto split = [](const std::string& text) {
      std::vector<std::string> parts;
      std::istringstream words(text);
      for (std::string part; std::getline(words, part, '|');) {
        part.erase(0, part.find_first_not_of(' '));
        part.erase(part.find_last_not_of(' ') + 1);
        parts.push_back(part);
      }
      return parts;
    };
    const auto parts = split(verb == "app" ? rest : line.substr(line.find(' ') + 1));
    if (verb == "link") {
      h.spawn(h.engine->linkReady([this](const protocol::ControlMessage& m) { sent(m); }));
    } else if (verb == "start") {
      h.engine->start();
    } else if (verb == "front") {
      h.workspace->apps->push(FrontApp{a, a, std::stoi(rest)});
      workspace->front = FrontApp{a, a, std::stoi(rest)};
    } else if (verb == "title") {
      h.workspace->titles[std::stoi(a)] = rest;
    } else if (verb == "app") {
      const auto pid = std::stoi(parts.at(0));
      std::erase_if(workspace->running, [&](const FrontApp& app) { return app.pid == pid; });
      workspace->running.push_back(FrontApp{a, a, pid});
      workspace->windows[pid].assign(parts.begin() + 1, parts.end());
    } else if (verb == "buttons") {
      workspace->buttons[parts.at(0)].assign(parts.begin() + 1, parts.end());
    } else if (verb == "opens") {
      workspace->opens[parts.at(0)] = {parts.at(1), std::stod(parts.at(2))};
    } else if (verb == "reader") {
      auto& value = h.readers->values[parts.at(0)];
      value = parts.size() > 1 ? ReaderValue{parts[1], std::nullopt} : ReaderValue{};
    } else if (verb == "wait") {
      // Steps short enough for every 0.1 s pause to end on time.
      for (double left = std::stod(a); left > 1e-9; left -= 0.05) h.jump(std::min(left, 0.05));
    } else if (verb == "meet") {
      h.spawn(h.engine->perform(protocol::DeckAction{std::string(DeckEngine::meetingProfileID), a,
                                                     DeckActionPhase::press, std::nullopt}));
    } else {
      FAIL() << "unknown script command " << line;
    }
    h.loop.drain();
  }

  DeckHarness h;
  std::shared_ptr<MeetingWorkspace> workspace =
      std::make_shared<MeetingWorkspace>(h.transcript, h.clock);
};

struct Script {
  const char* name;
  std::vector<std::string> profiles;
  std::vector<std::string> lines;  // commands, each followed by what it leads to
};

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
         R"({"app":"com.editor","appName":"com.editor","profile":"com.test.editor","t":"deckProfile"})",
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
         "press reactions at 2",
         "wait 1.5",
         meetingLooks(R"({"hand":{"label":"Error: Can't find Zoom's button","ring":"critical"}})"),
         "opens reactions | raise hand | 0.3",
         "buttons Zoom - call | mute my microphone | raise hand | reactions",
         "meet hand",
         "press reactions at 3.5",
         "wait 0.3",
         "press raise hand at 3.8",
         "wait 0.15",
         meetingLooks(R"({"hand":{"label":"Hand","ring":"none","symbol":"hand.raised"}})"),
         "buttons Zoom - call | mute my microphone | leave | leave meeting",
         "meet leave",
         "press leave at 3.95",
         "press leave meeting at 3.95",
         "wait 0.15",
     }},
};

TEST(MeetingDeck, Scripts) {
  for (const auto& script : meetingScripts) {
    SCOPED_TRACE(script.name);
    std::vector<std::string> profiles = script.profiles;
    const bool zoomApp = std::erase(profiles, "zoomapp.json") > 0;
    MeetingHarness m(profiles);
    if (zoomApp) {
      m.h.folder.write("zoomapp.json", R"({"schema":1,"id":"com.test.zoom","name":"Zoom",
        "apps":["zoom"],"windowTitleContains":"zoom meeting","layouts":{"compact":[],"regular":[]},
        "keys":{}})");
      m.h.store->reload();
    }
    for (const auto& line : script.lines) {
      if (line.starts_with('{') || line.starts_with("log ") || line.starts_with("meetingDeck ") ||
          line.starts_with("keys ") || line.starts_with("press ") || line.starts_with("activate "))
        continue;
      m.play(line);
    }
    EXPECT_THAT(m.h.transcript, ::testing::ElementsAreArray(script.lines));
  }
}

}  // namespace
}  // namespace brindlet::deck::testing
