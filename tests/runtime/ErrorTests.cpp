#include <gtest/gtest.h>

#include "runtime/Error.h"

namespace brindlet::runtime {
namespace {

TEST(ErrorText, Forms) {
  EXPECT_EQ(ErrorText("timeout").str(), "timeout");
  EXPECT_EQ(ErrorText("unknownChannel").number("", 9).str(), "unknownChannel(9)");
  EXPECT_EQ(ErrorText("truncated").number("needed", 6).number("available", 3).str(),
            "truncated(needed: 6, available: 3)");
  EXPECT_EQ(ErrorText("malformedControl").text("", "id: \"x\"\n").str(),
            R"(malformedControl("id: \"x\"\n"))");
  EXPECT_EQ(ErrorText("versionMismatch").number("peer", 2).list("supported", {1, 2}).str(),
            "versionMismatch(peer: 2, supported: [1, 2])");
  EXPECT_EQ(ErrorText("notControl").word("", "video").str(), "notControl(video)");
  EXPECT_EQ(ErrorText("x").list("l", {}).str(), "x(l: [])");
}

}  // namespace
}  // namespace brindlet::runtime
