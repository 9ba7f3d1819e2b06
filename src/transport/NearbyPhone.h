#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "transport/BonjourService.h"

namespace brindlet::transport {

// A phone advertised on the local network, as its Bonjour service and TXT record describe it.
struct NearbyPhone {
  std::string name;                       // TXT "name", else the service name
  std::optional<std::string> model;       // TXT "model"
  std::optional<std::string> uid;         // TXT "uid": the identity its pairing key is kept under
  std::optional<BonjourService> secure;   // the service of its TLS listener
  std::optional<std::uint16_t> pairPort;  // TXT "pair": its plain pairing port
  bool isPaired = false;                  // a key is stored for its uid

  const std::string& id() const { return uid ? *uid : name; }
  bool canPair() const { return secure && pairPort && uid; }

  friend bool operator==(const NearbyPhone& a, const NearbyPhone& b);
};

// A decimal port: an optional sign, then ASCII digits only, within 0...65535.
std::optional<std::uint16_t> parsePort(std::string_view text);

// The phone a service stands for; `hasKey` tells whether a key is stored for a uid.
NearbyPhone nearbyPhone(const BonjourService& service,
                        const std::function<bool(const std::string& uid)>& hasKey);

// Sorts by name in the order of Unicode scalars after canonical normalisation.
void sortByName(std::vector<NearbyPhone>& phones);

}  // namespace brindlet::transport

template <>
struct std::hash<brindlet::transport::NearbyPhone> {
  std::size_t operator()(const brindlet::transport::NearbyPhone& phone) const;
};
