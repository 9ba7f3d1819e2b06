#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace brindlet::transport {

// Where a discovered service can be reached: its DNS-SD identity (instance name, type, domain,
// interface) and the address and port it resolved to.
struct ServiceEndpoint {
  std::string name;
  std::string type;
  std::string domain;
  int interfaceIndex = -1;
  std::string host;  // numeric address; empty when the service did not resolve
  std::uint16_t port = 0;

  friend bool operator==(const ServiceEndpoint&, const ServiceEndpoint&) = default;
};

// One service seen by a browse: its name, endpoint and the string entries of its TXT record.
struct BonjourService {
  std::string name;
  ServiceEndpoint endpoint;
  std::map<std::string, std::string> txt;

  friend bool operator==(const BonjourService& a, const BonjourService& b);
};

// The string entries of a TXT record given as raw "key=value" entries: entries without a value,
// with an empty value or with a value that is not UTF-8 text are left out.
std::map<std::string, std::string> txtStrings(const std::vector<std::string>& entries);

// Sorts a snapshot by name in the order of Unicode scalars after canonical normalisation
// (case-sensitive, no locale).
void sortByName(std::vector<BonjourService>& services);

// What a browse reports: a complete snapshot of the visible services, or a change of state
// (`running`: the browse reached the daemon and looks for services).
struct BrowseEvent {
  enum class Kind { snapshot, running, waiting, failed };
  Kind kind = Kind::snapshot;
  std::vector<BonjourService> services;  // for snapshot, sorted by name
  std::string error;                     // for waiting and failed
};

// A running browse or advertisement; destroying it stops it. Not to be destroyed from inside
// its own callback.
class DiscoveryHandle {
 public:
  virtual ~DiscoveryHandle() = default;
};

// What an advertisement reports: the name it was published under (after a name collision, an
// alternative name), or that it failed.
struct AdvertiseEvent {
  enum class Kind { established, failed };
  Kind kind = Kind::established;
  std::string name;
  std::string error;
};

struct ServiceAdvertisement {
  std::string name;
  std::string type;
  std::uint16_t port = 0;
  std::map<std::string, std::string> txt;
};

// DNS-SD browsing and publishing. Callbacks run on the implementation's own thread, one at a
// time; consumers copy what they need and hand it to their own loop.
class ServiceDiscovery {
 public:
  virtual ~ServiceDiscovery() = default;
  virtual std::unique_ptr<DiscoveryHandle> browse(const std::string& type,
                                                  std::function<void(BrowseEvent)> onEvent) = 0;
  virtual std::unique_ptr<DiscoveryHandle> advertise(
      const ServiceAdvertisement& service, std::function<void(AdvertiseEvent)> onEvent) = 0;
};

}  // namespace brindlet::transport

template <>
struct std::hash<brindlet::transport::BonjourService> {
  std::size_t operator()(const brindlet::transport::BonjourService& s) const;
};
