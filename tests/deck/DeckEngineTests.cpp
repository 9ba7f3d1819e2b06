// The deck engine driven by scripts: front apps, window titles, reader values, the link and
// deck actions go in; the messages sent (as JSON lines), the actions run and the log lines come
// out, each after the command that caused it. Every script also runs under a decimal-comma
// locale, where numbers must read and print exactly as in the C locale.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <clocale>
#include <locale>

#include "deck/DeckHarness.h"
#include "deck/DeckLooks.h"

namespace brindlet::deck::testing {
namespace {

// Lines that many scripts expect.
const std::string editorShown =
    R"({"app":"com.editor","appName":"editor","profile":"com.test.editor","t":"deckProfile"})";
const std::string editorChosen = "log info Deck profile com.test.editor for com.editor";
const std::string savePlain =
    R"({"profile":"com.test.editor","states":{"save":{"label":"Save","ring":"none","symbol":"doc"}},"t":"deckState"})";
const std::string saveGood =
    R"({"profile":"com.test.editor","states":{"save":{"label":"Save","ring":"good","symbol":"doc"}},"t":"deckState"})";
const std::string otherChosen = "log info Deck profile com.test.other for com.other";
const std::string otherShown =
    R"({"app":"com.other","appName":"other","profile":"com.test.other","t":"deckProfile"})";
const std::string otherLooks =
    R"({"profile":"com.test.other","states":{"save":{"label":"Keep","ring":"none","symbol":"k"}},"t":"deckState"})";
const std::string looksShown =
    R"({"app":"com.looks","appName":"looks","profile":"com.test.looks","t":"deckProfile"})";
const std::string browserShown =
    R"({"app":"com.browser","appName":"browser","profile":"com.test.browser","t":"deckProfile"})";

const std::string saveStored =
    R"({"profile":"com.test.editor","states":{"save":{"label":"Stored","ring":"none","symbol":"doc"}},"t":"deckState"})";

const Script scripts[] = {
    {"a profile read anew with other contents is shown again, and its keys do what it now says",
     {"editor.json", "other.json"},
     {
         "link up",
         "start",
         "front com.editor 11",
         editorChosen,
         editorShown,
         savePlain,
         R"(edit editor.json "label":"Save" | "label":"Stored")",
         "edit editor.json cmd+s | cmd+shift+s",
         "tick",
         editorChosen,
         editorShown,
         saveStored,
         "press com.test.editor save",
         "run com.test.editor/save cmd+shift+s - com.editor",
         "edit editor.json cmd+shift+s | cmd+shift+s",
         R"(edit other.json "Keep" | "Held")",
         "tick",
         "front com.unknown 13",
         "edit editor.json cmd+shift+s | cmd+e",
         "front com.editor 11",
         editorChosen,
         editorShown,
         saveStored,
         "press com.test.editor save",
         "run com.test.editor/save cmd+e - com.editor",
     }},
    {"own app ignored, an app without profile keeps the deck",
     {"editor.json", "other.json"},
     {
         "link up",
         "start",
         "front com.editor 11",
         editorChosen,
         editorShown,
         savePlain,
         "front brindlet 12",
         "front com.unknown 13",
         "recency",
         "= com.unknown com.editor",
         "tick",
         "press com.test.editor save",
         "run com.test.editor/save cmd+s - com.editor",
         "front com.editor 11",
         "recency",
         "= com.editor com.unknown",
     }},
    {"two apps on one wildcard profile, the timer counts from the first activation",
     {"any.json"},
     {
         "link up",
         "start",
         "front com.a 1",
         "log info Deck profile com.test.any for com.a",
         R"({"app":"com.a","appName":"a","profile":"com.test.any","t":"deckProfile"})",
         R"({"profile":"com.test.any","states":{"t":{"label":"00:00","ring":"none","symbol":"clock"}},"t":"deckState"})",
         "jump 65.9",
         R"({"profile":"com.test.any","states":{"t":{"label":"01:05","ring":"none","symbol":"clock"}},"t":"deckState"})",
         "front com.b 2",
         "log info Deck profile com.test.any for com.b",
         R"({"app":"com.b","appName":"b","profile":"com.test.any","t":"deckProfile"})",
         R"({"profile":"com.test.any","states":{"t":{"label":"00:00","ring":"none","symbol":"clock"}},"t":"deckState"})",
         "front com.a 1",
         "log info Deck profile com.test.any for com.a",
         R"({"app":"com.a","appName":"a","profile":"com.test.any","t":"deckProfile"})",
         R"({"profile":"com.test.any","states":{"t":{"label":"01:05","ring":"none","symbol":"clock"}},"t":"deckState"})",
         "front com.a 1",
         "jump 7134.1",
         R"({"profile":"com.test.any","states":{"t":{"label":"120:00","ring":"none","symbol":"clock"}},"t":"deckState"})",
         "press com.test.any t",
         "run com.test.any/t cmd+t - -",
     }},
    {"looks: formats, rules in text order, numbers in the C locale only",
     {"looks.json"},
     {
         "reader fmt | 3",
         "reader pct | 42%",
         "reader own | on",
         "reader svc | Running",
         "link up",
         "start",
         "front com.looks 5",
         "log info Deck profile com.test.looks for com.looks",
         looksShown,
         R"({"profile":"com.test.looks","states":{"fmt":{"label":"3 done","ring":"none","symbol":"f","value":3},"own":{"label":"Own","ring":"good","symbol":"sun"},"pct":{"label":"42%","ring":"none","symbol":"p"},"run":{"label":"Run","ring":"good","symbol":"r"}},"t":"deckState"})",
         "reader svc | running",
         "reader own",
         "reader pct",
         "reader fmt | 2.5",
         "tick",
         R"({"profile":"com.test.looks","states":{"fmt":{"label":"2.5 done","ring":"none","symbol":"f","value":2.5},"own":{"label":"Own","ring":"critical","symbol":"o"},"pct":{"label":"Pct","ring":"none","symbol":"p"},"run":{"label":"Run","ring":"warning","symbol":"r"}},"t":"deckState"})",
         "tick",
         "reader fmt | 2,5",
         "tick",
         R"({"profile":"com.test.looks","states":{"fmt":{"label":"2,5 done","ring":"none","symbol":"f"}},"t":"deckState"})",
         "reader fmt | nan",
         "tick",
         R"({"profile":"com.test.looks","states":{"fmt":{"label":"nan done","ring":"none","symbol":"f"}},"t":"deckState"})",
         "reader fmt | -inf",
         "tick",
         R"({"profile":"com.test.looks","states":{"fmt":{"label":"-inf done","ring":"none","symbol":"f"}},"t":"deckState"})",
     }},
    {"a new window title shows the other profile within one tick",
     {"browser.json", "meet.json"},
     {
         "title 7 Inbox",
         "link up",
         "start",
         "front com.browser 7",
         "log info Deck profile com.test.browser for com.browser",
         browserShown,
         "title 7 Team Meet",
         "tick",
         "log info Deck profile com.test.meet for com.browser",
         R"({"app":"com.browser","appName":"browser","profile":"com.test.meet","t":"deckProfile"})",
         "tick",
         "title 7 Inbox",
         "tick",
         "log info Deck profile com.test.browser for com.browser",
         browserShown,
     }},
    {"start twice; without a link looks are recorded, the next link gets them all at once",
     {"looks.json"},
     {
         "link up",
         "link down",
         "reader fmt | 3",
         "start",
         "start",
         "tasks",
         "= streams 1 ticks 1",
         "front com.looks 5",
         "log info Deck profile com.test.looks for com.looks",
         "tick 3",
         "tasks",
         "= streams 1 ticks 4",
         "link up",
         looksShown,
         R"({"profile":"com.test.looks","states":{"fmt":{"label":"3 done","ring":"none","symbol":"f","value":3},"own":{"label":"Own","ring":"critical","symbol":"o"},"pct":{"label":"Pct","ring":"none","symbol":"p"},"run":{"label":"Run","ring":"none","symbol":"r"}},"t":"deckState"})",
         "link down",
         "reader svc | Running",
         "tick",
         "link up",
         looksShown,
         R"({"profile":"com.test.looks","states":{"fmt":{"label":"3 done","ring":"none","symbol":"f","value":3},"own":{"label":"Own","ring":"critical","symbol":"o"},"pct":{"label":"Pct","ring":"none","symbol":"p"},"run":{"label":"Run","ring":"good","symbol":"r"}},"t":"deckState"})",
     }},
    {"an error look stays through ticks until a good press",
     {"editor.json"},
     {
         "link up",
         "start",
         "front com.editor 11",
         editorChosen,
         editorShown,
         savePlain,
         "fail com.test.editor/save Timed out",
         "press com.test.editor save",
         "run com.test.editor/save cmd+s - com.editor",
         "log error com.test.editor/save: Timed out",
         R"({"profile":"com.test.editor","states":{"save":{"label":"Error: Timed out","ring":"critical"}},"t":"deckState"})",
         "reader save | done",
         "tick",
         "press com.test.editor save",
         "run com.test.editor/save cmd+s - com.editor",
         "log error com.test.editor/save: Timed out",
         R"({"profile":"com.test.editor","states":{"save":{"label":"Error: Timed out","ring":"critical"}},"t":"deckState"})",
         "ok com.test.editor/save",
         "press com.test.editor save",
         "run com.test.editor/save cmd+s - com.editor",
         savePlain,
         "tick",
         saveGood,
         "fail com.test.editor/vol Exit 1",
         "value com.test.editor vol 0.5",
         "run com.test.editor/vol vol {value} 0.5 com.editor",
         "log error com.test.editor/vol: Exit 1",
         R"({"profile":"com.test.editor","states":{"vol":{"label":"Error: Exit 1","ring":"critical"}},"t":"deckState"})",
         "tick",
         "link up",
         editorShown,
         saveGood,
     }},
    {"which action runs for which phase",
     {"editor.json"},
     {
         "start",
         "front com.editor 11",
         editorChosen,
         "link up",
         editorShown,
         savePlain,
         "press com.test.editor build",
         "run com.test.editor/build cmd+b - com.editor",
         "release com.test.editor build",
         "run com.test.editor/build up - com.editor",
         "value com.test.editor build 1",
         "release com.test.editor save",
         "press com.test.editor nothing",
         "release com.test.editor hand",
         "press com.test.editor hand",
         R"({"profile":"com.test.editor","states":{"hand":{"label":"Error: No meeting","ring":"critical"}},"t":"deckState"})",
         "value com.test.editor jog 1",
         "jog forward com.editor",
         "value com.test.editor jog 0",
         "jog backward com.editor",
         "value com.test.editor jog -1",
         "jog backward com.editor",
         "press com.test.editor jog",
         "value com.test.editor pad 0.3",
         "press com.test.other save",
         "log info Ignoring a deck action for com.test.other: not the current profile",
         "press com.velvane.profile.meeting mute",
     }},
    {"an action that ends after the user moved on changes no look",
     {"editor.json", "other.json"},
     {
         "link up",
         "start",
         "front com.editor 11",
         editorChosen,
         editorShown,
         savePlain,
         "slow com.test.editor/save 1",
         "fail com.test.editor/save oops",
         "press com.test.editor save",
         "run com.test.editor/save cmd+s - com.editor",
         "front com.other 12",
         otherChosen,
         otherShown,
         otherLooks,
         "wait 1",
         "log error com.test.editor/save: oops",
         "tick",
     }},
    {"a slider runs one value at a time, the latest last",
     {"editor.json"},
     {
         "start",
         "front com.editor 11",
         editorChosen,
         "slow com.test.editor/vol 1",
         "value com.test.editor vol 0.1",
         "run com.test.editor/vol vol {value} 0.1 com.editor",
         "value com.test.editor vol 0.2",
         "value com.test.editor vol 0.3",
         "wait 1",
         "run com.test.editor/vol vol {value} 0.3 com.editor",
         "wait 1",
         "value com.test.editor vol 0.4",
         "run com.test.editor/vol vol {value} 0.4 com.editor",
     }},
    {"looks read for a profile that left the deck meanwhile are dropped",
     {"editor.json", "other.json"},
     {
         "reader save | s",
         "link up",
         "start",
         "front com.editor 11",
         editorChosen,
         editorShown,
         saveGood,
         "slowreads 1",
         "tick",
         "front com.other 12",
         otherChosen,
         otherShown,
         "wait 1",
         otherLooks,
     }},
};

class DeckScripts : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    ASSERT_NE(std::setlocale(LC_ALL, GetParam()), nullptr)
        << GetParam() << " is missing: scripts/setup generates it";
    std::locale::global(std::locale(GetParam()));
  }
  void TearDown() override {
    std::locale::global(std::locale::classic());
    std::setlocale(LC_ALL, "C");
  }
};

TEST_P(DeckScripts, SendRunAndLogExactlyWhatTheScriptSays) {
  for (const auto& script : scripts) {
    SCOPED_TRACE(script.name);
    DeckHarness(script.profiles).expectScript(script.lines);
  }
}

TEST_P(DeckScripts, NumbersAndTimesInKeyLooks) {
  const struct {
    std::string_view text;
    std::optional<double> number;
  } numbers[] = {
      {"2.5", 2.5}, {"-3", -3},       {"+1e3", 1000}, {"0", 0},     {" 4", {}},  {"4 ", {}},
      {"4a", {}},   {"", {}},         {"+", {}},      {"+-1", {}},  {"2,5", {}}, {"1e999", {}},
      {"inf", {}},  {"infinity", {}}, {"NaN", {}},    {"0x10", {}},
  };
  for (const auto& c : numbers) EXPECT_EQ(numberValue(c.text), c.number) << c.text;
  const std::pair<double, std::string_view> times[] = {
      {0, "00:00"}, {65.9, "01:05"}, {3725, "62:05"}, {7200, "120:00"}, {-1, "00:00"}};
  for (const auto& [seconds, text] : times) EXPECT_EQ(timerText(seconds), text) << seconds;
}

INSTANTIATE_TEST_SUITE_P(Locales, DeckScripts, ::testing::Values("C", "de_DE.UTF-8"));

}  // namespace
}  // namespace brindlet::deck::testing
