#pragma once

// A fake usbmuxd on a temporary socket, a client pointed at it, and a loop to run them on.

#include <memory>
#include <string>

#include <boost/asio/io_context.hpp>

#include "runtime/Log.h"
#include "runtime/Task.h"
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

  template <class T>
  T run(asio::awaitable<T> operation) {
    return brindlet::testing::runUntilDone(io, std::move(operation));
  }
  template <class F>
  bool runUntil(F condition) {
    return brindlet::testing::runUntil(io, condition);
  }
};

}  // namespace brindlet::transport::testing
