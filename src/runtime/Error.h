#pragma once

#include <cstdint>
#include <exception>
#include <string>
#include <string_view>
#include <vector>

namespace brindlet::runtime {

// Base of every layer's typed error. The text is the value's own form, "caseName(payload)",
// which is what logs and wrapping errors show; the layers add the case enum and payload.
class Error : public std::exception {
 public:
  const char* what() const noexcept override { return text_.c_str(); }
  const std::string& text() const { return text_; }

 protected:
  explicit Error(std::string text) : text_(std::move(text)) {}

 private:
  std::string text_;
};

// A text for any exception, for logs and wrapping errors: a typed error's form, any other
// standard exception's what(), "unknown error" for anything else and "no error" for none.
std::string describe(const std::exception_ptr& error);

// Writes a text in double quotes, escaping quotes, backslashes and control characters, so that
// a payload text in an error's form can't be mistaken for the form's own punctuation.
std::string quoted(std::string_view text);

// Builds "caseName(label: value, ...)"; a field with an empty label is written bare, and a case
// without fields is just its name.
class ErrorText {
 public:
  explicit ErrorText(std::string_view caseName);

  ErrorText& number(std::string_view label, std::int64_t value);
  ErrorText& text(std::string_view label, std::string_view value);  // quoted
  ErrorText& word(std::string_view label, std::string_view value);  // bare
  ErrorText& list(std::string_view label, const std::vector<std::int64_t>& values);

  std::string str() const;
  operator std::string() const { return str(); }

 private:
  void field(std::string_view label, std::string_view rendered);

  std::string name_;
  std::string fields_;
};

}  // namespace brindlet::runtime
