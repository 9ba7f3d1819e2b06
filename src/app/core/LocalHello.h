#pragma once

#include <optional>
#include <string>
#include <string_view>

#include <boost/asio/awaitable.hpp>

#include "protocol/LinkMessages.h"

namespace brindlet::app {

class Platform;

// The device id's service on the secret store.
inline constexpr std::string_view identityService = "com.velvane.identity";

// The hardware model from its raw bytes: the text before the first zero byte or line end;
// unreadable gives "", bytes that are not UTF-8 give "computer".
std::string deviceModel(const std::optional<std::string>& raw);

// The computer's name: the pretty host name of the machine-info file, else the host name, else
// "computer".
std::string computerName(const std::optional<std::string>& machineInfo,
                         const std::optional<std::string>& hostName);

// PRETTY_HOSTNAME of a machine-info text (shell assignments, values quoted or not); none when
// absent or empty.
std::optional<std::string> prettyHostName(std::string_view machineInfo);

// What this computer says first on every link: protocol 1, the app's version, the hardware
// model, the computer's name, no capabilities and the stable device id.
boost::asio::awaitable<protocol::Hello> makeLocalHello(Platform& platform);

}  // namespace brindlet::app
