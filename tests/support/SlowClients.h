#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace brindlet::testsupport {

// Clients of a server on 127.0.0.1 that hold their connections by sending a byte a second (after
// `opening`, sent as each connects) and connect again the moment the server closes one: any local
// process can keep a server's places so. They run on a thread of their own until destroyed, which
// closes them all.
class SlowClients {
 public:
  SlowClients(std::uint16_t port, std::size_t count, std::string opening = "P");
  ~SlowClients();
  SlowClients(const SlowClients&) = delete;
  SlowClients& operator=(const SlowClients&) = delete;

  // Connections made so far, the first ones and those after a close.
  std::size_t connections() const { return connections_; }

 private:
  struct Slot {
    int fd = -1;
    bool connected = false;
  };
  void run();
  void connect(Slot& slot);

  std::uint16_t port_;
  std::string opening_;
  std::vector<Slot> slots_;
  std::atomic<std::size_t> connections_{0};
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// Sends `request` whole `count` times, one every 100 ms, each on a connection of its own, from a
// thread of its own that waits `lag` between connecting and sending, as a client on a busy
// computer may; how many of the replies `answered` takes, once every connection has ended (or
// waited 10 s for its reply).
int spacedRequests(std::uint16_t port, const std::string& request, int count,
                   std::chrono::milliseconds lag,
                   const std::function<bool(const std::string& reply)>& answered);

}  // namespace brindlet::testsupport
