#include <gtest/gtest.h>

#include "runtime/Unicode.h"

namespace brindlet::runtime {
namespace {

struct EqualityCase {
  std::string_view a;
  std::string_view b;
  bool equal;
};

TEST(Unicode, CanonicalEquality) {
  const EqualityCase cases[] = {
      {"abc", "abd", false},
      {"\xC3\xA9", "e\xCC\x81", true},                   // é precomposed vs decomposed
      {"\xE2\x84\xAB", "\xC3\x85", true},                // angstrom sign vs Å
      {"\xEF\xAC\x81", "fi", false},                     // ligature is only compatibility-equal
      {"q\xCC\x87\xCC\xA3", "q\xCC\xA3\xCC\x87", true},  // combining marks reordered
  };
  for (const auto& c : cases) {
    EXPECT_EQ(canonicallyEqual(c.a, c.b), c.equal) << c.a << " / " << c.b;
    if (c.equal) {
      EXPECT_EQ(canonicalHash(c.a), canonicalHash(c.b)) << c.a;
    }
  }
}

TEST(Unicode, Utf16LengthAndGraphemes) {
  struct Case {
    std::string_view text;
    std::size_t utf16;
    std::size_t graphemes;
  };
  const Case cases[] = {
      {"abc", 3, 3},
      {"e\xCC\x81", 2, 1},         // letter + combining accent
      {"\xF0\x9F\x98\x80", 2, 1},  // emoji outside the BMP
      {"\r\n", 2, 1},              // CR LF is one character
  };
  for (const auto& c : cases) {
    EXPECT_EQ(utf16Length(c.text), c.utf16) << c.text;
    EXPECT_EQ(graphemeCount(c.text), c.graphemes) << c.text;
  }
}

TEST(Unicode, Utf8Validity) {
  EXPECT_TRUE(isValidUTF8("plain \xC3\xA9 \xF0\x9F\x98\x80"));
  for (std::string_view bad :
       {"\xC0\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xC3", "\x80", "\xE0\x80\x80"}) {
    EXPECT_FALSE(isValidUTF8(bad));
  }
}

TEST(Unicode, FullLowerCasing) {
  struct Case {
    std::string_view text, lower;
  };
  const Case cases[] = {
      {"Ctrl+CMD+Q", "ctrl+cmd+q"},
      {"\xC4\xB0", "i\xCC\x87"},                 // İ becomes i and a combining dot
      {"\xE2\x84\xAA", "k"},                     // KELVIN SIGN
      {"\xCE\x9F\xCE\xA3", "\xCE\xBF\xCF\x82"},  // final sigma in context
  };
  for (const auto& c : cases) EXPECT_EQ(lowercased(c.text), c.lower) << c.text;
}

TEST(Unicode, CaseIgnoredUnderALocale) {
  // German folds sharp s to ss; Turkish folds dotted capital I to plain i.
  EXPECT_TRUE(containsIgnoringCase("STRASSE 5", "stra\u00dfe", "de"));
  EXPECT_TRUE(containsIgnoringCase("\u0130ZM\u0130R", "izmir", "tr"));
  EXPECT_FALSE(containsIgnoringCase("\u0130ZM\u0130R", "izmir", "en"));
  EXPECT_TRUE(containsIgnoringCase("anything", "", "en"));
}

}  // namespace
}  // namespace brindlet::runtime
