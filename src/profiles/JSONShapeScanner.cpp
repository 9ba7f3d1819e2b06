#include "profiles/JSONShapeScanner.h"

#include <nlohmann/json.hpp>
#include <optional>

#include "profiles/ProfileError.h"
#include "runtime/Unicode.h"

namespace brindlet::profiles {
namespace {

constexpr std::size_t kLinearKeys = 16;  // an object's keys searched in order up to this many

bool isWhitespace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

[[noreturn]] void malformed(std::string text) {
  throw ProfileError::malformedJSON(std::move(text));
}

// The text of a string token (quotes included) as the decoder reads it: none when the decoder
// refuses it (a bad escape, a raw control character, invalid UTF-8).
std::optional<std::string> decodeString(std::string_view token) {
  const std::string_view inner = token.substr(1, token.size() - 2);
  bool plain = true;  // printable ASCII without escapes: the text is the bytes themselves
  for (char c : inner) plain &= c >= 0x20 && c != '\\';
  if (plain) return std::string(inner);
  try {
    nlohmann::json value;
    runtime::parseJson(token, value);
    return value.get<std::string>();
  } catch (const runtime::JsonReadError&) {
    return std::nullopt;
  }
}

}  // namespace

JSONShapeScanner::JSONShapeScanner(std::string_view bytes) : bytes_(bytes) {}

JSONShapeScanner::JSONShapeScanner(runtime::ByteView bytes)
    : bytes_(reinterpret_cast<const char*>(bytes.data()), bytes.size()) {}

void JSONShapeScanner::scanDocument(std::string_view bytes) {
  constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
  if (bytes.starts_with(kByteOrderMark)) bytes.remove_prefix(kByteOrderMark.size());
  JSONShapeScanner(bytes).scanValue();
}

void JSONShapeScanner::skipWhitespace() {
  while (position_ < bytes_.size() && isWhitespace(bytes_[position_])) ++position_;
}

void JSONShapeScanner::skipScalar() {
  while (position_ < bytes_.size()) {
    const char c = bytes_[position_];
    if (isWhitespace(c) || c == ',' || c == ']' || c == '}') return;
    ++position_;
  }
}

std::string_view JSONShapeScanner::skipString() {
  if (position_ >= bytes_.size() || bytes_[position_] != '"') malformed("expected a string");
  const std::size_t open = position_;
  // A backslash passes over the byte after it, whatever that is; so a quote ends the string
  // when an even number of backslashes stands right before it. Each byte is looked at at most
  // twice: once by the search for the quote, once by the count of backslashes behind it.
  std::size_t from = open + 1;
  for (;;) {
    const std::size_t quote = bytes_.find('"', from);
    if (quote == std::string_view::npos) malformed("unterminated string");
    std::size_t backslashes = 0;
    while (quote - backslashes > from && bytes_[quote - backslashes - 1] == '\\') ++backslashes;
    if (backslashes % 2 == 0) {
      position_ = quote + 1;
      return bytes_.substr(open, position_ - open);
    }
    from = quote + 1;
  }
}

std::string JSONShapeScanner::scanString() {
  const std::string_view token = skipString();
  if (auto decoded = decodeString(token)) return std::move(*decoded);
  // What a strict decoder refuses still names a key: the token as written, quotes included.
  return runtime::isValidUTF8(token) ? std::string(token) : std::string();
}

void JSONShapeScanner::scanMember() {
  std::string key = scanString();
  insertKey(key);
  skipWhitespace();
  if (position_ >= bytes_.size() || bytes_[position_] != ':')
    malformed("expected : after \"" + key + "\"");
  ++position_;
}

void JSONShapeScanner::insertKey(const std::string& key) {
  Frame& frame = frames_.back();
  std::string canonical = runtime::normalizedNFC(key);
  if (frame.index) {
    if (!frame.index->insert(std::move(canonical)).second) throw ProfileError::duplicateKey(key);
    return;
  }
  for (std::size_t k = frame.firstKey; k < keys_.size(); ++k)
    if (keys_[k] == canonical) throw ProfileError::duplicateKey(key);
  keys_.push_back(std::move(canonical));
  if (keys_.size() - frame.firstKey > kLinearKeys) {
    frame.index = std::make_unique<std::unordered_set<std::string>>(
        std::make_move_iterator(keys_.begin() + static_cast<std::ptrdiff_t>(frame.firstKey)),
        std::make_move_iterator(keys_.end()));
    keys_.resize(frame.firstKey);
  }
}

bool JSONShapeScanner::open(bool isObject) {
  if (frames_.size() >= maxDepth)
    malformed("nested deeper than " + std::to_string(maxDepth) + " levels");
  ++position_;
  skipWhitespace();
  if (position_ < bytes_.size() && bytes_[position_] == (isObject ? '}' : ']')) {
    ++position_;
    return false;
  }
  frames_.push_back(Frame{isObject, keys_.size(), nullptr});
  if (isObject) {
    skipWhitespace();
    scanMember();
  }
  return true;
}

void JSONShapeScanner::close() {
  keys_.resize(frames_.back().firstKey);
  frames_.pop_back();
  ++position_;
}

bool JSONShapeScanner::nextInContainer(std::size_t base) {
  while (frames_.size() > base) {
    const bool isObject = frames_.back().isObject;
    const char* fault = isObject ? "expected , or }" : "expected , or ]";
    skipWhitespace();
    if (position_ >= bytes_.size()) malformed(fault);
    const char c = bytes_[position_];
    if (c == ',') {
      ++position_;
      if (isObject) {
        skipWhitespace();
        scanMember();
      }
      return true;
    }
    if (c != (isObject ? '}' : ']')) malformed(fault);
    close();
  }
  return false;
}

void JSONShapeScanner::scanValue() {
  const std::size_t base = frames_.size();
  for (;;) {
    skipWhitespace();
    if (position_ >= bytes_.size()) malformed("unexpected end");
    switch (bytes_[position_]) {
      case '"':
        skipString();
        break;
      case '[':
        if (open(false)) continue;
        break;
      case '{':
        if (open(true)) continue;
        break;
      default:
        skipScalar();
    }
    if (!nextInContainer(base)) return;
  }
}

}  // namespace brindlet::profiles
