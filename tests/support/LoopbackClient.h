#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace brindlet::testsupport {

// A raw TCP client of a server on 127.0.0.1 that runs on the test's own thread: while it waits
// for the socket it keeps calling `pump` (which drains the server's loop).
class LoopbackClient {
 public:
  using Pump = std::function<void()>;

  LoopbackClient(std::uint16_t port, Pump pump);
  ~LoopbackClient();
  LoopbackClient(const LoopbackClient&) = delete;
  LoopbackClient& operator=(const LoopbackClient&) = delete;

  // Sends all the bytes; false when the server closed the connection first.
  bool send(std::string_view bytes);
  // Reads until the server closes its side (or the time runs out): everything it sent.
  std::string readToEnd(std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // Whether the server has closed the connection, after pumping for a moment.
  bool isClosed();
  // Ends this side's sending; the server may still reply.
  void finish();
  // Closes this side at once.
  void close();

 private:
  int fd_ = -1;
  Pump pump_;
  std::string received_;
  bool ended_ = false;
  bool readSome();
};

}  // namespace brindlet::testsupport
