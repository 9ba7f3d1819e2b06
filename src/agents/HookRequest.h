#pragma once

#include <cstddef>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "agents/HookEvent.h"
#include "runtime/Bytes.h"

namespace brindlet::agents {

// One request as read off a hook connection; the method and the HTTP version are not kept.
struct HookRequest {
  std::map<std::string, std::string> headers;  // lower-cased names; a later duplicate wins
  std::string target;
  runtime::Bytes body;
};

// Reads one HTTP/1.1 request from the bytes of a connection as they arrive. A request is
// refused (the connection is then closed without a reply) when it is malformed, has a
// Content-Length that is not plain digits or conflicts with another, carries header values that
// are not UTF-8, or is larger than maxBytes in all. Bytes after a complete request are ignored.
class HookRequestReader {
 public:
  enum class Status { needMore, complete, refused };
  static constexpr std::size_t maxBytes = 4 * 1024 * 1024;

  HookRequestReader();
  ~HookRequestReader();
  HookRequestReader(const HookRequestReader&) = delete;
  HookRequestReader& operator=(const HookRequestReader&) = delete;

  Status feed(runtime::ByteView bytes);
  // Whether the request's whole head has come (and passed its checks, unless refused).
  bool headRead() const { return headChecked_; }
  // The request, once feed said complete.
  HookRequest take();

 private:
  Status parse();

  struct Parser;
  std::unique_ptr<Parser> parser_;
  std::string pending_;       // received, not yet taken by the parser
  std::size_t consumed_ = 0;  // taken by the parser
  bool headChecked_ = false;
  Status status_ = Status::needMore;
};

// The value of the header, or "" when it is missing.
std::string_view headerValue(const HookRequest& request, const std::string& name);

// Whether the request carries the token, compared in constant time.
bool carriesToken(const HookRequest& request, std::string_view token);

// The event of an admitted request: vendor from the query ("claude" without a `vendor` item),
// terminal from the X- headers. Nothing when the decoded vendor is not UTF-8.
std::optional<HookEvent> hookEventOf(HookRequest request);

// The reply's bytes before its body: status line, the three headers and the empty line.
std::string replyHead(std::string_view status, std::size_t bodySize);

}  // namespace brindlet::agents
