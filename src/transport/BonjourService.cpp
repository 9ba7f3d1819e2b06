#include "transport/BonjourService.h"

#include <algorithm>

#include "runtime/Unicode.h"

namespace brindlet::transport {

bool operator==(const BonjourService& a, const BonjourService& b) {
  if (!runtime::canonicallyEqual(a.name, b.name) || !(a.endpoint == b.endpoint)) return false;
  if (a.txt.size() != b.txt.size()) return false;
  for (const auto& [key, value] : a.txt) {
    auto it = b.txt.find(key);
    if (it == b.txt.end() || !runtime::canonicallyEqual(value, it->second)) return false;
  }
  return true;
}

std::map<std::string, std::string> txtStrings(const std::vector<std::string>& entries) {
  std::map<std::string, std::string> txt;
  for (const auto& entry : entries) {
    const auto eq = entry.find('=');
    if (eq == std::string::npos || eq == 0 || eq + 1 == entry.size()) continue;
    std::string key = entry.substr(0, eq);
    std::string value = entry.substr(eq + 1);
    if (!runtime::isValidUTF8(key) || !runtime::isValidUTF8(value)) continue;
    txt[std::move(key)] = std::move(value);
  }
  return txt;
}

void sortByName(std::vector<BonjourService>& services) {
  std::vector<std::pair<std::string, BonjourService>> keyed;
  keyed.reserve(services.size());
  for (auto& s : services) keyed.emplace_back(runtime::normalizedNFC(s.name), std::move(s));
  // UTF-8 byte order is the order of Unicode scalars.
  std::stable_sort(keyed.begin(), keyed.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  services.clear();
  for (auto& [key, s] : keyed) services.push_back(std::move(s));
}

}  // namespace brindlet::transport

std::size_t std::hash<brindlet::transport::BonjourService>::operator()(
    const brindlet::transport::BonjourService& s) const {
  std::size_t h = brindlet::runtime::canonicalHash(s.name);
  h = h * 31 +
      std::hash<std::string>{}(s.endpoint.name + '\n' + s.endpoint.type + '\n' + s.endpoint.host);
  h = h * 31 + std::size_t(s.endpoint.port);
  std::size_t txt = 0;  // order-free
  for (const auto& [key, value] : s.txt)
    txt ^= std::hash<std::string>{}(key)*31 + brindlet::runtime::canonicalHash(value);
  return h * 31 + txt;
}
