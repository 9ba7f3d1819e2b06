#include "profiles/JSONShapeScanner.h"

#include <cstring>
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

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The four hexadecimal digits of a \u escape starting at text[at], or none.
std::optional<std::uint32_t> hex4(std::string_view text, std::size_t at) {
  if (at + 4 > text.size()) return std::nullopt;
  std::uint32_t value = 0;
  for (std::size_t k = 0; k < 4; ++k) {
    const int digit = hexValue(text[at + k]);
    if (digit < 0) return std::nullopt;
    value = value * 16 + static_cast<std::uint32_t>(digit);
  }
  return value;
}

void appendUTF8(std::string& out, std::uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// Resolves one escape at inner[i] (the byte after the backslash); advances i past it.
bool appendEscape(std::string& out, std::string_view inner, std::size_t& i) {
  switch (inner[i]) {
    case '"':
      out += '"';
      break;
    case '\\':
      out += '\\';
      break;
    case '/':
      out += '/';
      break;
    case 'b':
      out += '\b';
      break;
    case 'f':
      out += '\f';
      break;
    case 'n':
      out += '\n';
      break;
    case 'r':
      out += '\r';
      break;
    case 't':
      out += '\t';
      break;
    case 'u': {
      auto unit = hex4(inner, i + 1);
      if (!unit || (*unit >= 0xDC00 && *unit <= 0xDFFF)) return false;
      i += 4;
      std::uint32_t cp = *unit;
      if (cp >= 0xD800 && cp <= 0xDBFF) {  // a high surrogate needs its low half next
        if (i + 2 >= inner.size() || inner[i + 1] != '\\' || inner[i + 2] != 'u') return false;
        auto low = hex4(inner, i + 3);
        if (!low || *low < 0xDC00 || *low > 0xDFFF) return false;
        cp = 0x10000 + ((cp - 0xD800) << 10) + (*low - 0xDC00);
        i += 6;
      }
      appendUTF8(out, cp);
      break;
    }
    default:
      return false;
  }
  ++i;
  return true;
}

// The text of the JSON string between the quotes, as a strict decoder reads it: none when it
// holds a bad escape, a raw control character or invalid UTF-8.
std::optional<std::string> decodeString(std::string_view inner) {
  bool plain = true;  // printable ASCII without escapes: the text is the bytes themselves
  for (char c : inner) plain &= c >= 0x20 && c != '\\';
  if (plain) return std::string(inner);
  std::string out;
  out.reserve(inner.size());
  bool nonAscii = false;
  for (std::size_t i = 0; i < inner.size();) {
    const auto c = static_cast<unsigned char>(inner[i]);
    if (c == '\\') {
      if (++i >= inner.size() || !appendEscape(out, inner, i)) return std::nullopt;
      continue;
    }
    if (c < 0x20) return std::nullopt;
    nonAscii |= c >= 0x80;
    out += static_cast<char>(c);
    ++i;
  }
  if (nonAscii && !runtime::isValidUTF8(out)) return std::nullopt;
  return out;
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
  const char* data = bytes_.data();
  const std::size_t end = bytes_.size();
  // The closing quote is the next quote that no backslash before it escapes; a backslash
  // passes over the byte after it, whatever that is.
  std::size_t i = open + 1;
  for (;;) {
    if (i >= end) malformed("unterminated string");
    const void* quote = std::memchr(data + i, '"', end - i);
    if (quote == nullptr) malformed("unterminated string");
    const auto q = static_cast<std::size_t>(static_cast<const char*>(quote) - data);
    const void* backslash = std::memchr(data + i, '\\', q - i);
    if (backslash == nullptr) {
      position_ = q + 1;
      return bytes_.substr(open, position_ - open);
    }
    i = static_cast<std::size_t>(static_cast<const char*>(backslash) - data) + 2;
  }
}

std::string JSONShapeScanner::scanString() {
  const std::string_view token = skipString();
  if (auto decoded = decodeString(token.substr(1, token.size() - 2))) return std::move(*decoded);
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
