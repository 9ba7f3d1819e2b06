#pragma once

#include <functional>
#include <memory>

#include <boost/asio/any_io_executor.hpp>

#include "runtime/ByteStream.h"
#include "transport/SecureChannel.h"

namespace brindlet::transport {

// How a dial makes its stream to an endpoint, not yet started.
using ConnectionParameters = std::function<std::shared_ptr<runtime::ByteStream>(
    const boost::asio::any_io_executor& executor, const runtime::Endpoint& endpoint)>;

// Plain TCP to host-and-port endpoints.
ConnectionParameters plainTcp();
// TLS with the given pre-shared keys to host-and-port endpoints.
ConnectionParameters secureTls(SecureChannel::Parameters parameters);

}  // namespace brindlet::transport
