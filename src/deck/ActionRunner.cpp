#include "deck/ActionRunner.h"

#include <algorithm>
#include <charconv>
#include <cmath>

#include "deck/ActionError.h"
#include "profiles/ProfileError.h"
#include "profiles/UrlSyntax.h"
#include "runtime/Log.h"
#include "runtime/Timeout.h"
#include "runtime/Unicode.h"

namespace brindlet::deck {
namespace {

namespace asio = boost::asio;
using namespace std::chrono_literals;
using profiles::Action;
using profiles::Shortcut;

constexpr auto kActivationTimeout = 1s;
constexpr auto kTerminationGrace = 1s;
constexpr auto kLockTimeout = 5s;
// An opener hands the URL over and ends within this; one still running then runs the browser
// itself (as it does without a desktop) and has opened the URL.
constexpr auto kOpenerVerdict = 5s;
constexpr double kLongestTimeout = 24.0 * 60 * 60;
constexpr std::string_view kNoShortcuts = "Shortcuts aren't available on Linux";
constexpr std::string_view kNoAppleScript = "AppleScript isn't available on Linux";

const runtime::Logger& deckLog() {
  return runtime::Logger::of("deck");
}

std::optional<Shortcut> parsed(const std::optional<std::string>& keys) {
  if (!keys) return std::nullopt;
  try {
    return Shortcut::parse(*keys);
  } catch (const profiles::ProfileError&) {
    return std::nullopt;
  }
}

desktop::Modifiers modifiersOf(const Shortcut& shortcut) {
  desktop::Modifiers flags;
  for (auto modifier : shortcut.modifiers) {
    switch (modifier) {
      case Shortcut::Modifier::cmd:
        flags |= desktop::Modifier::cmd;
        break;
      case Shortcut::Modifier::opt:
        flags |= desktop::Modifier::opt;
        break;
      case Shortcut::Modifier::ctrl:
        flags |= desktop::Modifier::ctrl;
        break;
      case Shortcut::Modifier::shift:
        flags |= desktop::Modifier::shift;
        break;
    }
  }
  return flags;
}

std::optional<desktop::MediaKey> mediaKeyOf(Action::SystemOp operation) {
  switch (operation) {
    case Action::SystemOp::volumeUp:
      return desktop::MediaKey::volumeUp;
    case Action::SystemOp::volumeDown:
      return desktop::MediaKey::volumeDown;
    case Action::SystemOp::mute:
      return desktop::MediaKey::mute;
    case Action::SystemOp::playPause:
      return desktop::MediaKey::playPause;
    case Action::SystemOp::next:
      return desktop::MediaKey::next;
    case Action::SystemOp::previous:
      return desktop::MediaKey::previous;
    default:
      return std::nullopt;
  }
}

// A URL the opener can act on: valid as written and with a scheme of its own.
bool isOpenableURL(std::string_view text) {
  const auto colon = text.find(':');
  if (colon == 0 || colon == std::string_view::npos || !profiles::isValidURL(text)) return false;
  auto isSchemeChar = [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '-' || c == '.';
  };
  return std::isalpha(static_cast<unsigned char>(text[0])) &&
         std::all_of(text.begin(), text.begin() + colon, isSchemeChar);
}

std::string trimmed(std::string_view text) {
  constexpr std::string_view blanks = " \t\n\r\v\f";
  const auto first = text.find_first_not_of(blanks);
  if (first == std::string_view::npos) return {};
  return std::string(text.substr(first, text.find_last_not_of(blanks) - first + 1));
}

// What a finished program gives back: its output on success, else the error it stands for.
std::string resultOf(const runtime::ExitStatus& status, const std::string& output) {
  const std::string text = runtime::isValidUTF8(output) ? output : std::string();
  if (status.succeeded()) return text;
  std::string message = trimmed(text);
  if (message.empty())
    message = "Exit " + std::to_string(status.signal ? status.signal : status.code);
  throw ActionError::failed(std::move(message));
}

}  // namespace

ActionRunner::ActionRunner(asio::any_io_executor executor, WorkspaceWatching& workspace,
                           desktop::EventPosting& keys, std::shared_ptr<runtime::Clock> clock,
                           ActionPrograms programs)
    : executor_(std::move(executor)),
      workspace_(workspace),
      keys_(keys),
      clock_(clock),
      programs_(std::move(programs)),
      runner_(executor_, std::move(clock)) {}

asio::awaitable<void> ActionRunner::run(Action action, std::string, std::optional<double> value,
                                        std::optional<FrontApp> app) {
  switch (action.kind) {
    case Action::Kind::shortcut: {
      auto shortcut = parsed(action.keys);
      if (!shortcut) throw ActionError::failed("Bad shortcut");
      co_await postKeys(std::move(*shortcut), std::move(app));
      co_return;
    }
    case Action::Kind::applescript:
      throw ActionError::script(std::string(kNoAppleScript));
    case Action::Kind::shortcutsApp:
      throw ActionError::failed(std::string(kNoShortcuts));
    case Action::Kind::url: {
      std::string url = substitute(action.url.value_or(""), value);
      if (!isOpenableURL(url)) throw ActionError::failed("Bad URL");
      auto argv = programs_.opener;
      argv.push_back(std::move(url));
      co_await open(std::move(argv));
      co_return;
    }
    case Action::Kind::shell: {
      std::string command = substitute(action.command.value_or(""), value);
      const auto timeout = shellTimeout(action.timeoutSeconds);
      co_await runShell(std::move(command), timeout);
      co_return;
    }
    case Action::Kind::system:
      if (!action.operation) throw ActionError::failed("No op");
      co_await runSystem(*action.operation);
      co_return;
  }
}

asio::awaitable<void> ActionRunner::jog(Action action, bool forward, std::optional<FrontApp> app) {
  auto shortcut = parsed(forward ? action.positive : action.negative);
  if (!shortcut) throw ActionError::failed("Bad jog shortcut");
  co_await postKeys(std::move(*shortcut), std::move(app));
}

asio::awaitable<void> ActionRunner::pressKeys(std::string keys, FrontApp app) {
  auto shortcut = parsed(keys);
  if (!shortcut) throw ActionError::failed("Bad shortcut");
  std::optional<FrontApp> target = std::move(app);
  co_await postKeys(std::move(*shortcut), std::move(target));
}

asio::awaitable<void> ActionRunner::postKeys(Shortcut shortcut, std::optional<FrontApp> app) {
  if (app) {
    const auto front = workspace_.currentFrontApp();
    if (!front || front->bundleID != app->bundleID) {
      const runtime::Duration timeout = kActivationTimeout;
      std::string bundleID = app->bundleID;
      if (!co_await workspace_.activate(std::move(bundleID), timeout)) {
        throw ActionError::appNotRunning(app->name);
      }
    }
  }
  post(shortcut);
}

void ActionRunner::post(const Shortcut& shortcut) {
  const auto modifiers = modifiersOf(shortcut);
  keys_.post({desktop::KeyEvent{shortcut.keyCode, true, modifiers},
              desktop::KeyEvent{shortcut.keyCode, false, modifiers}});
}

asio::awaitable<std::string> ActionRunner::runShell(std::string command,
                                                    runtime::Duration timeout) {
  std::vector<std::string> argv{programs_.shell, "-c", std::move(command)};
  auto output = co_await runProgram(std::move(argv), timeout);
  if (output) co_return std::move(*output);
  deckLog().info("Shell action timed out after %f s",
                 std::chrono::duration<double>(timeout).count());
  throw ActionError::timeout();
}

asio::awaitable<std::optional<std::string>> ActionRunner::runProgram(std::vector<std::string> argv,
                                                                     runtime::Duration timeout) {
  runtime::ProgramLimits limits;
  limits.time = timeout;
  limits.output = outputLimit;
  // A timed-out group is ended without keeping the caller waiting for the grace.
  limits.grace = kTerminationGrace;
  const auto run = co_await runner_.run(std::move(argv), limits);
  switch (run.ending) {
    case runtime::ProgramRun::Ending::notStarted:
      throw ActionError::failed(run.error);
    case runtime::ProgramRun::Ending::timedOut:
      co_return std::nullopt;
    case runtime::ProgramRun::Ending::exited:
      break;
  }
  co_return resultOf(run.status, run.output);
}

asio::awaitable<void> ActionRunner::open(std::vector<std::string> argv) {
  std::optional<runtime::ExitStatus> status;
  try {
    auto opening = runtime::handOff(std::move(argv));
    status = co_await runtime::within(*clock_, kOpenerVerdict, std::move(opening));
  } catch (const runtime::ProcessError& error) {
    throw ActionError::failed(error.text());
  }
  if (status) resultOf(*status, {});
}

void ActionRunner::startDetached(std::vector<std::string> argv) {
  runner_.detach(std::move(argv));
}

asio::awaitable<void> ActionRunner::runSystem(Action::SystemOp operation) {
  if (auto key = mediaKeyOf(operation)) {
    if (!keys_.isTrusted()) throw ActionError::failed("Can't post the media key");
    keys_.post({desktop::MediaKeyEvent{*key, true}, desktop::MediaKeyEvent{*key, false}});
    co_return;
  }
  switch (operation) {
    case Action::SystemOp::lock: {
      auto argv = programs_.lock;
      const runtime::Duration timeout = kLockTimeout;
      if (!co_await runProgram(std::move(argv), timeout)) throw ActionError::timeout();
      co_return;
    }
    case Action::SystemOp::screenshot:
      startDetached(programs_.screenshot);
      co_return;
    case Action::SystemOp::doNotDisturb:
      throw ActionError::failed(std::string(kNoShortcuts));
    default:
      co_return;
  }
}

std::string ActionRunner::substitute(std::string text, std::optional<double> value) {
  if (!value) return text;
  constexpr std::string_view placeholder = "{value}";
  const std::string replacement = valueText(*value);
  for (auto at = text.find(placeholder); at != std::string::npos;
       at = text.find(placeholder, at + replacement.size())) {
    text.replace(at, placeholder.size(), replacement);
  }
  return text;
}

std::string ActionRunner::valueText(double value) {
  if (value == 0) return "0";
  char buffer[400];
  const bool integral = std::round(value) == value;
  auto end = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed,
                           integral ? 0 : 2)
                 .ptr;
  return std::string(buffer, end);
}

runtime::Duration ActionRunner::shellTimeout(std::optional<double> seconds) {
  double kept = seconds.value_or(Action::defaultTimeout);
  kept = kept > 0 ? std::min(kept, kLongestTimeout) : 0.0;
  return std::chrono::duration_cast<runtime::Duration>(std::chrono::duration<double>(kept));
}

}  // namespace brindlet::deck
