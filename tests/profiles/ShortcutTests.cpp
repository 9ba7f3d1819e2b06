#include <gtest/gtest.h>

#include <unordered_set>

#include "profiles/ProfileError.h"
#include "profiles/Shortcut.h"

namespace brindlet::profiles {
namespace {

using M = Shortcut::Modifier;

// The names whose codes are easy to get wrong: the two names of return, delete and escape, and
// the F-keys, whose codes follow no order. The table holds the 76 names of the ANSI keyboard.
TEST(Shortcut, KeyCodesThatCarryRisk) {
  struct Key {
    std::string_view name;
    std::uint16_t code;
  };
  const Key keys[] = {
      {"return", 36}, {"enter", 36}, {"delete", 51}, {"backspace", 51}, {"forwarddelete", 117},
      {"escape", 53}, {"esc", 53},   {"f1", 122},    {"f2", 120},       {"f3", 99},
      {"f4", 118},    {"f5", 96},    {"f6", 97},     {"f7", 98},        {"f8", 100},
      {"f9", 101},    {"f10", 109},  {"f11", 103},   {"f12", 111},
  };
  EXPECT_EQ(Shortcut::keyCodes().size(), 76u);
  for (const auto& key : keys) {
    const Shortcut parsed = Shortcut::parse(key.name);
    EXPECT_EQ(parsed, (Shortcut{{}, std::string(key.name), key.code})) << key.name;
  }
}

TEST(Shortcut, Parsing) {
  struct Case {
    std::string_view text;
    Shortcut expected;
  };
  const Case cases[] = {
      {"ctrl+cmd+q", {{M::ctrl, M::cmd}, "q", 12}},
      {"Command+Option+Control+Shift+F5", {{M::cmd, M::opt, M::ctrl, M::shift}, "f5", 96}},
      {"alt+shift+tab", {{M::opt, M::shift}, "tab", 48}},
      // Full Unicode lower-casing: the Kelvin sign lower-cases to the letter k.
      {"cmd+\xE2\x84\xAA", {{M::cmd}, "k", 40}},
  };
  for (const auto& c : cases) EXPECT_EQ(Shortcut::parse(c.text), c.expected) << c.text;
}

TEST(Shortcut, FailuresCarryTheTextAsWritten) {
  const std::string_view failing[] = {"",      "cmd+",           "cmd++q",       "+q",
                                      " q",    "cmd +q",         "cmd+shift",    "cmd+command+q",
                                      "f13",   "meta+q",         "ab",           "cmd+\xC4\xB0",
                                      "q+cmd", "CMD+Shift+Nope", "cmd\xC2\xA0+q"};
  for (std::string_view text : failing) {
    try {
      Shortcut::parse(text);
      ADD_FAILURE() << "parsed: " << text;
    } catch (const ProfileError& e) {
      EXPECT_EQ(e, ProfileError::invalidShortcut(std::string(text)));
    }
  }
}

TEST(Shortcut, RecordsCompareInOrderAndHashAlike) {
  const Shortcut a = Shortcut::parse("cmd+shift+z");
  const Shortcut b = Shortcut::parse("shift+cmd+z");
  const Shortcut c = Shortcut::parse("COMMAND+SHIFT+Z");
  EXPECT_NE(a, b);
  EXPECT_EQ(a, c);
  EXPECT_EQ(std::hash<Shortcut>{}(a), std::hash<Shortcut>{}(c));
  EXPECT_EQ(std::unordered_set<Shortcut>({a, b, c}).size(), 2u);
  EXPECT_EQ(Shortcut::parse("enter").keyCode, Shortcut::parse("return").keyCode);
  EXPECT_NE(Shortcut::parse("enter"), Shortcut::parse("return"));
}

}  // namespace
}  // namespace brindlet::profiles
