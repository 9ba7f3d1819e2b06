#include "transport/NearbyPhone.h"

#include <algorithm>

#include "runtime/Unicode.h"

namespace brindlet::transport {
namespace {

bool sameText(const std::optional<std::string>& a, const std::optional<std::string>& b) {
  if (a.has_value() != b.has_value()) return false;
  return !a || runtime::canonicallyEqual(*a, *b);
}

std::optional<std::string> txtValue(const BonjourService& service, const std::string& key) {
  auto it = service.txt.find(key);
  if (it == service.txt.end()) return std::nullopt;
  return it->second;
}

std::size_t optionalHash(const std::optional<std::string>& text) {
  return text ? 1 + runtime::canonicalHash(*text) * 31 : 0;
}

}  // namespace

bool operator==(const NearbyPhone& a, const NearbyPhone& b) {
  return runtime::canonicallyEqual(a.name, b.name) && sameText(a.model, b.model) &&
         sameText(a.uid, b.uid) && a.secure == b.secure && a.pairPort == b.pairPort &&
         a.isPaired == b.isPaired;
}

std::optional<std::uint16_t> parsePort(std::string_view text) {
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (text.empty()) return std::nullopt;
  std::uint32_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + std::uint32_t(c - '0');
    if (value > 65535) return std::nullopt;
  }
  if (negative && value != 0) return std::nullopt;
  return std::uint16_t(value);
}

NearbyPhone nearbyPhone(const BonjourService& service,
                        const std::function<bool(const std::string& uid)>& hasKey) {
  NearbyPhone phone;
  phone.uid = txtValue(service, "uid");
  phone.name = txtValue(service, "name").value_or(service.name);
  phone.model = txtValue(service, "model");
  phone.secure = service;
  if (auto pair = txtValue(service, "pair")) phone.pairPort = parsePort(*pair);
  phone.isPaired = phone.uid && hasKey(*phone.uid);
  return phone;
}

void sortByName(std::vector<NearbyPhone>& phones) {
  // A handful of phones: normalising inside the comparison costs nothing worth keeping.
  std::stable_sort(phones.begin(), phones.end(), [](const NearbyPhone& a, const NearbyPhone& b) {
    return runtime::normalizedNFC(a.name) < runtime::normalizedNFC(b.name);
  });
}

}  // namespace brindlet::transport

std::size_t std::hash<brindlet::transport::NearbyPhone>::operator()(
    const brindlet::transport::NearbyPhone& phone) const {
  std::size_t h = brindlet::runtime::canonicalHash(phone.name);
  h = h * 31 + brindlet::transport::optionalHash(phone.model);
  h = h * 31 + brindlet::transport::optionalHash(phone.uid);
  h = h * 31 +
      (phone.secure ? 1 + std::hash<brindlet::transport::BonjourService>{}(*phone.secure) : 0);
  h = h * 31 + (phone.pairPort ? 1 + std::size_t(*phone.pairPort) : 0);
  return h * 31 + std::size_t(phone.isPaired);
}
