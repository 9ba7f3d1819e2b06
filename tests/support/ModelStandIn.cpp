#include "support/ModelStandIn.h"

#include <sys/socket.h>

#include <mutex>
#include <thread>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/string_body.hpp>
#include <boost/beast/http/write.hpp>
#include <nlohmann/json.hpp>

namespace brindlet::testsupport {

namespace asio = boost::asio;
namespace http = boost::beast::http;
using nlohmann::json;
using tcp = asio::ip::tcp;

struct ModelStandIn::State {
  ToolCall call;
  asio::io_context io;
  tcp::acceptor acceptor{io};
  std::thread accepting;

  std::mutex mutex;  // guards the rest
  std::vector<std::string> requests;
  std::vector<std::string> results;
  std::vector<std::shared_ptr<tcp::socket>> sockets;
  std::vector<std::thread> serving;
  int calls = 0;

  // The texts of the tool results in the request's last message.
  static std::vector<std::string> resultsIn(const json& request) {
    std::vector<std::string> texts;
    const auto messages = request.find("messages");
    if (messages == request.end() || !messages->is_array() || messages->empty()) return texts;
    const auto& content = messages->back().value("content", json());
    if (!content.is_array()) return texts;
    for (const auto& block : content) {
      if (!block.is_object() || block.value("type", "") != "tool_result") continue;
      const auto& inner = block.value("content", json());
      if (inner.is_string()) {
        texts.push_back(inner.get<std::string>());
      } else if (inner.is_array()) {
        std::string text;
        for (const auto& part : inner) {
          if (part.is_object() && part.value("type", "") == "text") text += part.value("text", "");
        }
        texts.push_back(text);
      }
    }
    return texts;
  }

  static bool offers(const json& request, const std::string& tool) {
    const auto tools = request.find("tools");
    if (tools == request.end() || !tools->is_array()) return false;
    for (const auto& t : *tools) {
      if (t.is_object() && t.value("name", "") == tool) return true;
    }
    return false;
  }

  static std::string event(const std::string& name, const json& data) {
    return "event: " + name + "\ndata: " + data.dump() + "\n\n";
  }

  // The reply to one messages request: its content type and body.
  std::pair<std::string, std::string> answer(const std::string& body) {
    json request = json::parse(body, nullptr, false);
    if (!request.is_object()) request = json::object();
    const auto found = resultsIn(request);
    int number = 0;
    {
      std::lock_guard lock(mutex);
      requests.push_back(body);
      results.insert(results.end(), found.begin(), found.end());
      number = ++calls;
    }
    const bool callsTool = found.empty() && offers(request, call.name);
    const std::string id = "toolu_standin" + std::to_string(number);
    const json input = json::parse(call.input);
    const json block =
        callsTool ? json{{"type", "tool_use"}, {"id", id}, {"name", call.name}, {"input", input}}
                  : json{{"type", "text"}, {"text", "Done."}};
    const std::string stop = callsTool ? "tool_use" : "end_turn";
    json message = {{"id", "msg_standin" + std::to_string(number)},
                    {"type", "message"},
                    {"role", "assistant"},
                    {"model", request.value("model", "stand-in")},
                    {"content", json::array()},
                    {"stop_reason", nullptr},
                    {"stop_sequence", nullptr},
                    {"usage", {{"input_tokens", 10}, {"output_tokens", 1}}}};
    if (!request.value("stream", false)) {
      message["content"].push_back(block);
      message["stop_reason"] = stop;
      return {"application/json", message.dump()};
    }
    json start = block;
    json delta;
    if (callsTool) {
      start["input"] = json::object();
      delta = {{"type", "input_json_delta"}, {"partial_json", input.dump()}};
    } else {
      start["text"] = "";
      delta = {{"type", "text_delta"}, {"text", "Done."}};
    }
    std::string events = event("message_start", {{"type", "message_start"}, {"message", message}});
    events += event("content_block_start",
                    {{"type", "content_block_start"}, {"index", 0}, {"content_block", start}});
    events += event("content_block_delta",
                    {{"type", "content_block_delta"}, {"index", 0}, {"delta", delta}});
    events += event("content_block_stop", {{"type", "content_block_stop"}, {"index", 0}});
    events +=
        event("message_delta", {{"type", "message_delta"},
                                {"delta", {{"stop_reason", stop}, {"stop_sequence", nullptr}}},
                                {"usage", {{"output_tokens", 5}}}});
    events += event("message_stop", {{"type", "message_stop"}});
    return {"text/event-stream", events};
  }

  void serve(std::shared_ptr<tcp::socket> socket) {
    boost::beast::flat_buffer buffer;
    for (;;) {
      http::request<http::string_body> request;
      boost::system::error_code error;
      http::read(*socket, buffer, request, error);
      if (error) return;
      http::response<http::string_body> response{http::status::ok, request.version()};
      if (request.method() == http::verb::post && request.target().starts_with("/v1/messages")) {
        auto [type, body] = answer(request.body());
        response.set(http::field::content_type, type);
        response.body() = std::move(body);
      }
      response.keep_alive(request.keep_alive());
      response.prepare_payload();
      http::write(*socket, response, error);
      if (error || !request.keep_alive()) return;
    }
  }

  void accept() {
    for (;;) {
      auto socket = std::make_shared<tcp::socket>(io);
      boost::system::error_code error;
      acceptor.accept(*socket, error);
      if (error) return;
      std::lock_guard lock(mutex);
      sockets.push_back(socket);
      serving.emplace_back([this, socket] { serve(socket); });
    }
  }
};

ModelStandIn::ModelStandIn(ToolCall call) : state_(std::make_shared<State>()) {
  state_->call = std::move(call);
  state_->acceptor.open(tcp::v4());
  state_->acceptor.set_option(tcp::acceptor::reuse_address(true));
  state_->acceptor.bind({asio::ip::make_address_v4("127.0.0.1"), 0});
  state_->acceptor.listen();
  state_->accepting = std::thread([state = state_.get()] { state->accept(); });
}

ModelStandIn::~ModelStandIn() {
  // Shutting the sockets down wakes the threads blocked on them.
  ::shutdown(state_->acceptor.native_handle(), SHUT_RDWR);
  state_->accepting.join();
  std::vector<std::thread> serving;
  {
    std::lock_guard lock(state_->mutex);
    for (const auto& socket : state_->sockets) ::shutdown(socket->native_handle(), SHUT_RDWR);
    serving = std::move(state_->serving);
  }
  for (auto& thread : serving) thread.join();
}

std::uint16_t ModelStandIn::port() const {
  return state_->acceptor.local_endpoint().port();
}

std::string ModelStandIn::baseUrl() const {
  return "http://127.0.0.1:" + std::to_string(port());
}

std::vector<std::string> ModelStandIn::requests() const {
  std::lock_guard lock(state_->mutex);
  return state_->requests;
}

std::vector<std::string> ModelStandIn::toolResults() const {
  std::lock_guard lock(state_->mutex);
  return state_->results;
}

}  // namespace brindlet::testsupport
