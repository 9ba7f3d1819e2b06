#pragma once

// A wait for a descriptor to turn readable that believes only the system. Asio's reactor can
// wake a wait on a descriptor that has just taken the place of one closed while its readiness
// was still queued (a pipe released while a program kept writing into it): a wake-up is checked
// with poll, and the wait starts again when nothing is there.

#include <utility>

#include <boost/asio/posix/stream_descriptor.hpp>

namespace brindlet::runtime {

// Whether `fd` is readable now, or has reached its end or an error.
bool isReadable(int fd);

// Calls `handler(error)` once `descriptor` is readable for the system, or with the error that
// ended the wait (operation_aborted when the descriptor is closed). The descriptor is read when
// the wait wakes, even when its wake-up was already queued as it went: the handler must keep
// its owner alive (a weak owner checks for itself, with isReadable).
template <class Handler>
void awaitReadable(boost::asio::posix::stream_descriptor& descriptor, Handler handler) {
  using Descriptor = boost::asio::posix::stream_descriptor;
  descriptor.async_wait(Descriptor::wait_read, [&descriptor, handler = std::move(handler)](
                                                   const boost::system::error_code& error) mutable {
    if (!error && !isReadable(descriptor.native_handle())) {
      return awaitReadable(descriptor, std::move(handler));
    }
    handler(error);
  });
}

}  // namespace brindlet::runtime
