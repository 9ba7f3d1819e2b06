#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace brindlet::testsupport {

// A loopback stand-in for a model's messages API, for running a real coding agent offline. On
// each user turn it asks for one call of the given tool; once the request carries that call's
// result it ends the turn with "Done.". Requests without the tool (side questions) get "Done."
// too. It answers as a stream of server-sent events when asked for one, else with one JSON
// message, and answers anything else with an empty 200. Runs on threads of its own.
class ModelStandIn {
 public:
  struct ToolCall {
    std::string name;
    std::string input;  // a JSON object
  };

  explicit ModelStandIn(ToolCall call);
  ~ModelStandIn();
  ModelStandIn(const ModelStandIn&) = delete;
  ModelStandIn& operator=(const ModelStandIn&) = delete;

  std::uint16_t port() const;
  std::string baseUrl() const;  // http://127.0.0.1:<port>
  // The bodies of the message requests so far, in order.
  std::vector<std::string> requests() const;
  // The texts of the tool results that the requests carried in their last message, in order.
  std::vector<std::string> toolResults() const;

 private:
  struct State;
  std::shared_ptr<State> state_;
};

}  // namespace brindlet::testsupport
