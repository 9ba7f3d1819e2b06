#pragma once

// An Xorg server with the dummy driver and the phone's display attached at its pixel size, for
// the benchmarks that capture it.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include <boost/asio/io_context.hpp>

#include "platform/linux/x11/RandrDisplayBackend.h"
#include "streaming/FakeDisplayBackend.h"
#include "streaming/VirtualDisplayManager.h"
#include "support/Loop.h"
#include "support/XServer.h"

namespace brindlet::bench {

struct PhoneDisplay {
  testsupport::XServer x{testsupport::XServer::Kind::xorgDummy};
  boost::asio::io_context loop;
  std::shared_ptr<platform::RandrDisplayBackend> displays;
  std::optional<streaming::VirtualDisplayManager> manager;
  std::uint32_t id = 0;
  testsupport::Monitor shown;

  // The display at width x height pixels (even), the pointer left off it.
  PhoneDisplay(std::uint32_t width, std::uint32_t height) {
    displays = testing::runUntilDone(loop, platform::RandrDisplayBackend::open(x.display()));
    auto availability =
        testing::runUntilDone(loop, streaming::VirtualDisplayManager::probe(*displays));
    manager.emplace(loop.get_executor(), availability, displays,
                    std::make_shared<streaming::FakeSleepWakeSource>());
    const std::string name = "Phone (Brindlet)";
    const streaming::VirtualDisplayConfig config{name, 1, width / 2, height / 2, 2, 60};
    id = testing::runUntilDone(loop, manager->attach(config));
    shown = *testsupport::monitorNamed(x, name);
    x.run({"xdotool", "mousemove", "5", "5"});
  }
};

}  // namespace brindlet::bench
