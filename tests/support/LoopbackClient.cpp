#include "support/LoopbackClient.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

namespace brindlet::testsupport {

using Clock = std::chrono::steady_clock;

LoopbackClient::LoopbackClient(std::uint16_t port, Pump pump) : pump_(std::move(pump)) {
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd_ < 0 || ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    throw std::runtime_error("cannot connect to 127.0.0.1");
  }
  ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) | O_NONBLOCK);
}

LoopbackClient::~LoopbackClient() {
  close();
}

void LoopbackClient::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

void LoopbackClient::finish() {
  ::shutdown(fd_, SHUT_WR);
}

bool LoopbackClient::readSome() {
  char buffer[65536];
  const auto n = ::recv(fd_, buffer, sizeof buffer, 0);
  if (n > 0) received_.append(buffer, std::size_t(n));
  if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) ended_ = true;
  return n > 0;
}

bool LoopbackClient::send(std::string_view bytes) {
  const auto deadline = Clock::now() + std::chrono::seconds(20);
  while (!bytes.empty() && Clock::now() < deadline) {
    const auto n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n > 0) {
      bytes.remove_prefix(std::size_t(n));
    } else if (errno != EAGAIN && errno != EWOULDBLOCK) {
      return false;
    }
    pump_();
  }
  pump_();
  return bytes.empty();
}

std::string LoopbackClient::readToEnd(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (!ended_ && Clock::now() < deadline) {
    pump_();
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, 2) > 0) {
      while (readSome()) {
      }
    }
  }
  return received_;
}

bool LoopbackClient::isClosed() {
  for (int i = 0; i < 5 && !ended_; ++i) {
    pump_();
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, 2) > 0) readSome();
  }
  return ended_;
}

}  // namespace brindlet::testsupport
