#include "deck/MeetingAdapter.h"

#include <algorithm>
#include <limits>

#include "runtime/Unicode.h"

namespace brindlet::deck {

namespace asio = boost::asio;
using profiles::MeetingIntent;

namespace {

using enum MeetingIntent;

std::vector<std::string> withBrowsers(std::vector<std::string> ids) {
  for (auto browser : {"com.google.Chrome", "com.apple.Safari", "company.thebrowser.Browser",
                       "com.microsoft.edgemac", "Google-chrome", "Chromium", "firefox",
                       "firefox-esr", "Microsoft-edge"})
    ids.emplace_back(browser);
  return ids;
}

profiles::Reader menuReader(std::string path) {
  profiles::Reader reader;
  reader.reader = profiles::Reader::Kind::axValue;
  reader.path = std::move(path);
  return reader;
}

MeetingAdapter zoomApp() {
  MeetingAdapter a;
  a.name = "Zoom";
  a.bundleIDs = {"us.zoom.xos", "zoom"};
  a.isLive = [](std::string_view title) {
    return title == "Zoom Webinar" || title.starts_with("Zoom Meeting");
  };
  a.shortcuts = {{mute, "opt+a"}, {camera, "opt+v"},       {hand, "opt+y"}, {share, "opt+s"},
                 {chat, "opt+h"}, {participants, "opt+u"}, {leave, "opt+q"}};
  a.macShortcuts = {{mute, "cmd+shift+a"},  {camera, "cmd+shift+v"}, {hand, "opt+y"},
                    {share, "cmd+shift+s"}, {chat, "cmd+shift+h"},   {participants, "cmd+u"},
                    {leave, "cmd+w"}};
  a.mutedReader = menuReader("menubar/Meeting/Unmute Audio");
  a.cameraOffReader = menuReader("menubar/Meeting/Start Video");
  return a;
}

MeetingAdapter googleMeet() {
  MeetingAdapter a;
  a.name = "Google Meet";
  a.bundleIDs = withBrowsers({});
  a.isLive = [](std::string_view title) {
    return title.starts_with("Meet - ") || title.starts_with("Meet \u2013 ") ||
           title.starts_with("Meet \u2014 ");
  };
  a.buttons = {{mute, {"turn off microphone", "turn on microphone"}},
               {camera, {"turn off camera", "turn on camera"}},
               {hand, {"raise hand", "lower hand"}},
               {share, {"present now", "share screen"}},
               {chat, {"chat with everyone"}},
               {participants, {"show everyone", "people"}},
               {leave, {"leave call"}}};
  a.mutedButtons = {"turn on microphone"};
  a.cameraOffButtons = {"turn on camera"};
  a.liveButtons = {"turn off microphone", "turn on microphone"};
  return a;
}

MeetingAdapter zoomInBrowsers() {
  MeetingAdapter a;
  a.name = "Zoom";
  a.bundleIDs = withBrowsers({});
  a.isLive = [](std::string_view title) { return runtime::containsIgnoringCase(title, "zoom"); };
  a.buttons = {
      {mute, {"mute my microphone", "unmute my microphone", "mute", "unmute"}},
      {camera, {"stop my video", "start my video", "stop video", "start video"}},
      {hand, {"raise hand", "lower hand"}},
      {share, {"share screen", "share"}},
      {chat, {"open the chat pane", "chat"}},
      {participants,
       {"open the manage participants", "open the participants list pane", "participants"}},
      {leave, {"leave", "end"}}};
  a.mutedButtons = {"unmute my microphone", "unmute"};
  a.cameraOffButtons = {"start my video", "start video"};
  a.liveButtons = {"mute my microphone", "unmute my microphone"};
  a.openers = {{hand, {"react", "reactions", "more meeting control"}}};
  a.confirms = {{leave, {"leave meeting"}}};
  return a;
}

// No Linux app of its own: it never matches here and needs no Linux shortcuts.
MeetingAdapter teams() {
  MeetingAdapter a;
  a.name = "Microsoft Teams";
  a.bundleIDs = {"com.microsoft.teams2"};
  a.isLive = [](std::string_view title) {
    const auto lower = runtime::lowercased(title);
    return lower.find("meeting") != std::string::npos ||
           lower.find("call with") != std::string::npos || lower.starts_with("call |");
  };
  a.macShortcuts = {{mute, "cmd+shift+m"},
                    {camera, "cmd+shift+o"},
                    {hand, "cmd+shift+k"},
                    {share, "cmd+shift+e"},
                    {leave, "cmd+shift+h"}};
  return a;
}

MeetingAdapter slack() {
  MeetingAdapter a;
  a.name = "Slack";
  a.bundleIDs = {"com.tinyspeck.slackmacgap", "Slack"};
  a.isLive = [](std::string_view title) { return runtime::containsIgnoringCase(title, "huddle"); };
  a.shortcuts = {{mute, "ctrl+shift+space"}};
  a.macShortcuts = {{mute, "cmd+shift+space"}};
  return a;
}

std::size_t recencyIndex(const LiveMeeting& meeting, const std::vector<std::string>& recency) {
  const auto at = std::ranges::find(recency, meeting.app.bundleID);
  return at == recency.end() ? std::numeric_limits<std::size_t>::max()
                             : static_cast<std::size_t>(at - recency.begin());
}

profiles::IdList keptIds(const profiles::IdList& ids,
                         const std::map<std::string, profiles::KeySpec>& keys) {
  profiles::IdList kept;
  for (const auto& id : ids)
    if (keys.contains(id)) kept.push_back(id);
  return kept;
}

}  // namespace

bool MeetingAdapter::serves(std::string_view bundleID) const {
  return std::ranges::find(bundleIDs, bundleID) != bundleIDs.end();
}

const std::vector<MeetingAdapter>& MeetingAdapter::all() {
  static const std::vector<MeetingAdapter> adapters = {zoomApp(), googleMeet(), zoomInBrowsers(),
                                                       teams(), slack()};
  return adapters;
}

const MeetingAdapter* MeetingAdapter::named(const LiveMeeting& meeting) {
  for (const auto& adapter : all())
    if (adapter.name == meeting.adapterName && adapter.serves(meeting.app.bundleID))
      return &adapter;
  return nullptr;
}

asio::awaitable<std::optional<LiveMeeting>> MeetingAdapter::findLive(
    WorkspaceWatching& workspace, std::optional<LiveMeeting> current,
    std::vector<std::string> recency) {
  std::vector<LiveMeeting> candidates;
  for (const auto& app : workspace.runningApps()) {
    std::optional<LiveMeeting> found;
    for (const auto& adapter : all()) {
      if (!adapter.serves(app.bundleID)) continue;
      for (const auto& title : workspace.windowTitles(app.pid)) {
        if (!adapter.isLive(title)) continue;
        bool passes = adapter.liveButtons.empty();
        if (!passes) {
          auto button = co_await workspace.findButton(app.pid, title, adapter.liveButtons);
          passes = button.has_value();
        }
        if (passes) {
          found = LiveMeeting{adapter.name, app, title};
          break;
        }
      }
      if (found) break;
    }
    if (found) candidates.push_back(std::move(*found));
  }
  if (candidates.empty()) co_return std::nullopt;
  if (current) {
    for (const auto& candidate : candidates)
      if (candidate.app.bundleID == current->app.bundleID) co_return candidate;
  }
  co_return *std::ranges::min_element(
      candidates, [&](const auto& a, const auto& b) { return recencyOrder(a, b, recency); });
}

bool MeetingAdapter::recencyOrder(const LiveMeeting& a, const LiveMeeting& b,
                                  const std::vector<std::string>& recency) {
  return recencyIndex(a, recency) < recencyIndex(b, recency);
}

std::map<std::string, profiles::KeySpec> MeetingAdapter::supportedKeys(
    const std::map<std::string, profiles::KeySpec>& keys) const {
  std::map<std::string, profiles::KeySpec> kept;
  for (const auto& [id, key] : keys)
    if (key.intent && (shortcuts.contains(*key.intent) || buttons.contains(*key.intent)))
      kept.emplace(id, key);
  return kept;
}

profiles::Profile MeetingAdapter::adapt(profiles::Profile profile) const {
  profile.keys = supportedKeys(profile.keys);
  profile.layouts.compact = keptIds(profile.layouts.compact, profile.keys);
  profile.layouts.regular = keptIds(profile.layouts.regular, profile.keys);
  profile.layouts.meeting.reset();
  if (profile.glance) profile.glance->keys = keptIds(profile.glance->keys, profile.keys);
  return profile;
}

}  // namespace brindlet::deck
