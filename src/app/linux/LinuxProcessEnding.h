#pragma once

#include "app/core/App.h"

namespace brindlet::app {

// How the app's process ends when it cannot wait: the exit clean-up's registry after what the
// blocking worker was about to write, the children's process groups found by a walk down from
// this process, our RandR outputs off through a connection of its own, then _exit, so that no
// static destructor runs while a thread of ours may still log or post.
class LinuxProcessEnding final : public ProcessEnding {
 public:
  void cleanUp() override;
  void switchOffOutputs(runtime::Duration limit) override;
  [[noreturn]] void end(int status) override;
};

}  // namespace brindlet::app
