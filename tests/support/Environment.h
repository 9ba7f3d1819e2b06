#pragma once

#include <cstdlib>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace brindlet::testsupport {

using Variables = std::vector<std::pair<std::string, std::optional<std::string>>>;

// The result of f with the variables set (none: unset), each restored afterwards.
template <class F>
auto withEnvironment(const Variables& values, F f) {
  Variables saved;
  const auto set = [](const std::string& name, const std::optional<std::string>& value) {
    if (value) {
      ::setenv(name.c_str(), value->c_str(), 1);
    } else {
      ::unsetenv(name.c_str());
    }
  };
  for (const auto& [name, value] : values) {
    const char* old = std::getenv(name.c_str());
    saved.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
    set(name, value);
  }
  auto result = f();
  for (const auto& [name, value] : saved) set(name, value);
  return result;
}

}  // namespace brindlet::testsupport
