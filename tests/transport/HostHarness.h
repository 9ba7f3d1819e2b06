#pragma once

// A host transport on a test loop with a scripted browser, a fake usbmuxd on a temporary
// socket, a memory pairing store, a manual clock and captured logs; its events are collected as
// they come.

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <vector>

#include <boost/asio/io_context.hpp>

#include "ScriptedDiscovery.h"
#include "ScriptedPhone.h"
#include "runtime/Log.h"
#include "runtime/ManualClock.h"
#include "runtime/Task.h"
#include "support/Loop.h"
#include "support/Streams.h"
#include "transport/FailureOf.h"
#include "transport/FakeUsbmuxd.h"
#include "transport/HostTransport.h"
#include "transport/LinkHarness.h"
#include "transport/MemoryPairingStore.h"
#include "transport/PairingStore.h"

namespace brindlet::transport::testing {

using namespace std::chrono_literals;
using Kind = HostTransportEvent::Kind;

inline constexpr const char* kMacUid = "MAC-UID-1";

struct HostHarness {
  asio::io_context io;
  runtime::LogCapture log;
  std::shared_ptr<runtime::ManualClock> clock = std::make_shared<runtime::ManualClock>();
  std::shared_ptr<ScriptedDiscovery> discovery = std::make_shared<ScriptedDiscovery>();
  testsupport::TempDir folder;
  const std::string usbmuxdPath = folder.file("usbmuxd");
  std::unique_ptr<FakeUsbmuxd> usbmuxd =
      std::make_unique<FakeUsbmuxd>(io.get_executor(), usbmuxdPath);
  std::shared_ptr<MemoryPairingStore> store = std::make_shared<MemoryPairingStore>();
  std::shared_ptr<HostTransport> host;
  std::shared_ptr<std::vector<HostTransportEvent>> events =
      std::make_shared<std::vector<HostTransportEvent>>();

  explicit HostHarness(bool wifi = true, std::optional<std::string> uid = kMacUid) {
    HostTransportSettings settings;
    settings.localHello = helloFor("Workstation", "computer", std::move(uid));
    settings.usbmux = USBMuxClient{usbmuxdPath, nullptr};
    settings.store = store;
    settings.discovery = discovery;
    settings.wifi = wifi;
    settings.clock = clock;
    host = HostTransport::make(io.get_executor(), std::move(settings));
    runtime::spawn(io.get_executor(), collect(host->events(), events));
  }

  ~HostHarness() {
    run(host->stop());
    host->events()->finish();
    host.reset();
    usbmuxd.reset();
    settle();
  }

  static asio::awaitable<void> collect(std::shared_ptr<HostTransportEvents> queue,
                                       std::shared_ptr<std::vector<HostTransportEvent>> out) {
    while (auto event = co_await queue->next()) out->push_back(std::move(*event));
  }

  template <class P>
  bool runUntil(P condition, std::chrono::milliseconds limit = 10s) {
    return brindlet::testing::runUntil(io, condition, limit);
  }
  // Runs what is ready, then waits briefly for socket work to come back, until things rest.
  void settle() {
    for (int quiet = 0; quiet < 5;) {
      io.restart();
      quiet = io.run_for(10ms) > 0 ? 0 : quiet + 1;
    }
  }
  template <class T>
  T run(asio::awaitable<T> operation) {
    return brindlet::testing::runUntilDone(io, std::move(operation));
  }

  // Waits for the number of events, and returns their kinds.
  std::vector<Kind> kinds() const {
    std::vector<Kind> out;
    for (const auto& e : *events) out.push_back(e.kind);
    return out;
  }
  bool waitForEvents(std::size_t count) {
    return runUntil([&] { return events->size() >= count; });
  }
  const HostTransportEvent& last() const { return events->back(); }

  void pair(ScriptedPhone& phone, std::uint8_t fill) {
    run(store->save(keyFilled(fill), phone.uid()));
    phone.trust(kMacUid, keyFilled(fill));
  }

  // Pairs the phone, starts and lists it: the transport dials it by itself.
  bool autoDialled(ScriptedPhone& phone) {
    pair(phone, 1);
    run(host->start());
    discovery->show({phone.service()});
    return waitForEvents(2) && events->at(1).kind == Kind::connected;
  }

  std::vector<std::string> infos() const {
    return log.messages("transport", runtime::LogLevel::info);
  }
};

}  // namespace brindlet::transport::testing
