#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>

#include "agents/DiscoveryFile.h"
#include "agents/HookEvent.h"
#include "runtime/ByteStream.h"
#include "runtime/Clock.h"
#include "runtime/Log.h"
#include "runtime/Task.h"
#include "runtime/TaskGroup.h"

namespace brindlet::transport {
class Listener;
}

namespace brindlet::agents {

// The logger of the agents area.
const runtime::Logger& agentsLog();

// A fresh token: a random UUID in its 36-character upper-case form.
std::string makeHookToken();

// The app's door for coding-agent hook events: an HTTP/1.1 server on 127.0.0.1 that takes one
// request per connection, checks the token, hands the event to its handler and sends the
// handler's bytes back as the JSON reply. It publishes its port and token in the discovery files.
// Everything runs on the executor it was made with (the main loop).
class HookServer : public std::enable_shared_from_this<HookServer> {
 public:
  // Returns the reply body; may take as long as it likes. Its task is cancelled when the client
  // leaves before the reply (or the server stops).
  using Handler = std::function<boost::asio::awaitable<runtime::Bytes>(HookEvent)>;
  using ListenerMaker =
      std::function<std::shared_ptr<transport::Listener>(const boost::asio::any_io_executor&)>;

  struct Options {
    std::shared_ptr<runtime::Clock> clock;  // the system clock when null
    std::filesystem::path folder;           // agentsFolder() when empty
    ListenerMaker listen;                   // 127.0.0.1, any free port, when empty
    std::size_t readingCap = 0;             // defaultReadingCap() when 0
  };

  // Connections reading their request: past maxReading, a newcomer takes the place of the one
  // that has been reading longest without sending a whole head, once that one has been reading
  // for headMoment; before then, or when every place holds a request whose head has come, the
  // newcomer reads beside them, up to the reading cap. At the cap, the newcomer takes the place
  // of the one reading longest that has had its moment, idle ones first and then those whose
  // head has come; when none has had it, the newcomer is closed. What a newcomer sent with its
  // connection is read before any of this: a request that came whole needs no place, so it is
  // answered at any number of connections.
  static constexpr std::size_t maxReading = 64;
  // A quarter of the process's descriptor limit (never below maxReading), so that however many
  // local processes hold connections, the app's own work (keys, the keyring, discovery, the
  // links, X) always has descriptors.
  static std::size_t defaultReadingCap();
  // A hook sends its whole head at once; a connection whose head has not come this long after
  // it did is a slow one.
  static constexpr runtime::Duration headMoment = std::chrono::milliseconds(500);
  // A request not complete this long after its connection came is closed unanswered, so that
  // slow clients cannot keep the places from the agents' hooks. A request read in time may then
  // wait for its answer as long as that takes.
  static constexpr runtime::Duration readLimit = std::chrono::seconds(2);
  // Discovery files that could not be written (the disk full, their place taken) are tried again
  // this long after: until they are written, every hook falls back to its terminal.
  static constexpr runtime::Duration fileRetry = std::chrono::seconds(2);

  // Stores the token and the handler; no I/O.
  static std::shared_ptr<HookServer> make(boost::asio::any_io_executor executor, std::string token,
                                          Handler handle, Options options);
  // The same with the default options (a default argument could not use the options' own
  // defaults inside the class).
  static std::shared_ptr<HookServer> make(boost::asio::any_io_executor executor, std::string token,
                                          Handler handle);
  ~HookServer();
  HookServer(const HookServer&) = delete;
  HookServer& operator=(const HookServer&) = delete;

  // Opens the listener; the discovery files follow once it is ready, tried again every fileRetry
  // while they cannot be written. Without a listener the app runs without a hook server.
  void start();
  // Stops listening, ends every connection and removes the discovery files that still hold this
  // run's port and token. Files whose writing is still queued, or waits to be tried again, are not
  // written; a writing already under way ends before their removal, which follows it on the
  // blocking worker.
  void stop();

  const std::string& token() const;
  std::optional<std::uint16_t> port() const;
  // Connections reading their request, and all connections (reading or held).
  std::size_t readingCount() const;
  std::size_t readingCap() const;
  std::size_t connectionCount() const { return connections_.size(); }

  struct Core;

 private:
  HookServer(boost::asio::any_io_executor executor, std::string token, Handler handle,
             Options options);
  void listenerReady();
  void listenerFailed(const std::string& error);
  void accept(const std::shared_ptr<runtime::ByteStream>& stream, std::shared_ptr<void> unfinished);
  // Takes newcomers while there is room for one, and from when there will be.
  void admitWhenRoom();
  static boost::asio::awaitable<void> admitAt(std::weak_ptr<HookServer> weak,
                                              std::shared_ptr<runtime::Clock> clock,
                                              runtime::Duration wait);
  // The discovery files from when their writing is queued until they are withdrawn; the flag,
  // shared with the writing, keeps it from writing them once they are, and the task that writes
  // them, trying again while it fails, ends with their withdrawal.
  struct Publication {
    DiscoveryFile file;
    std::shared_ptr<std::atomic<bool>> withdrawn;
    runtime::TaskHandle writing{};
  };
  // Withdraws this run's discovery files: a writing still queued leaves them unwritten, and
  // their removal is queued behind any writing under way.
  void withdrawFiles();
  // Writes the discovery files on the blocking worker unless they were withdrawn first, trying
  // again every fileRetry until they are written.
  static boost::asio::awaitable<void> publish(DiscoveryFile file,
                                              std::shared_ptr<std::atomic<bool>> withdrawn,
                                              std::shared_ptr<runtime::Clock> clock);

  std::shared_ptr<Core> core_;
  std::filesystem::path folder_;
  ListenerMaker listen_;
  boost::asio::any_io_executor executor_;
  std::shared_ptr<transport::Listener> listener_;
  std::optional<Publication> publication_;
  runtime::TaskGroup connections_;
  runtime::TaskHandle roomTimer_;
};

}  // namespace brindlet::agents
