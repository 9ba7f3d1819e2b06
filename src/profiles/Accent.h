#pragma once

#include <array>
#include <string_view>

#include "profiles/Words.h"

namespace brindlet::profiles {

// The closed word lists of a profile document beside those of its actions, controls and readers.

// A profile's or a key's colour.
enum class Accent { blue, teal, green, yellow, orange, red, pink, purple };

// The ring colour a key state gives a value.
enum class Ring { good, warning, critical };

// A meeting operation that a key performs in the live meeting app. Its words carry the prefix
// "meeting." in files and wherever they are encoded.
enum class MeetingIntent { mute, camera, hand, share, chat, participants, leave };

template <>
struct Words<Accent> {
  static constexpr auto list = std::to_array<std::string_view>(
      {"blue", "teal", "green", "yellow", "orange", "red", "pink", "purple"});
};

template <>
struct Words<Ring> {
  static constexpr auto list = std::to_array<std::string_view>({"good", "warning", "critical"});
};

template <>
struct Words<MeetingIntent> {
  static constexpr auto list = std::to_array<std::string_view>(
      {"meeting.mute", "meeting.camera", "meeting.hand", "meeting.share", "meeting.chat",
       "meeting.participants", "meeting.leave"});
};

}  // namespace brindlet::profiles
