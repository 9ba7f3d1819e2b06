#include "runtime/Error.h"

#include "runtime/Json.h"

namespace brindlet::runtime {

std::string describe(const std::exception_ptr& error) {
  if (!error) return "no error";
  try {
    std::rethrow_exception(error);
  } catch (const Error& e) {
    return e.text();
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "unknown error";
  }
}

std::string quoted(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out += '"';
  appendJsonEscaped(out, text);
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
