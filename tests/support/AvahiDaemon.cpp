#include "support/AvahiDaemon.h"

#include <stdexcept>

namespace brindlet::testsupport {
namespace {

constexpr auto kStartTimeout = std::chrono::seconds(15);

const char* kBusConfig =
    R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-BUS Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=@SOCKET@</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_type="method_call"/>
    <allow send_type="signal"/>
    <allow send_type="method_return"/>
    <allow send_type="error"/>
    <allow receive_type="method_call"/>
    <allow receive_type="method_return"/>
    <allow receive_type="error"/>
    <allow receive_type="signal"/>
  </policy>
</busconfig>
)";

const char* kAvahiConfig = R"([server]
use-ipv4=yes
use-ipv6=no
allow-interfaces=bdt0
enable-dbus=yes
ratelimit-interval-usec=1000000
ratelimit-burst=1000
[wide-area]
enable-wide-area=no
[publish]
publish-hinfo=no
publish-workstation=no
)";

// Runs inside private network and mount namespaces: a private folder for the daemon's socket
// and pid file ($2 and all of /run in namespaces of the daemon's own), a veth pair that lives
// only in this namespace (made once), then the daemon in the foreground.
const char* kNamespaceScript = R"(set -e
mkdir -p "$2"
mount -t tmpfs tmpfs "$2"
mkdir -p /run/avahi-daemon
ip link set lo up
if ! ip link show bdt0 >/dev/null 2>&1; then
  ip link add bdt0 type veth peer name bdt1
  ip link set bdt1 up
  ip link set bdt0 multicast on up
  ip addr add 10.77.0.1/24 dev bdt0
fi
exec avahi-daemon -f "$1" --no-drop-root --no-chroot --no-rlimits
)";

std::string replaced(std::string text, const std::string& what, const std::string& with) {
  text.replace(text.find(what), what.size(), with);
  return text;
}

}  // namespace

PrivateSystemBus& PrivateSystemBus::instance() {
  static PrivateSystemBus bus;
  return bus;
}

PrivateSystemBus::PrivateSystemBus() {
  const std::string socket = dir_.file("system_bus_socket");
  address_ = "unix:path=" + socket;
  dir_.write("bus.conf", replaced(kBusConfig, "@SOCKET@", socket));
  bus_ = std::make_unique<ChildProcess>(std::vector<std::string>{
      "dbus-daemon", "--nofork", "--print-address", "--config-file=" + dir_.file("bus.conf")});
  if (!bus_->waitFor("unix:path=", kStartTimeout))
    throw std::runtime_error("dbus-daemon did not start: " + bus_->output());
  setenv("DBUS_SYSTEM_BUS_ADDRESS", address_.c_str(), 1);
}

AvahiDaemon::AvahiDaemon(bool start, Network network) : network_(network) {
  PrivateSystemBus::instance();
  dir_.write("avahi.conf", kAvahiConfig);
  dir_.write("netns.sh", kNamespaceScript);
  if (start) startDaemon();
}

AvahiDaemon::~AvahiDaemon() {
  stopDaemon();
}

void AvahiDaemon::startDaemon() {
  // The daemon finds the private bus through the environment it inherits.
  std::vector<std::string> line{"sh", dir_.file("netns.sh"), dir_.file("avahi.conf")};
  if (network_ == Network::own) {
    line.insert(line.begin(), {"unshare", "--net", "--mount", "--propagation", "private"});
    line.push_back("/run");
  } else {
    line.push_back("/run/avahi-daemon");
  }
  daemon_ = std::make_unique<ChildProcess>(line);
  if (!daemon_->waitFor("Server startup complete", kStartTimeout))
    throw std::runtime_error("avahi-daemon did not start: " + daemon_->output());
}

void AvahiDaemon::stopDaemon() {
  daemon_.reset();
}

}  // namespace brindlet::testsupport
