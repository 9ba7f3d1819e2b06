#pragma once

#include <cstdint>
#include <string>

namespace brindlet::deck {

// The app in front: its id (on X11 the WM_CLASS class of its window), its name (the desktop
// entry's Name, else the id) and its process.
struct FrontApp {
  std::string bundleID;
  std::string name;
  std::int32_t pid = 0;

  friend bool operator==(const FrontApp&, const FrontApp&) = default;
};

}  // namespace brindlet::deck
