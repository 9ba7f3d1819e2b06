#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <boost/asio/awaitable.hpp>

#include "deck/LiveMeeting.h"
#include "deck/WorkspaceWatching.h"
#include "profiles/Profile.h"

namespace brindlet::deck {

// One video-meeting app: which apps run it, how a window title shows a live meeting, and the
// shortcuts, buttons and readers that carry out each meeting operation or tell whether the user
// is muted or has the camera off. Button labels are lower case and tried in their order.
struct MeetingAdapter {
  using Labels = std::vector<std::string>;
  template <typename T>
  using ByIntent = std::map<profiles::MeetingIntent, T>;

  std::string name;
  // macOS bundle ids, then the WM_CLASS classes of the Linux apps.
  std::vector<std::string> bundleIDs;
  std::function<bool(std::string_view title)> isLive;
  // Key strings used here (Linux); the macOS ones are kept beside them as reference data.
  ByIntent<std::string> shortcuts;
  ByIntent<std::string> macShortcuts;
  std::optional<profiles::Reader> mutedReader;
  std::optional<profiles::Reader> cameraOffReader;
  bool raisesWindow = false;
  ByIntent<Labels> buttons;
  Labels mutedButtons;
  Labels cameraOffButtons;
  // One of these must be found in a window for its meeting to count; empty means no test.
  Labels liveButtons;
  ByIntent<Labels> openers;
  ByIntent<Labels> confirms;

  bool serves(std::string_view bundleID) const;

  // The five adapters; their order decides which one claims an app first.
  static const std::vector<MeetingAdapter>& all();
  // The adapter of that name serving the meeting's app (two adapters are called "Zoom").
  static const MeetingAdapter* named(const LiveMeeting& meeting);
  // The live meeting to show: the current meeting's app while it is still live, else the most
  // recently activated app with a live meeting. `recency`: app ids, latest first.
  static boost::asio::awaitable<std::optional<LiveMeeting>> findLive(
      WorkspaceWatching& workspace, std::optional<LiveMeeting> current,
      std::vector<std::string> recency);
  // Whether a's app was activated more recently than b's; never-activated apps come last.
  static bool recencyOrder(const LiveMeeting& a, const LiveMeeting& b,
                           const std::vector<std::string>& recency);

  // The keys whose intent this adapter can carry out.
  std::map<std::string, profiles::KeySpec> supportedKeys(
      const std::map<std::string, profiles::KeySpec>& keys) const;
  // The meeting profile cut down to this adapter: its keys, their layout and glance entries,
  // and no meeting layout.
  profiles::Profile adapt(profiles::Profile profile) const;
};

}  // namespace brindlet::deck
