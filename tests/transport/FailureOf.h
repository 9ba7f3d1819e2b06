#pragma once

#include <optional>

#include <boost/asio/awaitable.hpp>

#include "transport/TransportError.h"

namespace brindlet::transport::testing {

// Runs an operation on a harness's loop; the transport error it ended with, if any.
template <class Harness, class T>
std::optional<TransportError> failureOf(Harness& h, boost::asio::awaitable<T> operation) {
  try {
    h.run(std::move(operation));
  } catch (const TransportError& e) {
    return e;
  }
  return std::nullopt;
}

}  // namespace brindlet::transport::testing
