#include "agents/HookRequest.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <optional>
#include <stdexcept>
#include <string>

#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/vector_body.hpp>
#include <boost/url/parse.hpp>
#include <boost/url/pct_string_view.hpp>

#include "runtime/Unicode.h"

namespace brindlet::agents {
namespace {

namespace http = boost::beast::http;

std::string lowerAscii(std::string_view text) {
  std::string lower(text);
  for (auto& c : lower) {
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
  }
  return lower;
}

// The last query item named `key`, percent-escapes decoded and "+" kept as "+". The items are
// split here: Boost.URL 1.81's params iterator reads freed memory on an empty query that a
// fragment follows ("/hook?#x").
std::optional<std::string> queryItem(std::string_view query, std::string_view key) {
  const auto decoded = [](std::string_view text) {
    const auto valid = boost::urls::make_pct_string_view(text);
    return valid ? valid->decode(boost::urls::encoding_opts(false)) : std::string();
  };
  std::optional<std::string> found;
  for (std::size_t start = 0; start <= query.size();) {
    const auto end = std::min(query.find('&', start), query.size());
    const auto item = query.substr(start, end - start);
    const auto equals = item.find('=');
    if (decoded(item.substr(0, equals)) == key)
      found = equals == std::string_view::npos ? std::string() : decoded(item.substr(equals + 1));
    start = end + 1;
  }
  return found;
}

// Every Content-Length is plain digits: Beast also takes a list of equal lengths ("5, 5"), which
// a proxy in front could read differently.
template <class Fields>
bool plainLengths(const Fields& fields) {
  const auto lengths = fields.equal_range(http::field::content_length);
  return std::all_of(lengths.first, lengths.second, [](const auto& field) {
    const auto value = field.value();
    return !value.empty() && value.find_first_not_of("0123456789") == std::string_view::npos;
  });
}

}  // namespace

struct HookRequestReader::Parser {
  http::request_parser<http::vector_body<std::uint8_t>> http;
};

HookRequestReader::HookRequestReader() : parser_(std::make_unique<Parser>()) {
  // The whole request may use the limit, head or body; the sum is checked as bytes come.
  parser_->http.header_limit(std::uint32_t(maxBytes));
  parser_->http.body_limit(std::uint64_t(maxBytes));
  // Not eager: the parser stops after the head, so that the head's size is known before the
  // declared body is checked against the limit.
  parser_->http.eager(false);
}

HookRequestReader::~HookRequestReader() = default;

HookRequestReader::Status HookRequestReader::feed(runtime::ByteView bytes) {
  if (status_ != Status::needMore) return status_;
  pending_.append(runtime::asText(bytes));
  status_ = parse();
  if (status_ == Status::needMore && consumed_ + pending_.size() > maxBytes) {
    status_ = Status::refused;
  }
  if (status_ != Status::needMore) std::string().swap(pending_);
  return status_;
}

HookRequestReader::Status HookRequestReader::parse() {
  auto& parser = parser_->http;
  std::size_t offset = 0;
  Status status = Status::needMore;
  while (offset < pending_.size()) {
    boost::system::error_code ec;
    std::size_t used = 0;
    try {
      used = parser.put(
          boost::asio::const_buffer(pending_.data() + offset, pending_.size() - offset), ec);
    } catch (const std::length_error&) {
      // Beast keeps a field's value in at most 65,533 bytes and throws past that.
      return Status::refused;
    }
    offset += used;
    consumed_ += used;
    if (ec == http::error::need_more) break;
    if (ec) return Status::refused;
    if (parser.is_header_done() && !headChecked_) {
      // A declared body that cannot fit is refused before it is waited for.
      headChecked_ = true;
      if (!plainLengths(parser.get())) return Status::refused;
      const auto length = parser.content_length();
      if (length && *length > maxBytes - std::min(consumed_, maxBytes)) return Status::refused;
    }
    if (parser.is_done()) {
      status = Status::complete;
      break;
    }
    if (used == 0) break;
  }
  pending_.erase(0, offset);
  if (status == Status::complete) {
    if (!runtime::isValidUTF8(parser.get().target())) return Status::refused;
    for (const auto& field : parser.get()) {
      if (!runtime::isValidUTF8(field.value())) return Status::refused;
    }
  }
  return status;
}

HookRequest HookRequestReader::take() {
  auto message = parser_->http.release();
  HookRequest request;
  for (const auto& field : message) {
    request.headers[lowerAscii(field.name_string())] = std::string(field.value());
  }
  request.target = std::string(message.target());
  request.body = std::move(message.body());
  return request;
}

std::string_view headerValue(const HookRequest& request, const std::string& name) {
  const auto found = request.headers.find(name);
  return found == request.headers.end() ? std::string_view() : std::string_view(found->second);
}

bool carriesToken(const HookRequest& request, std::string_view token) {
  const auto sent = headerValue(request, "x-brindlet-token");
  // The token's length is no secret (every token is a UUID); its characters are.
  return sent.size() == token.size() && CRYPTO_memcmp(sent.data(), token.data(), sent.size()) == 0;
}

std::optional<HookEvent> hookEventOf(HookRequest request) {
  HookEvent event;
  event.vendor = "claude";
  if (const auto url = boost::urls::parse_uri_reference(request.target)) {
    if (auto vendor = queryItem(url->encoded_query(), "vendor")) event.vendor = std::move(*vendor);
  }
  if (!runtime::isValidUTF8(event.vendor)) return std::nullopt;
  event.body = std::move(request.body);
  auto& terminal = event.terminal;
  terminal.program = headerValue(request, "x-term");
  terminal.tty = headerValue(request, "x-tty");
  // ps prints "?" for a process without a terminal.
  if (terminal.tty == "?") terminal.tty.clear();
  terminal.tmuxPane = headerValue(request, "x-tmux-pane");
  terminal.session = headerValue(request, "x-term-session");
  return event;
}

std::string replyHead(std::string_view status, std::size_t bodySize) {
  std::string head = "HTTP/1.1 ";
  head += status;
  head += "\r\nContent-Type: application/json\r\nContent-Length: ";
  head += std::to_string(bodySize);
  head += "\r\nConnection: close\r\n\r\n";
  return head;
}

}  // namespace brindlet::agents
