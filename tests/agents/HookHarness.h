#pragma once

// A hook server on the test's own loop with a manual clock, a handler that records events and
// either answers at once or holds them, and raw clients that pump the loop while they wait.

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>

#include "agents/HookServer.h"
#include "runtime/Log.h"
#include "runtime/OneShot.h"
#include "support/Loop.h"
#include "support/LoopbackClient.h"
#include "support/TempDir.h"

namespace brindlet::agents::testing {

namespace asio = boost::asio;
using runtime::Bytes;

inline const std::string kToken = "0F8C2A5E-7B1D-4E3A-9C6F-2D8B1A0E5F47";

inline Bytes bytesOf(std::string_view text) {
  return Bytes(text.begin(), text.end());
}

// A POST as the hook script sends it, with the given extra header lines (each ending in CRLF).
inline std::string hookPost(std::string_view body, std::string_view headers = "",
                            std::string_view target = "/hook?vendor=claude") {
  std::string request = "POST " + std::string(target) + " HTTP/1.1\r\nHost: 127.0.0.1\r\n";
  request += "X-Brindlet-Token: " + kToken + "\r\n";
  request += headers;
  request += "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n";
  request += body;
  return request;
}

// Records each event and answers with `reply`, or, while `hold` is set, holds it until the test
// resumes it.
struct RecordingHandler {
  std::string reply = "{\"hookSpecificOutput\":{}}";
  bool hold = false;
  std::vector<HookEvent> events;
  std::vector<std::shared_ptr<runtime::OneShot<Bytes>>> held;

  HookServer::Handler handler() {
    return [this](HookEvent event) { return handle(std::move(event)); };
  }

  asio::awaitable<Bytes> handle(HookEvent event) {
    events.push_back(std::move(event));
    if (!hold) co_return bytesOf(reply);
    auto shot = held.emplace_back(runtime::OneShot<Bytes>::make());
    co_return co_await shot->wait();
  }
};

struct HookHarness : RecordingHandler {
  asio::io_context io;
  std::shared_ptr<runtime::ManualClock> clock = std::make_shared<runtime::ManualClock>();
  testsupport::TempDir dir;
  std::filesystem::path folder = std::filesystem::path(dir.path()) / "data" / "agents";
  runtime::LogCapture log;
  std::shared_ptr<HookServer> server;

  explicit HookHarness(HookServer::ListenerMaker listen = {}) {
    HookServer::Options options{clock, folder, std::move(listen)};
    server = HookServer::make(io.get_executor(), kToken, handler(), options);
    server->start();
    pump();
  }

  void pump() { brindlet::testing::drain(io); }

  std::unique_ptr<testsupport::LoopbackClient> connect() {
    return std::make_unique<testsupport::LoopbackClient>(server->port().value(),
                                                         [this] { pump(); });
  }

  // Sends the request in the given pieces and reads to the end: the server's whole reply.
  std::string exchange(const std::vector<std::string>& pieces, bool finish = false) {
    auto client = connect();
    for (const auto& piece : pieces) client->send(piece);
    if (finish) client->finish();
    return client->readToEnd(std::chrono::seconds(3));
  }
};

}  // namespace brindlet::agents::testing
