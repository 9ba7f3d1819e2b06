#include "app/core/LocalHello.h"

#include "app/core/Platform.h"
#include "runtime/Blocking.h"
#include "runtime/Unicode.h"

namespace brindlet::app {

namespace {

constexpr std::string_view fallbackName = "computer";

std::string_view trimmed(std::string_view text) {
  const auto first = text.find_first_not_of(" \t\r\n");
  if (first == std::string_view::npos) return {};
  const auto last = text.find_last_not_of(" \t\r\n");
  return text.substr(first, last - first + 1);
}

// A shell word: quotes removed, backslash escapes taken as the character they escape.
std::string unquoted(std::string_view value) {
  std::string out;
  char quote = 0;
  for (std::size_t i = 0; i < value.size(); ++i) {
    const char c = value[i];
    if (quote == 0 && (c == '"' || c == '\'')) {
      quote = c;
    } else if (quote != 0 && c == quote) {
      quote = 0;
    } else if (c == '\\' && quote != '\'' && i + 1 < value.size()) {
      out += value[++i];
    } else {
      out += c;
    }
  }
  return out;
}

}  // namespace

std::string deviceModel(const std::optional<std::string>& raw) {
  if (!raw) return "";
  std::string_view bytes = *raw;
  bytes = bytes.substr(0, bytes.find_first_of(std::string_view("\0\n", 2)));
  if (!runtime::isValidUTF8(bytes)) return std::string(fallbackName);
  return std::string(bytes);
}

std::optional<std::string> prettyHostName(std::string_view machineInfo) {
  constexpr std::string_view key = "PRETTY_HOSTNAME=";
  std::optional<std::string> found;
  while (!machineInfo.empty()) {
    const auto end = machineInfo.find('\n');
    const auto line = trimmed(machineInfo.substr(0, end));
    machineInfo = end == std::string_view::npos ? std::string_view() : machineInfo.substr(end + 1);
    if (line.starts_with(key)) found = unquoted(line.substr(key.size()));
  }
  if (!found || found->empty() || !runtime::isValidUTF8(*found)) return std::nullopt;
  return found;
}

std::string computerName(const std::optional<std::string>& machineInfo,
                         const std::optional<std::string>& hostName) {
  if (machineInfo) {
    if (auto pretty = prettyHostName(*machineInfo)) return *pretty;
  }
  if (hostName) {
    const auto name = trimmed(*hostName);
    if (!name.empty() && runtime::isValidUTF8(name)) return std::string(name);
  }
  return std::string(fallbackName);
}

boost::asio::awaitable<protocol::Hello> makeLocalHello(Platform& platform) {
  protocol::Hello hello;
  hello.proto = 1;
  hello.app = platform.version();
  // The model and the name come from files: read off the loop.
  auto describe = [&platform] {
    auto device = deviceModel(platform.hardwareModel());
    auto name = computerName(platform.machineInfo(), platform.hostName());
    return std::pair(std::move(device), std::move(name));
  };
  auto described = co_await runtime::offloadBlocking(std::move(describe));
  hello.device = std::move(described.first);
  hello.name = std::move(described.second);
  hello.uid = co_await platform.deviceId();
  co_return hello;
}

}  // namespace brindlet::app
