// The gallery program's pictures as ImageMagick reads them: every look at its size, and two
// runs identical pixel for pixel.

#include <gtest/gtest.h>

#include <string>

#include "Gallery.h"
#include "support/ChildProcess.h"
#include "support/QtHarness.h"
#include "support/TempDir.h"

namespace brindlet::design {
namespace {

using testsupport::runProgram;

TEST(Gallery, EveryLookAtItsSizeAndTwoRunsIdentical) {
  testsupport::TempDir first, second;
  ASSERT_EQ(runProgram({DESIGN_GALLERY, first.path()}).status, 0);
  ASSERT_EQ(runProgram({DESIGN_GALLERY, second.path()}).status, 0);
  const auto looks = galleryLooks();
  ASSERT_GE(looks.size(), 40u);
  for (const auto& look : looks) {
    SCOPED_TRACE(look.name);
    const std::string a = first.file(look.name + ".png"), b = second.file(look.name + ".png");
    const auto size = runProgram({"identify", "-format", "%m %w %h", a});
    ASSERT_EQ(size.status, 0) << size.output;
    const QSize want = pixelSize(look, 2);
    EXPECT_EQ(size.output,
              "PNG " + std::to_string(want.width()) + " " + std::to_string(want.height()));
    const auto diff = runProgram({"sh", "-c", "compare -metric AE \"$0\" \"$1\" null: 2>&1", a, b});
    EXPECT_EQ(diff.status, 0);
    EXPECT_EQ(diff.output, "0");
  }
}

}  // namespace
}  // namespace brindlet::design
