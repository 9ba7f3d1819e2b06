#include <gtest/gtest.h>

#include <exception>
#include <stdexcept>
#include <string>

#include "runtime/Error.h"
#include "runtime/Process.h"

namespace brindlet::runtime {
namespace {

TEST(Describe, GivesATextForAnyException) {
  const auto notFound = ProcessError::programNotFound("tmux");
  struct Case {
    const char* name;
    std::exception_ptr error;
    std::string text;
  };
  const Case cases[] = {
      {"standard exception", std::make_exception_ptr(std::runtime_error("disk gone")), "disk gone"},
      {"typed error", std::make_exception_ptr(notFound), notFound.text()},
      {"an int", std::make_exception_ptr(42), "unknown error"},
      {"a text that is no exception", std::make_exception_ptr(std::string("odd")), "unknown error"},
      {"none", nullptr, "no error"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(describe(c.error), c.text);
  }
  EXPECT_NE(notFound.text().find("tmux"), std::string::npos);
}

}  // namespace
}  // namespace brindlet::runtime
