#pragma once

#include <vector>

#include "desktop/EventPosting.h"

namespace brindlet::desktop {

// Records what is posted, for logic tests.
class RecordingPoster : public EventPosting {
 public:
  bool isTrusted() const override { return trusted; }
  void post(SyntheticEvent event) override {
    if (trusted) posted.push_back(std::move(event));
  }

  bool trusted = true;
  std::vector<SyntheticEvent> posted;
};

}  // namespace brindlet::desktop
