#include "runtime/Json.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <nlohmann/json.hpp>
#include <optional>
#include <unordered_map>
#include <utility>

#include "runtime/Base64.h"
#include "runtime/Unicode.h"

namespace brindlet::runtime {

// The text of each number of a document that is not a 64-bit integer, by its value's address.
struct JsonNumberTexts {
  std::unordered_map<const nlohmann::json*, std::string> texts;
};

namespace {

using nlohmann::json;

std::string_view kindOf(const json& value) {
  switch (value.type()) {
    case json::value_t::null:
      return "null";
    case json::value_t::boolean:
      return "a boolean";
    case json::value_t::number_integer:
    case json::value_t::number_unsigned:
    case json::value_t::number_float:
      return "a number";
    case json::value_t::string:
      return "a string";
    case json::value_t::array:
      return "an array";
    case json::value_t::object:
      return "an object";
    default:
      return "a value of another kind";
  }
}

std::string plainNumberText(const json& value) {
  if (value.is_number_integer() && !value.is_number_unsigned())
    return std::to_string(value.get<std::int64_t>());
  if (value.is_number_unsigned()) return std::to_string(value.get<std::uint64_t>());
  return jsonNumberText(value.get<double>());
}

void appendEscaped(std::string& out, std::string_view text) {
  if (!isValidUTF8(text)) throw JsonWriteError("a string is not valid UTF-8");
  out += '"';
  appendJsonEscaped(out, text);
  out += '"';
}

// The length of the well-formed UTF-8 character at text[at], or 0 when the bytes there are not one.
std::size_t characterLength(std::string_view text, std::size_t at) {
  const auto lead = static_cast<unsigned char>(text[at]);
  const std::size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
  if (length == 1) return 1;
  const std::string_view character = text.substr(at, length);
  return character.size() == length && isValidUTF8(character) ? length : 0;
}

// At most `limit` characters of raw input, fit to stand in a message: cut at a character
// boundary, each byte that is not UTF-8 shown as U+FFFD, and "…" when something was cut.
std::string excerpt(std::string_view text, std::size_t limit = 24) {
  std::string out;
  std::size_t at = 0;
  for (std::size_t count = 0; at < text.size() && count < limit; ++count) {
    const std::size_t length = characterLength(text, at);
    out += length == 0 ? std::string_view("\xEF\xBF\xBD") : text.substr(at, length);
    at += length == 0 ? 1 : length;
  }
  if (at < text.size()) out += "\xE2\x80\xA6";
  return out;
}

bool isJsonWhitespace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// Bytes that end a bare word (a number or a literal) in a JSON text.
bool endsWord(char c) {
  return static_cast<unsigned char>(c) < 0x20 || c == ' ' || c == ',' || c == ':' || c == '[' ||
         c == ']' || c == '{' || c == '}' || c == '"';
}

// Whether the word is a number as JSON writes one: -?(0|[1-9][0-9]*)(.[0-9]+)?([eE][+-]?[0-9]+)?
bool isNumberWord(std::string_view word) {
  std::size_t i = 0;
  const auto digits = [&] {
    const std::size_t start = i;
    while (i < word.size() && word[i] >= '0' && word[i] <= '9') ++i;
    return i > start;
  };
  if (i < word.size() && word[i] == '-') ++i;
  if (i < word.size() && word[i] == '0') {
    ++i;
  } else if (!digits()) {
    return false;
  }
  if (i < word.size() && word[i] == '.') {
    ++i;
    if (!digits()) return false;
  }
  if (i < word.size() && (word[i] == 'e' || word[i] == 'E')) {
    ++i;
    if (i < word.size() && (word[i] == '+' || word[i] == '-')) ++i;
    if (!digits()) return false;
  }
  return i == word.size();
}

// The exponent of a number word (0 when it has none), bounded far beyond any double's.
std::int64_t exponentOf(std::string_view word) {
  const std::size_t e = word.find_first_of("eE");
  if (e == std::string_view::npos) return 0;
  std::string_view text = word.substr(e + 1);
  const bool down = text.starts_with('-');
  if (text.starts_with('-') || text.starts_with('+')) text.remove_prefix(1);
  std::int64_t exponent = 0;
  for (char c : text) exponent = std::min<std::int64_t>(exponent * 10 + (c - '0'), 1'000'000);
  return down ? -exponent : exponent;
}

// The power of ten of a number word's first significant digit: 2 for 123.4, -4 for 0.00012e0;
// none for zero.
std::int64_t decimalOrder(std::string_view word) {
  const std::string_view mantissa = word.substr(0, std::min(word.find_first_of("eE"), word.size()));
  const std::size_t first = mantissa.find_first_of("123456789");
  if (first == std::string_view::npos) return std::numeric_limits<std::int64_t>::min();
  const auto dot = static_cast<std::int64_t>(std::min(mantissa.find('.'), mantissa.size()));
  const auto at = static_cast<std::int64_t>(first);
  return (at < dot ? dot - at - 1 : dot - at) + exponentOf(word);
}

struct ExactInteger {
  bool negative = false;
  std::uint64_t magnitude = 0;
};

// The exact value of a number word, when it is a whole number of at most 64 bits of magnitude:
// 2.0 and 1e2 are whole, 65535.000000000001 and 0.99999999999999999 are not.
std::optional<ExactInteger> exactInteger(std::string_view word) {
  ExactInteger out;
  out.negative = word.starts_with('-');
  if (out.negative) word.remove_prefix(1);
  const std::size_t e = std::min(word.find_first_of("eE"), word.size());
  std::int64_t exponent = exponentOf(word);
  std::string digits(word.substr(0, e));
  if (const std::size_t dot = digits.find('.'); dot != std::string::npos) {
    exponent -= static_cast<std::int64_t>(digits.size() - dot - 1);
    digits.erase(dot, 1);
  }
  digits.erase(0, std::min(digits.find_first_not_of('0'), digits.size()));
  if (digits.empty()) return out;  // zero, however it is written
  const std::size_t last = digits.find_last_not_of('0');
  exponent += static_cast<std::int64_t>(digits.size() - last - 1);
  digits.resize(last + 1);
  if (exponent < 0 || static_cast<std::int64_t>(digits.size()) + exponent > 20) return std::nullopt;
  for (char c : digits)
    if (__builtin_mul_overflow(out.magnitude, 10u, &out.magnitude) ||
        __builtin_add_overflow(out.magnitude, static_cast<unsigned>(c - '0'), &out.magnitude))
      return std::nullopt;
  for (std::int64_t k = 0; k < exponent; ++k)
    if (__builtin_mul_overflow(out.magnitude, 10u, &out.magnitude)) return std::nullopt;
  return out;
}

// Reads one JSON text into nlohmann's document model. Objects keep the last of a repeated key,
// as the library's own reader does; unlike it, this reader takes the input to its very end (a
// NUL byte is a fault, not the end) and its messages name line and column. Nesting is bounded,
// so the recursion is too.
class Parser {
 public:
  Parser(std::string_view bytes, JsonNumberTexts* numbers) : in_(bytes), numbers_(numbers) {}

  void parseDocument(json& out) {
    constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
    if (in_.starts_with(kByteOrderMark)) pos_ = kByteOrderMark.size();
    const std::string_view literal = parseValue(out, 0);
    record(out, literal);
    skipWhitespace();
    if (pos_ < in_.size()) fail(pos_, "expected the end of the data but found " + found(pos_));
  }

 private:
  [[noreturn]] void fail(std::size_t at, std::string_view what) const {
    std::size_t line = 1;
    std::size_t column = 1;
    for (std::size_t i = 0; i < at && i < in_.size(); ++i) {
      if (in_[i] == '\n') {
        ++line;
        column = 1;
      } else if ((static_cast<unsigned char>(in_[i]) & 0xC0) != 0x80) {
        ++column;
      }
    }
    throw JsonReadError(JsonFailure::dataCorrupted, "line " + std::to_string(line) + ", column " +
                                                        std::to_string(column) + ": " +
                                                        std::string(what));
  }

  // What stands at `at`, for a message.
  std::string found(std::size_t at) const {
    if (at >= in_.size()) return "the end of the data";
    const auto c = static_cast<unsigned char>(in_[at]);
    if (c < 0x20 || c == 0x7F) {
      static constexpr char kHex[] = "0123456789ABCDEF";
      return std::string("the control character U+00") + kHex[c >> 4] + kHex[c & 0xF];
    }
    if (characterLength(in_, at) == 0) return "a byte that is not UTF-8";
    std::size_t end = at + characterLength(in_, at);
    if (!endsWord(in_[at]))
      while (end < in_.size() && !endsWord(in_[end])) ++end;
    return "'" + excerpt(in_.substr(at, end - at)) + "'";
  }

  void skipWhitespace() {
    while (pos_ < in_.size() && isJsonWhitespace(in_[pos_])) ++pos_;
  }

  void record(const json& value, std::string_view literal) {
    if (numbers_ != nullptr && !literal.empty())
      numbers_->texts.insert_or_assign(&value, std::string(literal));
  }

  // Parses the value at pos_ into `out`; returns the number's text when it is a number that is
  // not a 64-bit integer (the caller records it once `out` has its final address).
  std::string_view parseValue(json& out, std::size_t depth) {
    skipWhitespace();
    if (pos_ >= in_.size()) fail(pos_, "expected a value but found the end of the data");
    switch (in_[pos_]) {
      case '"':
        out = parseString();
        return {};
      case '[':
        parseArray(out, depth + 1);
        return {};
      case '{':
        parseObject(out, depth + 1);
        return {};
      default:
        return parseWord(out);
    }
  }

  std::string_view parseWord(json& out) {
    const std::size_t start = pos_;
    while (pos_ < in_.size() && !endsWord(in_[pos_]) && !isJsonWhitespace(in_[pos_])) ++pos_;
    const std::string_view word = in_.substr(start, pos_ - start);
    if (word == "true" || word == "false") {
      out = word == "true";
    } else if (word == "null") {
      out = nullptr;
    } else if (!isNumberWord(word)) {
      if (word.starts_with('-') || (!word.empty() && word[0] >= '0' && word[0] <= '9'))
        fail(start, "'" + excerpt(word) + "' is not a valid number");
      fail(start, "expected a value but found " + found(start));
    } else {
      return parseNumber(out, word);
    }
    return {};
  }

  std::string_view parseNumber(json& out, std::string_view word) {
    const char* first = word.data();
    const char* last = word.data() + word.size();
    if (word.find_first_of(".eE") == std::string_view::npos) {
      std::int64_t negative = 0;
      std::uint64_t positive = 0;
      // "-0" is the double -0.0, which an integer cannot hold: read as one, it would write back
      // as "0".
      if (word.starts_with('-') && std::from_chars(first, last, negative).ec == std::errc() &&
          negative != 0) {
        out = negative;
        return {};
      }
      if (!word.starts_with('-') && std::from_chars(first, last, positive).ec == std::errc()) {
        out = positive;
        return {};
      }
    }
    double value = 0;
    if (std::from_chars(first, last, value).ec == std::errc::result_out_of_range) {
      // Past the range of a double: too large is an infinity, too small a zero.
      value = decimalOrder(word) > 0 ? std::numeric_limits<double>::infinity() : 0.0;
      if (word.starts_with('-')) value = -value;
    }
    out = value;
    return word;
  }

  // Reads four hexadecimal digits at pos_.
  std::uint32_t hexUnit(std::size_t escape) {
    std::uint32_t unit = 0;
    for (std::size_t k = 0; k < 4; ++k, ++pos_) {
      const char c = pos_ < in_.size() ? in_[pos_] : '\0';
      const int digit = (c >= '0' && c <= '9')   ? c - '0'
                        : (c >= 'a' && c <= 'f') ? c - 'a' + 10
                        : (c >= 'A' && c <= 'F') ? c - 'A' + 10
                                                 : -1;
      if (digit < 0) fail(escape, "'" + excerpt(in_.substr(escape, 6)) + "' is not a valid escape");
      unit = unit * 16 + static_cast<std::uint32_t>(digit);
    }
    return unit;
  }

  void appendEscape(std::string& out) {
    const std::size_t escape = pos_++;  // at the backslash
    if (pos_ >= in_.size()) fail(escape, "the string is not terminated");
    const char c = in_[pos_++];
    switch (c) {
      case '"':
      case '\\':
      case '/':
        out += c;
        return;
      case 'b':
        out += '\b';
        return;
      case 'f':
        out += '\f';
        return;
      case 'n':
        out += '\n';
        return;
      case 'r':
        out += '\r';
        return;
      case 't':
        out += '\t';
        return;
      case 'u':
        break;
      default:
        fail(escape, "'" + excerpt(in_.substr(escape, 1 + characterLength(in_, escape + 1))) +
                         "' is not a valid escape");
    }
    std::uint32_t cp = hexUnit(escape);
    if (cp >= 0xD800 && cp <= 0xDFFF) {
      const bool high = cp <= 0xDBFF;
      std::uint32_t low = 0;
      if (high && in_.substr(pos_, 2) == "\\u") {
        pos_ += 2;
        low = hexUnit(pos_ - 2);
      }
      if (!high || low < 0xDC00 || low > 0xDFFF)
        fail(escape, "'" + excerpt(in_.substr(escape, 6)) + "' is half of a surrogate pair");
      cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
    }
    appendCodePoint(out, cp);
  }

  static void appendCodePoint(std::string& out, std::uint32_t cp) {
    if (cp < 0x80) {
      out += static_cast<char>(cp);
      return;
    }
    char bytes[4];
    int count = cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
    for (int k = count - 1; k > 0; --k, cp >>= 6) bytes[k] = static_cast<char>(0x80 | (cp & 0x3F));
    static constexpr unsigned char kLead[] = {0, 0, 0xC0, 0xE0, 0xF0};
    bytes[0] = static_cast<char>(kLead[count] | cp);
    out.append(bytes, static_cast<std::size_t>(count));
  }

  std::string parseString() {
    const std::size_t open = pos_++;
    std::string out;
    bool ascii = true;
    std::size_t run = pos_;  // start of the bytes not yet copied to `out`
    for (;;) {
      if (pos_ >= in_.size()) fail(open, "the string is not terminated");
      const auto c = static_cast<unsigned char>(in_[pos_]);
      if (c == '"') break;
      if (c == '\\') {
        out.append(in_.substr(run, pos_ - run));
        appendEscape(out);
        run = pos_;
      } else if (c < 0x20) {
        fail(pos_, found(pos_) + " must be escaped in a string");
      } else {
        ascii &= c < 0x80;
        ++pos_;
      }
    }
    out.append(in_.substr(run, pos_ - run));
    if (!ascii && !isValidUTF8(in_.substr(open, pos_ - open))) {
      std::size_t at = open;
      while (characterLength(in_, at) != 0) at += characterLength(in_, at);
      fail(at, "the string holds " + found(at));
    }
    ++pos_;
    return out;
  }

  void enter(std::size_t depth) const {
    if (depth > kMaxJsonDepth)
      fail(pos_,
           "arrays and objects nest deeper than " + std::to_string(kMaxJsonDepth) + " levels");
  }

  // After a value inside a container: true when a comma follows, false at the closing byte.
  bool another(char close, std::string_view expected) {
    skipWhitespace();
    if (pos_ < in_.size() && in_[pos_] == ',') {
      ++pos_;
      return true;
    }
    if (pos_ < in_.size() && in_[pos_] == close) {
      ++pos_;
      return false;
    }
    fail(pos_, "expected " + std::string(expected) + " but found " + found(pos_));
  }

  void parseArray(json& out, std::size_t depth) {
    enter(depth);
    ++pos_;
    json::array_t elements;
    std::vector<std::pair<std::size_t, std::string_view>> numbers;
    skipWhitespace();
    if (pos_ < in_.size() && in_[pos_] == ']') {
      ++pos_;
    } else {
      do {
        const std::string_view literal = parseValue(elements.emplace_back(), depth);
        if (!literal.empty()) numbers.emplace_back(elements.size() - 1, literal);
      } while (another(']', "',' or ']'"));
    }
    out = std::move(elements);
    for (const auto& [index, literal] : numbers) record(out[index], literal);
  }

  void parseObject(json& out, std::size_t depth) {
    enter(depth);
    ++pos_;
    out = json::object();
    auto& members = out.get_ref<json::object_t&>();
    skipWhitespace();
    if (pos_ < in_.size() && in_[pos_] == '}') {
      ++pos_;
      return;
    }
    do {
      skipWhitespace();
      if (pos_ >= in_.size() || in_[pos_] != '"')
        fail(pos_, "expected a key in double quotes but found " + found(pos_));
      json& value = members[parseString()];
      skipWhitespace();
      if (pos_ >= in_.size() || in_[pos_] != ':')
        fail(pos_, "expected ':' after a key but found " + found(pos_));
      ++pos_;
      record(value, parseValue(value, depth));
    } while (another('}', "',' or '}'"));
  }

  std::string_view in_;
  std::size_t pos_ = 0;
  JsonNumberTexts* numbers_;
};

}  // namespace

struct JsonDocument::State {
  json root;
  JsonNumberTexts numbers;
};

JsonDocument::JsonDocument(std::string_view bytes) : state_(std::make_unique<State>()) {
  Parser(bytes, &state_->numbers).parseDocument(state_->root);
}

JsonDocument::JsonDocument(JsonDocument&&) noexcept = default;
JsonDocument& JsonDocument::operator=(JsonDocument&&) noexcept = default;
JsonDocument::~JsonDocument() = default;

const json& JsonDocument::value() const {
  return state_->root;
}

JsonValueReader JsonDocument::reader() const {
  return JsonValueReader(state_->root, JsonPathNode{}, &state_->numbers);
}

void parseJson(std::string_view bytes, json& out) {
  json value;
  Parser(bytes, nullptr).parseDocument(value);
  out = std::move(value);
}

void appendJsonEscaped(std::string& out, std::string_view text) {
  for (char c : text) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\f':
        out += "\\f";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          static constexpr char kHex[] = "0123456789abcdef";
          out += "\\u00";
          out += kHex[(c >> 4) & 0xF];
          out += kHex[c & 0xF];
        } else {
          out += c;
        }
    }
  }
}

std::string jsonNumberText(double value) {
  if (!std::isfinite(value))
    throw JsonWriteError("cannot write the non-finite number " +
                         std::string(std::isnan(value) ? "nan" : "inf"));
  constexpr double kExactLimit = 9007199254740992.0;  // 2^53
  if (value == std::trunc(value) && std::fabs(value) < kExactLimit) {
    if (value == 0 && std::signbit(value)) return "-0";
    return std::to_string(static_cast<std::int64_t>(value));
  }
  char buf[32];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value);
  (void)ec;
  return std::string(buf, end);
}

void appendJson(std::string& out, const json& value) {
  switch (value.type()) {
    case json::value_t::null:
      out += "null";
      break;
    case json::value_t::boolean:
      out += value.get<bool>() ? "true" : "false";
      break;
    case json::value_t::number_integer:
      out += std::to_string(value.get<std::int64_t>());
      break;
    case json::value_t::number_unsigned:
      out += std::to_string(value.get<std::uint64_t>());
      break;
    case json::value_t::number_float:
      out += jsonNumberText(value.get<double>());
      break;
    case json::value_t::string:
      appendEscaped(out, value.get_ref<const std::string&>());
      break;
    case json::value_t::array: {
      out += '[';
      bool first = true;
      for (const auto& element : value) {
        if (!first) out += ',';
        first = false;
        appendJson(out, element);
      }
      out += ']';
      break;
    }
    case json::value_t::object: {
      // nlohmann's object is a std::map over std::string: iteration is in byte order.
      out += '{';
      bool first = true;
      for (const auto& [key, element] : value.get_ref<const json::object_t&>()) {
        if (!first) out += ',';
        first = false;
        appendEscaped(out, key);
        out += ':';
        appendJson(out, element);
      }
      out += '}';
      break;
    }
    default:
      throw JsonWriteError("cannot write a binary value");
  }
}

std::string writeJson(const json& value) {
  std::string out;
  appendJson(out, value);
  return out;
}

std::string JsonPathNode::text() const {
  std::vector<const JsonPathNode*> chain;
  for (const JsonPathNode* n = this; n != nullptr && !n->isRoot; n = n->parent) chain.push_back(n);
  std::string out;
  for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
    if (!out.empty()) out += '.';
    if ((*it)->isIndex) {
      out += std::to_string((*it)->index);
    } else {
      out += (*it)->key;
    }
  }
  return out;
}

bool JsonValueReader::isNull() const {
  return value_->is_null();
}

void JsonValueReader::fail(JsonFailure kind, std::string_view description) const {
  std::string p = path();
  if (p.empty()) throw JsonReadError(kind, std::string(description));
  throw JsonReadError(kind, p + ": " + std::string(description));
}

void JsonValueReader::failType(std::string_view expected) const {
  const auto kind = value_->is_null() ? JsonFailure::valueNotFound : JsonFailure::typeMismatch;
  fail(kind, "expected " + std::string(expected) + " but found " + std::string(kindOf(*value_)));
}

std::string JsonValueReader::asString() const {
  if (!value_->is_string()) failType("a string");
  return value_->get<std::string>();
}

bool JsonValueReader::asBool() const {
  if (!value_->is_boolean()) failType("a boolean");
  return value_->get<bool>();
}

const std::string* JsonValueReader::writtenNumber() const {
  // Only the document's own numbers that are not 64-bit integers have a text.
  if (numbers_ == nullptr || !value_->is_number_float()) return nullptr;
  auto it = numbers_->texts.find(value_);
  return it == numbers_->texts.end() ? nullptr : &it->second;
}

std::string JsonValueReader::numberText() const {
  if (const std::string* written = writtenNumber()) return excerpt(*written, 40);
  const double value = value_->is_number_float() ? value_->get<double>() : 0;
  if (!std::isfinite(value)) return std::isnan(value) ? "nan" : value > 0 ? "inf" : "-inf";
  return plainNumberText(*value_);
}

double JsonValueReader::asDouble() const {
  if (!value_->is_number()) failType("a number");
  const double value = value_->get<double>();
  // A number past the range reads as an infinity, or as a zero that only its text tells from one
  // written as zero.
  const std::string* written = value == 0 ? writtenNumber() : nullptr;
  const bool underflow =
      written != nullptr && decimalOrder(*written) != std::numeric_limits<std::int64_t>::min();
  if (!std::isfinite(value) || underflow)
    fail(JsonFailure::dataCorrupted, "number " + numberText() + " does not fit in Double");
  return value;
}

std::int64_t JsonValueReader::integerIn(std::int64_t min, std::int64_t max,
                                        std::string_view type) const {
  if (!value_->is_number()) failType("a number");
  std::optional<std::int64_t> result;
  const auto within = [&](std::int64_t v) {
    if (v >= min && v <= max) result = v;
  };
  if (value_->is_number_unsigned()) {
    const auto v = value_->get<std::uint64_t>();
    if (v <= static_cast<std::uint64_t>(max)) result = static_cast<std::int64_t>(v);
  } else if (value_->is_number_integer()) {
    within(value_->get<std::int64_t>());
  } else if (const std::string* written = writtenNumber()) {
    // Judged by the number as written: 2.0 is 2, 65535.000000000001 is no integer at all.
    if (const auto exact = exactInteger(*written)) {
      constexpr std::uint64_t kMinMagnitude = std::uint64_t{1} << 63;
      if (!exact->negative && exact->magnitude <= static_cast<std::uint64_t>(max)) {
        within(static_cast<std::int64_t>(exact->magnitude));
      } else if (exact->negative && exact->magnitude <= kMinMagnitude) {
        within(exact->magnitude == kMinMagnitude ? std::numeric_limits<std::int64_t>::min()
                                                 : -static_cast<std::int64_t>(exact->magnitude));
      }
    }
  } else {
    // A value built in code: only doubles that hold their integer exactly.
    const double v = value_->get<double>();
    if (v == std::trunc(v) && std::fabs(v) < 9007199254740992.0)
      within(static_cast<std::int64_t>(v));
  }
  if (!result)
    fail(JsonFailure::dataCorrupted,
         "number " + numberText() + " does not fit in " + std::string(type));
  return *result;
}

std::int64_t JsonValueReader::asInt64() const {
  return integerIn(std::numeric_limits<std::int64_t>::min(),
                   std::numeric_limits<std::int64_t>::max(), "Int");
}

std::uint16_t JsonValueReader::asUInt16() const {
  return static_cast<std::uint16_t>(integerIn(0, 65535, "UInt16"));
}

std::uint32_t JsonValueReader::asUInt32() const {
  return static_cast<std::uint32_t>(integerIn(0, 4294967295LL, "UInt32"));
}

Bytes JsonValueReader::asBase64() const {
  if (!value_->is_string()) failType("Base64 text");
  auto bytes = base64Decode(value_->get_ref<const std::string&>());
  if (!bytes) fail(JsonFailure::dataCorrupted, "not valid Base64 text");
  return std::move(*bytes);
}

JsonObjectReader JsonValueReader::asObject() const {
  if (!value_->is_object()) failType("an object");
  return JsonObjectReader(*this);
}

JsonArrayReader JsonValueReader::asArray() const {
  if (!value_->is_array()) failType("an array");
  return JsonArrayReader(*this);
}

JsonObjectReader::JsonObjectReader(const JsonValueReader& object) : object_(object) {}

const json* JsonObjectReader::find(std::string_view key) const {
  const auto& object = object_.json();
  auto it = object.find(key);
  return it == object.end() ? nullptr : &*it;
}

JsonPathNode JsonObjectReader::child(std::string_view key) const {
  return JsonPathNode{&object_.node(), key, 0, false, false};
}

bool JsonObjectReader::contains(std::string_view key) const {
  return find(key) != nullptr;
}

JsonValueReader JsonObjectReader::requiredAllowingNull(std::string_view key) const {
  const json* value = find(key);
  if (value == nullptr) {
    std::string p = object_.path();
    throw JsonReadError(JsonFailure::missingKey,
                        "missing " + (p.empty() ? std::string(key) : p + "." + std::string(key)));
  }
  return JsonValueReader(*value, child(key), object_.numbers_);
}

JsonValueReader JsonObjectReader::required(std::string_view key) const {
  JsonValueReader value = requiredAllowingNull(key);
  if (value.isNull()) value.fail(JsonFailure::valueNotFound, "expected a value but found null");
  return value;
}

std::optional<JsonValueReader> JsonObjectReader::optional(std::string_view key) const {
  const json* value = find(key);
  if (value == nullptr || value->is_null()) return std::nullopt;
  return JsonValueReader(*value, child(key), object_.numbers_);
}

std::vector<std::string_view> JsonObjectReader::keys() const {
  std::vector<std::string_view> out;
  out.reserve(object_.json().size());
  for (const auto& [key, value] : object_.json().get_ref<const json::object_t&>())
    out.push_back(key);
  return out;
}

JsonArrayReader::JsonArrayReader(const JsonValueReader& array) : array_(array) {}

std::size_t JsonArrayReader::size() const {
  return array_.json().size();
}

JsonValueReader JsonArrayReader::element(std::size_t index) const {
  return JsonValueReader(array_.json()[index], JsonPathNode{&array_.node(), {}, index, true, false},
                         array_.numbers_);
}

}  // namespace brindlet::runtime
