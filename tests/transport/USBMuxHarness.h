#pragma once

// A fake usbmuxd on a temporary socket, a client pointed at it, and a loop to run them on.

#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>

#include <boost/asio/io_context.hpp>

#include "runtime/Log.h"
#include "runtime/Task.h"
#include "runtime/Timeout.h"
#include "support/Loop.h"
#include "support/Streams.h"
#include "transport/FailureOf.h"
#include "transport/FakeUsbmuxd.h"
#include "transport/LinkHarness.h"
#include "transport/USBMuxClient.h"

namespace brindlet::transport::testing {

struct USBMuxHarness {
  asio::io_context io;
  runtime::LogCapture log;
  testsupport::TempDir folder;
  std::string path = folder.file("usbmuxd");
  std::unique_ptr<FakeUsbmuxd> daemon = std::make_unique<FakeUsbmuxd>(io.get_executor(), path);
  TunnelPhone phone{*daemon, helloOf("phone")};
  USBMuxClient client{path, nullptr};

  ~USBMuxHarness() {
    daemon.reset();
    drain();
  }

  void drain() { brindlet::testing::drain(io); }

  // Runs the operation on the loop, failing the test instead of hanging when it never ends.
  template <class T>
  T run(asio::awaitable<T> operation) {
    auto bounded =
        runtime::within(*runtime::Clock::system(), std::chrono::seconds(10), std::move(operation));
    auto value = runtime::runUntilDone(io, std::move(bounded));
    if (!value) throw std::runtime_error("operation did not finish in time");
    return std::move(*value);
  }

  // Runs the loop until the condition holds (bounded).
  template <class F>
  bool runUntil(F condition) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    io.restart();
    while (!condition()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      io.run_one_for(std::chrono::milliseconds(20));
      io.restart();
    }
    return true;
  }
};

}  // namespace brindlet::transport::testing
