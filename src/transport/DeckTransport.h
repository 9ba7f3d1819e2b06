#pragma once

#include <cstdint>
#include <string_view>

#include "runtime/Log.h"

namespace brindlet::transport {

// Module constants.
namespace DeckTransport {
inline constexpr std::string_view serviceType = "_velvane._tcp";  // the phone's DNS-SD type
inline constexpr std::uint16_t port = 9000;                       // plain listener, USB tunnel
inline constexpr std::uint16_t tlsPort = 9001;                    // pre-shared-key TLS listener
}  // namespace DeckTransport

// The transport's logger, category "transport".
const runtime::Logger& transportLog();

}  // namespace brindlet::transport
