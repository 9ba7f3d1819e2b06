#pragma once

#include <memory>
#include <type_traits>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/use_awaitable.hpp>

namespace brindlet::transport {

// Runs one of an actor's operations on the actor's strand, keeping the actor alive until the
// operation ends (the parameter lives in the coroutine), and resumes the caller on its own
// executor.
template <class T>
boost::asio::awaitable<T> onStrand(boost::asio::any_io_executor strand,
                                   [[maybe_unused]] std::shared_ptr<const void> actor,
                                   boost::asio::awaitable<T> operation) {
  if constexpr (std::is_void_v<T>) {
    co_await boost::asio::co_spawn(strand, std::move(operation), boost::asio::use_awaitable);
  } else {
    co_return co_await boost::asio::co_spawn(strand, std::move(operation),
                                             boost::asio::use_awaitable);
  }
}

}  // namespace brindlet::transport
