#pragma once

#include <cstdint>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include <boost/asio/awaitable.hpp>

#include "protocol/ControlEnvelope.h"
#include "transport/ClientTransport.h"

namespace brindlet::tools {

// A phone driven by lines: it prints the transport's events and what the host sends, and runs
// one command per input line.
//
// Printed: "listening <plain> <tls>", each event in its text form ("pairing(123456, Mac)",
// "connected(Mac, USB)", ...), "received <envelope JSON>" per control message of the host,
// "frame <channel> <bytes>" per video or audio frame (" key" after a keyframe's), "ok <command>",
// "error <text>".
// Commands: "start", "stop [reason]", "forget", "pane <w> <h> <scale>",
// "touch <phase> <x> <y>", "send <envelope JSON>", "close [reason]", "stats", "quit", and
// "stop-on-ready [reason]": the host's next displayReady is answered at once with a "stop" (the
// reason userDisconnected unless given), its end printed as "stopped on displayReady".
// Terse, for a person at a terminal: the host's once-a-second statistics are kept for the
// "stats" command instead of printed, and of each channel's frames only the first is printed.
// "stats" prints "stats <the last statistics' JSON>" and "frames <channel> <count>" per channel.
class ScriptedPhone {
 public:
  using Print = std::function<void(const std::string& line)>;

  // With `videoFile`, each video frame's payload is appended to that file as it arrives.
  ScriptedPhone(std::shared_ptr<transport::ClientTransport> transport, Print print,
                std::string videoFile = {}, bool terse = false);

  // Prints the transport's events until it is gone; follows the live host's link.
  boost::asio::awaitable<void> watchEvents();
  // Runs one command; false when the command was "quit".
  boost::asio::awaitable<bool> command(std::string line);

 private:
  boost::asio::awaitable<void> startListening();
  boost::asio::awaitable<void> send(protocol::ControlMessage message);
  // What came from the host so far, for "stats", and the stop armed for its displayReady.
  struct Tally {
    bool terse = false;
    std::string lastStats;
    std::map<std::string, std::uint64_t> frames;  // by channel
    std::optional<std::string> stopOnReady;       // its reason
  };
  static boost::asio::awaitable<void> readHost(
      std::shared_ptr<transport::FrameConnection> link,
      std::shared_ptr<transport::ClientTransport> transport, Print print,
      std::shared_ptr<std::ofstream> video, std::shared_ptr<Tally> tally);
  void printStats() const;

  std::shared_ptr<transport::ClientTransport> transport_;
  Print print_;
  std::shared_ptr<transport::FrameConnection> live_;
  std::shared_ptr<std::ofstream> video_;
  std::shared_ptr<Tally> tally_ = std::make_shared<Tally>();
};

}  // namespace brindlet::tools
