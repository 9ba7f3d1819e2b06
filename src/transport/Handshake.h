#pragma once

#include <chrono>
#include <memory>

#include <boost/asio/awaitable.hpp>

#include "protocol/LinkMessages.h"
#include "runtime/Clock.h"

namespace brindlet::transport {

class FrameConnection;

// The hello exchange that starts every link, the same on both sides.
namespace Handshake {

inline constexpr runtime::Duration defaultTimeout = std::chrono::seconds(3);

// Sends the local hello, then waits at most `timeout` (on the link's clock) for the peer's first
// frame, which must be a hello of a supported version, and returns it. Frames after it stay
// buffered. On failure the link is closed (with a bye where the fault is the peer's) before
// the TransportError is thrown.
boost::asio::awaitable<protocol::Hello> run(std::shared_ptr<FrameConnection> connection,
                                            protocol::Hello local,
                                            runtime::Duration timeout = defaultTimeout);

}  // namespace Handshake

}  // namespace brindlet::transport
