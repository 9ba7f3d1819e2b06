#include "support/SlowClients.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include "support/LoopbackClient.h"

namespace brindlet::testsupport {

SlowClients::SlowClients(std::uint16_t port, std::size_t count, std::string opening)
    : port_(port), opening_(std::move(opening)), slots_(count) {
  thread_ = std::thread([this] { run(); });
}

SlowClients::~SlowClients() {
  stop_ = true;
  thread_.join();
  for (auto& slot : slots_)
    if (slot.fd >= 0) ::close(slot.fd);
}

// Without waiting: a full backlog must not hold up the other clients.
void SlowClients::connect(Slot& slot) {
  if (slot.fd >= 0) ::close(slot.fd);
  slot.fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  slot.connected = false;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port_);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const int result = ::connect(slot.fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  if (result != 0 && errno != EINPROGRESS) {
    ::close(slot.fd);
    slot.fd = -1;
    return;
  }
  ++connections_;
}

void SlowClients::run() {
  using Clock = std::chrono::steady_clock;
  for (auto& slot : slots_) connect(slot);
  auto nextByte = Clock::now();
  std::vector<pollfd> polled(slots_.size());
  while (!stop_) {
    const bool byteDue = Clock::now() >= nextByte;
    if (byteDue) nextByte += std::chrono::seconds(1);
    for (std::size_t i = 0; i < slots_.size(); ++i) {
      auto& slot = slots_[i];
      if (slot.fd < 0) connect(slot);
      if (slot.connected && byteDue && ::send(slot.fd, "P", 1, MSG_NOSIGNAL) != 1) connect(slot);
      polled[i] = {slot.fd, short(slot.connected ? POLLIN | POLLRDHUP : POLLOUT), 0};
    }
    ::poll(polled.data(), polled.size(), 1);
    for (std::size_t i = 0; i < slots_.size(); ++i) {
      auto& slot = slots_[i];
      const short events = polled[i].revents;
      if (events == 0 || slot.fd < 0) continue;
      if (events & (POLLERR | POLLHUP | POLLRDHUP | POLLIN)) {
        // Closed by the server (or refused): back at once.
        connect(slot);
      } else if (events & POLLOUT) {
        slot.connected = true;
        const auto sent = ::send(slot.fd, opening_.data(), opening_.size(), MSG_NOSIGNAL);
        if (sent != ssize_t(opening_.size())) connect(slot);
      }
    }
  }
}

int spacedRequests(std::uint16_t port, const std::string& request, int count,
                   std::chrono::milliseconds lag,
                   const std::function<bool(const std::string& reply)>& answered) {
  std::atomic<int> taken{0};
  std::vector<std::thread> clients;
  for (int i = 0; i < count; ++i) {
    clients.emplace_back([&, i] {
      std::this_thread::sleep_for(std::chrono::milliseconds(100) * i);
      LoopbackClient client(port,
                            [] { std::this_thread::sleep_for(std::chrono::milliseconds(1)); });
      std::this_thread::sleep_for(lag);
      client.send(request);
      if (answered(client.readToEnd(std::chrono::seconds(10)))) ++taken;
    });
  }
  for (auto& client : clients) client.join();
  return taken;
}

}  // namespace brindlet::testsupport
