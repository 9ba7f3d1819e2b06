// The gallery program's pictures as ImageMagick reads them: every look at its size, and two
// runs identical pixel for pixel.

#include <gtest/gtest.h>

#include <map>
#include <sstream>
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
#ifdef APP_GALLERY
  // The app's windows and menu, at two pixels per point: every page in four states, each pairing
  // state, the guide for both permissions and the menu in three states.
  const auto app =
      runProgram({"sh", "-c", "identify -format '%f %m %w %h\\n' \"$0\"/app/*.png", first.path()});
  ASSERT_EQ(app.status, 0) << app.output;
  std::istringstream lines(app.output);
  std::map<std::string, int> kinds;
  for (std::string name, format; lines >> name >> format;) {
    int width = 0, height = 0;
    lines >> width >> height;
    SCOPED_TRACE(name);
    EXPECT_EQ(format, "PNG");
    const std::string kind = name.substr(0, name.find('-'));
    ++kinds[kind];
    const std::map<std::string, std::pair<int, int>> sizes{{"page", {1280, 1160}},
                                                           {"guide", {800, 192}}};
    if (sizes.count(kind)) {
      EXPECT_EQ(std::pair(width, height), sizes.at(kind));
    }
    EXPECT_EQ(kind != "pairing" || width == 840, true);
    EXPECT_GT(width * height, 0);
  }
  EXPECT_EQ(kinds,
            (std::map<std::string, int>{{"guide", 2}, {"menu", 3}, {"page", 20}, {"pairing", 6}}));
#endif
}

}  // namespace
}  // namespace brindlet::design
