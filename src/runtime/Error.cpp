#include "runtime/Error.h"

#include <cstdio>

namespace brindlet::runtime {

std::string quoted(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out += '"';
  for (char c : text) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
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
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u{%x}", static_cast<unsigned>(c));
          out += buf;
        } else {
          out += c;
        }
    }
  }
  out += '"';
  return out;
}

ErrorText::ErrorText(std::string_view caseName) : name_(caseName) {}

void ErrorText::field(std::string_view label, std::string_view rendered) {
  if (!fields_.empty()) fields_ += ", ";
  if (!label.empty()) {
    fields_ += label;
    fields_ += ": ";
  }
  fields_ += rendered;
}

ErrorText& ErrorText::number(std::string_view label, std::int64_t value) {
  field(label, std::to_string(value));
  return *this;
}

ErrorText& ErrorText::text(std::string_view label, std::string_view value) {
  field(label, quoted(value));
  return *this;
}

ErrorText& ErrorText::word(std::string_view label, std::string_view value) {
  field(label, value);
  return *this;
}

ErrorText& ErrorText::list(std::string_view label, const std::vector<std::int64_t>& values) {
  std::string rendered = "[";
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (i) rendered += ", ";
    rendered += std::to_string(values[i]);
  }
  rendered += "]";
  field(label, rendered);
  return *this;
}

std::string ErrorText::str() const {
  if (fields_.empty()) return name_;
  return name_ + "(" + fields_ + ")";
}

}  // namespace brindlet::runtime
