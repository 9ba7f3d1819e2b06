#pragma once

// A loop run by two threads for benchmarks of asynchronous code.

#include <optional>
#include <thread>
#include <vector>

#include <boost/asio/awaitable.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/use_future.hpp>

namespace brindlet::bench {

namespace asio = boost::asio;

// A loop run by two threads, as the app's core loop and a stream's callbacks may be.
struct Loop {
  asio::io_context io;
  asio::executor_work_guard<asio::io_context::executor_type> guard{io.get_executor()};
  std::vector<std::thread> threads;
  Loop() {
    for (int i = 0; i < 2; ++i) threads.emplace_back([this] { io.run(); });
  }
  ~Loop() {
    guard.reset();
    io.stop();
    for (auto& t : threads) t.join();
  }
  template <class T>
  T run(asio::awaitable<T> operation) {
    return std::move(*asio::co_spawn(io, optional(std::move(operation)), asio::use_future).get());
  }
  void run(asio::awaitable<void> operation) {
    asio::co_spawn(io, std::move(operation), asio::use_future).get();
  }
  template <class T>
  static asio::awaitable<std::optional<T>> optional(asio::awaitable<T> operation) {
    co_return co_await std::move(operation);
  }
};

}  // namespace brindlet::bench
