#pragma once

#include <boost/asio/io_context.hpp>

namespace brindlet::testing {

// Runs every handler that is ready, and those they make ready, without waiting for anything.
inline void drain(boost::asio::io_context& io) {
  io.restart();
  while (io.poll() > 0) {
  }
}

}  // namespace brindlet::testing
