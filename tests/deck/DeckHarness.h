#pragma once

// The deck engine on a manual clock with the real profile store over a temporary folder, a
// scripted workspace, scripted readers and a recording runner. Everything the engine sends,
// runs and logs goes into one transcript, beside the script commands that caused it.

#include <charconv>
#include <filesystem>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "ScriptedWorkspace.h"
#include "deck/DeckEngine.h"
#include "profiles/ProfileStore.h"
#include "runtime/Log.h"
#include "runtime/MainLoop.h"
#include "runtime/ManualClock.h"
#include "runtime/Task.h"
#include "secrets/MemorySecretStore.h"
#include "support/Loop.h"
#include "support/TempDir.h"

namespace brindlet::deck::testing {

namespace asio = boost::asio;
using Transcript = std::vector<std::string>;

// Values by the reader's path (or process name); each read takes `delay` on the clock.
class ScriptedReaders : public ReaderSource {
 public:
  explicit ScriptedReaders(std::shared_ptr<runtime::Clock> clock) : clock_(std::move(clock)) {}
  std::map<std::string, ReaderValue> values;
  runtime::Duration delay{};

  asio::awaitable<ReaderValue> read(profiles::Reader reader, std::optional<FrontApp>) override {
    if (delay > runtime::Duration::zero()) co_await clock_->sleep(delay);
    co_return values[reader.path.value_or(reader.name.value_or(""))];
  }

 private:
  std::shared_ptr<runtime::Clock> clock_;
};

// Writes "run <script key> <what> <value|-> <app|->", "jog <forward|backward> <app|->" into the
// transcript; a run takes its script key's time on the clock, then fails as scripted.
class RecordingRunner : public ActionRunning {
 public:
  RecordingRunner(Transcript& transcript, std::shared_ptr<runtime::Clock> clock)
      : transcript_(transcript), clock_(std::move(clock)) {}
  std::map<std::string, ActionError> failures;
  std::map<std::string, runtime::Duration> takes;

  asio::awaitable<void> run(profiles::Action action, std::string scriptKey,
                            std::optional<double> value, std::optional<FrontApp> app) override {
    const auto what = action.keys.value_or(action.command.value_or("?"));
    transcript_.push_back("run " + scriptKey + " " + what + " " +
                          (value ? numberText(*value) : "-") + " " + appText(app));
    if (const auto take = takes.find(scriptKey); take != takes.end())
      co_await clock_->sleep(take->second);
    if (const auto failure = failures.find(scriptKey); failure != failures.end())
      throw failure->second;
  }
  asio::awaitable<void> jog(profiles::Action, bool forward, std::optional<FrontApp> app) override {
    transcript_.push_back(std::string("jog ") + (forward ? "forward " : "backward ") +
                          appText(app));
    co_return;
  }
  asio::awaitable<void> pressKeys(std::string keys, FrontApp app) override {
    transcript_.push_back("keys " + keys + " " + app.bundleID);
    co_return;
  }

 private:
  static std::string appText(const std::optional<FrontApp>& app) {
    return app ? app->bundleID : "-";
  }
  Transcript& transcript_;
  std::shared_ptr<runtime::Clock> clock_;
};

// "log <level> <message>" for the deck's log lines.
class TranscriptSink : public runtime::LogSink {
 public:
  explicit TranscriptSink(Transcript& transcript) : transcript_(transcript) {}
  void write(const runtime::LogEntry& entry) override {
    if (entry.category == "deck")
      transcript_.push_back("log " + std::string(runtime::wordOf(entry.level)) + " " +
                            entry.message);
  }

 private:
  Transcript& transcript_;
};

// Profiles, by file name. Keys with a live state read the scripted value under their path.
inline const std::map<std::string, std::string> library = {
    {"editor.json", R"({"schema":1,"id":"com.test.editor","name":"Editor","apps":["com.editor"],
      "layouts":{"compact":[],"regular":[]},
      "keys":{
        "build":{"label":"Build","symbol":"hammer","press":{"kind":"shortcut","keys":"cmd+b"},
                 "action":{"kind":"shortcut","keys":"cmd+a"},"release":{"kind":"shell","command":"up"}},
        "save":{"label":"Save","symbol":"doc","action":{"kind":"shortcut","keys":"cmd+s"},
                "state":{"reader":"logTail","path":"save","ring":{"exists":"good"}}},
        "hand":{"label":"Hand","symbol":"hand","intent":"meeting.hand"}},
      "controls":{
        "jog":{"kind":"jog","label":"Jog","action":{"kind":"shortcut","positive":"right","negative":"left"}},
        "vol":{"kind":"slider","label":"Vol","min":0,"max":1,"action":{"kind":"shell","command":"vol {value}"}},
        "pad":{"kind":"trackpad","label":"Pad"}}})"},
    {"other.json", R"({"schema":1,"id":"com.test.other","name":"Other","apps":["com.other"],
      "layouts":{"compact":[],"regular":[]},
      "keys":{"save":{"label":"Keep","symbol":"k","action":{"kind":"shortcut","keys":"cmd+k"},
                      "state":{"reader":"logTail","path":"other"}}}})"},
    {"looks.json", R"({"schema":1,"id":"com.test.looks","name":"Looks","apps":["com.looks"],
      "layouts":{"compact":[],"regular":[]},
      "keys":{
        "fmt":{"label":"Fmt","symbol":"f","action":{"kind":"shortcut","keys":"f"},
               "state":{"reader":"logTail","path":"fmt","format":"{value} done"}},
        "pct":{"label":"Pct","symbol":"p","action":{"kind":"shortcut","keys":"p"},
               "state":{"reader":"logTail","path":"pct","format":"pct"}},
        "own":{"label":"Own","symbol":"o","action":{"kind":"shortcut","keys":"o"},
               "state":{"reader":"logTail","path":"own","ring":{"exists":"good","missing":"critical"},
                        "symbolWhen":{"on":"sun"}}},
        "run":{"label":"Run","symbol":"r","action":{"kind":"shortcut","keys":"r"},
               "state":{"reader":"process","name":"svc","ring":{"Running":"good","exists":"warning"}}}}})"},
    {"any.json", R"({"schema":1,"id":"com.test.any","name":"Any","apps":["*"],
      "layouts":{"compact":[],"regular":[]},
      "keys":{"t":{"label":"T","symbol":"clock","action":{"kind":"shortcut","keys":"cmd+t"},
                   "state":{"reader":"meetingTimer","format":"{value}"}}}})"},
    {"browser.json", R"({"schema":1,"id":"com.test.browser","name":"Browser","apps":["com.browser"],
      "layouts":{"compact":[],"regular":[]},
      "keys":{"b":{"label":"B","symbol":"b","action":{"kind":"shortcut","keys":"b"}}}})"},
    {"meeting.json", R"({"schema":1,"id":"com.velvane.profile.meeting",
  "name":"Meeting","apps":["meeting.none"],
  "layouts":{"compact":["mute","camera","leave"],"regular":["mute","camera","hand","share","chat","participants","leave","note"],"meeting":["mute"]},
  "glance":{"lines":[],"keys":["mute","chat","note"]},
  "keys":{
    "mute":{"label":"Mute","symbol":"mic","intent":"meeting.mute"},
    "camera":{"label":"Camera","symbol":"video","intent":"meeting.camera"},
    "hand":{"label":"Hand","symbol":"hand.raised","intent":"meeting.hand"},
    "share":{"label":"Share","symbol":"rectangle.on.rectangle","intent":"meeting.share"},
    "chat":{"label":"Chat","symbol":"message","intent":"meeting.chat"},
    "participants":{"label":"People","symbol":"person.2","intent":"meeting.participants"},
    "leave":{"label":"Leave","symbol":"phone.down","intent":"meeting.leave"},
    "note":{"label":"Note","symbol":"n","action":{"kind":"shortcut","keys":"n"}}}})"},
    {"zoomapp.json", R"({"schema":1,"id":"com.test.zoom","name":"Zoom","apps":["zoom"],
      "windowTitleContains":"zoom meeting","layouts":{"compact":[],"regular":[]},"keys":{}})"},
    {"meet.json", R"({"schema":1,"id":"com.test.meet","name":"Meet","apps":["com.browser"],
      "windowTitleContains":"meet","layouts":{"compact":[],"regular":[]},
      "keys":{"m":{"label":"M","symbol":"m","action":{"kind":"shortcut","keys":"m"}}}})"},
};

struct Script {
  const char* name;
  std::vector<std::string> profiles;
  // Commands, each followed by the lines it leads to: messages ({...}), actions run (run, jog,
  // keys), log lines (log), the workspace's activations and presses, answers to queries (=).
  std::vector<std::string> lines;
};

class DeckHarness {
 public:
  // `profiles`: files of the library, written into the user's folder.
  explicit DeckHarness(const std::vector<std::string>& profiles) {
    for (const auto& name : profiles) folder.write(name, library.at(name));
    store = std::make_shared<profiles::ProfileStore>(
        loop, folder.path(), std::nullopt,
        std::make_shared<profiles::KeychainSigningKeyStore>(
            std::make_shared<secrets::MemorySecretStore>()),
        clock);
    brindlet::testing::runUntilDone(loop.context(), store->load());
    runtime::Log::attach(sink);
    workspace->transcript = &transcript;
    workspace->clock = clock;
    engine = std::make_shared<DeckEngine>(
        loop, DeckEngine::Roles{store, workspace, runner, readers, clock}, "brindlet");
  }
  ~DeckHarness() {
    // Reads and actions still waiting on the clock hold the engine: let them all end first.
    readers->delay = {};
    runner->takes.clear();
    jump(3600);
    engine.reset();
    loop.drain();
    runtime::Log::detach(sink);
  }

  // The messages as JSON lines without their id; a profile document that is the stored
  // profile's canonical JSON is written as its id, a meeting deck's as the ids of its keys.
  void sent(const protocol::ControlMessage& message) {
    if (const auto* deck = message.as<protocol::MeetingDeck>(); deck && deck->profile) {
      std::string line = "meetingDeck " + deck->appName.value_or("-") + " " +
                         deck->app.value_or("-") + " " + numberText(deck->elapsed.value_or(-1));
      const auto profile = deck->profile->toJson();
      for (const auto& [id, key] : profile.at("keys").items()) line += " " + id;
      transcript.push_back(line);
      return;
    }
    auto json = nlohmann::json::parse(protocol::ControlEnvelope(0, message).encodedJSON());
    json.erase("id");
    if (message.as<protocol::DeckProfile>()) {
      const auto stored = store->profile(json["profile"]["id"].get<std::string>());
      if (stored && nlohmann::json::parse(stored->profile.canonicalData()) == json["profile"])
        json["profile"] = stored->profile.id;
    }
    transcript.push_back(json.dump());
  }

  void spawn(asio::awaitable<void> task) {
    runtime::spawn(loop.context().get_executor(), std::move(task));
  }
  // Moves the clock in steps short enough for every tick and 0.1 s pause to end on time.
  void wait(double seconds) {
    for (; seconds > 1e-9; seconds -= 0.05) jump(std::min(seconds, 0.05));
  }
  void jump(double seconds) {
    clock->advance(std::chrono::round<runtime::Duration>(std::chrono::duration<double>(seconds)));
    loop.drain();
  }

  // Runs one script line; the line itself goes into the transcript first. Commands:
  // start; link up|down; front <app> <pid>; title <pid> <title>; reader <path> [| <value>];
  // slowreads <s>; tick [n]; wait <s>; jump <s>; press|release <profile> <key>;
  // value <profile> <key> <number>; meet <key> (a press on the meeting deck); fail <script key>
  // <message>; ok <script key>; slow <script key> <s>; recency; tasks;
  // app <id> <pid> | <title> | ... (a running app and its windows);
  // buttons <title> | <label> | ...; opens <label> | <label> | <s>; edit <file> <text> | <text>.
  void play(const std::string& line);
  // Plays the script's commands and expects exactly its lines in the transcript.
  void expectScript(const std::vector<std::string>& lines);

  Transcript transcript;
  testsupport::TempDir folder;
  runtime::MainLoop loop;
  std::shared_ptr<runtime::ManualClock> clock = std::make_shared<runtime::ManualClock>();
  std::shared_ptr<profiles::ProfileStore> store;
  std::shared_ptr<ScriptedWorkspace> workspace = std::make_shared<ScriptedWorkspace>();
  std::shared_ptr<ScriptedReaders> readers = std::make_shared<ScriptedReaders>(clock);
  std::shared_ptr<RecordingRunner> runner = std::make_shared<RecordingRunner>(transcript, clock);
  std::shared_ptr<TranscriptSink> sink = std::make_shared<TranscriptSink>(transcript);
  std::shared_ptr<DeckEngine> engine;
};

}  // namespace brindlet::deck::testing
