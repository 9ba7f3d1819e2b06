#pragma once

#include <optional>
#include <string>

#include <boost/asio/awaitable.hpp>

#include "deck/FrontApp.h"
#include "profiles/Action.h"

namespace brindlet::deck {

// What the deck engine asks of the action runner. Every operation throws ActionError when the
// action fails; without an app the keys go to whatever is in front.
class ActionRunning {
 public:
  virtual ~ActionRunning() = default;
  // One key or slider action; `scriptKey` names the key or control ("<profile id>/<id>"),
  // `value` is the slider's value.
  virtual boost::asio::awaitable<void> run(profiles::Action action, std::string scriptKey,
                                           std::optional<double> value,
                                           std::optional<FrontApp> app) = 0;
  // One step of a jog control: its positive keys when forward, else its negative keys.
  virtual boost::asio::awaitable<void> jog(profiles::Action action, bool forward,
                                           std::optional<FrontApp> app) = 0;
  // A key string posted to the app, which is brought to the front first.
  virtual boost::asio::awaitable<void> pressKeys(std::string keys, FrontApp app) = 0;
};

}  // namespace brindlet::deck
