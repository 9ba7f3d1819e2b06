#pragma once

#include <memory>
#include <string>

#include "support/ChildProcess.h"
#include "support/TempDir.h"

namespace brindlet::testsupport {

// A private D-Bus system bus for the whole test process, started on first use. libdbus reads
// the bus address once per process, so every daemon of a test binary shares this one bus; from
// then on DBUS_SYSTEM_BUS_ADDRESS points this process at it.
class PrivateSystemBus {
 public:
  static PrivateSystemBus& instance();
  const std::string& address() const { return address_; }
  std::string environment() const { return "DBUS_SYSTEM_BUS_ADDRESS=" + address_; }

 private:
  PrivateSystemBus();
  TempDir dir_;
  std::string address_;
  std::unique_ptr<ChildProcess> bus_;
};

// An avahi-daemon on the private bus, on a veth pair (bdt0, 10.77.0.1) that exists only in a
// network namespace, so nothing multicasts on a real interface.
class AvahiDaemon {
 public:
  // own: the daemon runs in network and mount namespaces of its own. current: in this process's,
  // which must be private (see PrivateNamespaces.h), so that its clients reach what it
  // advertises there.
  enum class Network { own, current };

  // startDaemon false: only the bus, so that a client finds no daemon until startDaemon().
  explicit AvahiDaemon(bool startDaemon = true, Network network = Network::own);
  ~AvahiDaemon();

  void startDaemon();
  void stopDaemon();

 private:
  Network network_;
  TempDir dir_;
  std::unique_ptr<ChildProcess> daemon_;
};

}  // namespace brindlet::testsupport
