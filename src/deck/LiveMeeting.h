#pragma once

#include <string>

#include "deck/FrontApp.h"

namespace brindlet::deck {

// A video meeting found live: which adapter recognised it, its app, and its window's title.
struct LiveMeeting {
  std::string adapterName;
  FrontApp app;
  std::string windowTitle;

  friend bool operator==(const LiveMeeting&, const LiveMeeting&) = default;
};

}  // namespace brindlet::deck
