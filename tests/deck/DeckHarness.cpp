#include "DeckHarness.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace brindlet::deck::testing {
namespace {

using protocol::DeckActionPhase;

double numberOf(const std::string& text) {
  double value = 0;
  std::from_chars(text.data(), text.data() + text.size(), value);
  return value;
}

// The parts between "|", trimmed.
std::vector<std::string> split(const std::string& text) {
  std::vector<std::string> parts;
  std::istringstream words(text);
  for (std::string part; std::getline(words, part, '|');) {
    part.erase(0, part.find_first_not_of(' '));
    part.erase(part.find_last_not_of(' ') + 1);
    parts.push_back(part);
  }
  return parts;
}

bool isOutcome(const std::string& line) {
  for (const char* start :
       {"{", "run ", "jog ", "log ", "= ", "meetingDeck ", "keys ", "pressed ", "activate "})
    if (line.starts_with(start)) return true;
  return false;
}

}  // namespace

void DeckHarness::play(const std::string& line) {
  transcript.push_back(line);
  std::istringstream in(line);
  std::string verb, a;
  in >> verb >> a;
  std::string rest;
  std::getline(in >> std::ws, rest);
  const auto parts = split(verb == "app" ? rest : line.substr(line.find(' ') + 1));
  const auto action = [&](std::string profile, DeckActionPhase phase) {
    std::istringstream words(rest);
    std::string key, number;
    words >> key >> number;
    std::optional<double> value;
    if (phase == DeckActionPhase::value) value = numberOf(number);
    spawn(engine->perform(protocol::DeckAction{profile, key, phase, value}));
  };
  if (verb == "start") {
    engine->start();
  } else if (verb == "link" && a == "up") {
    spawn(engine->linkReady([this](const protocol::ControlMessage& m) { sent(m); }));
  } else if (verb == "link") {
    engine->linkGone();
  } else if (verb == "front") {
    const FrontApp app{a, a.substr(a.rfind('.') + 1), static_cast<std::int32_t>(numberOf(rest))};
    workspace->apps->push(app);
    workspace->front = app;
  } else if (verb == "title") {
    workspace->titles[static_cast<std::int32_t>(numberOf(a))] = rest;
  } else if (verb == "reader") {
    readers->values[parts.at(0)] = parts.size() > 1 ? ReaderValue{parts[1], {}} : ReaderValue{};
  } else if (verb == "slowreads") {
    readers->delay = std::chrono::seconds(static_cast<int>(numberOf(a)));
  } else if (verb == "tick") {
    wait(0.25 * (a.empty() ? 1 : numberOf(a)));
  } else if (verb == "wait") {
    wait(numberOf(a));
  } else if (verb == "jump") {
    jump(numberOf(a));
  } else if (verb == "press" || verb == "release" || verb == "value") {
    action(a, verb == "press"     ? DeckActionPhase::press
              : verb == "release" ? DeckActionPhase::release
                                  : DeckActionPhase::value);
  } else if (verb == "meet") {
    rest = a;
    action(std::string(DeckEngine::meetingProfileID), DeckActionPhase::press);
  } else if (verb == "fail") {
    runner->failures.insert_or_assign(
        a, rest == "Timed out" ? ActionError::timeout() : ActionError::failed(rest));
  } else if (verb == "ok") {
    runner->failures.erase(a);
  } else if (verb == "slow") {
    runner->takes[a] = std::chrono::seconds(static_cast<int>(numberOf(rest)));
  } else if (verb == "recency") {
    std::string list = "=";
    for (const auto& app : engine->recency()) list += " " + app;
    transcript.push_back(list);
  } else if (verb == "tasks") {
    transcript.push_back("= streams " + std::to_string(workspace->streams) + " ticks " +
                         std::to_string(engine->tickCount()));
  } else if (verb == "app") {
    const auto pid = static_cast<std::int32_t>(numberOf(parts.at(0)));
    std::erase_if(workspace->running, [&](const FrontApp& app) { return app.pid == pid; });
    workspace->running.push_back(FrontApp{a, a, pid});
    workspace->windows[pid].assign(parts.begin() + 1, parts.end());
  } else if (verb == "buttons") {
    workspace->buttons[parts.at(0)].assign(parts.begin() + 1, parts.end());
  } else if (verb == "edit") {
    // The file rewritten with the first text replaced by the second, then the store reads again.
    std::string text = testsupport::readFile(folder.file(a));
    const auto from = parts.at(0).substr(a.size() + 1);
    if (const auto at = text.find(from); at != std::string::npos)
      text.replace(at, from.size(), parts.at(1));
    folder.write(a, text);
    brindlet::testing::runUntilDone(loop.context(), store->load());
  } else if (verb == "opens") {
    workspace->opens[parts.at(0)] = {parts.at(1), numberOf(parts.at(2))};
  } else {
    FAIL() << "unknown script command " << line;
  }
  loop.drain();
}

void DeckHarness::expectScript(const std::vector<std::string>& lines) {
  for (const auto& line : lines)
    if (!isOutcome(line)) play(line);
  EXPECT_THAT(transcript, ::testing::ElementsAreArray(lines));
}

}  // namespace brindlet::deck::testing
