#pragma once

#include <chrono>
#include <string>
#include <unordered_map>

#include "deck/AccessibilityTree.h"
#include "runtime/WorkerThread.h"

namespace brindlet::platform {

// The accessibility trees of the session's apps over AT-SPI. Every libatspi call runs on a
// worker thread of its own, each with a short time-out, so an app that hangs costs a read its
// answer and never stalls the caller's loop.
class AtspiTree : public deck::AccessibilityTree {
 public:
  AtspiTree();
  ~AtspiTree() override;

  boost::asio::awaitable<void> visit(std::function<void()> work) override;

  std::vector<Element> applications() override;
  int processId(const Element& element) override;
  std::vector<Element> children(const Element& element) override;
  Role role(const Element& element) override;
  std::string name(const Element& element) override;
  std::string description(const Element& element) override;
  std::optional<std::string> value(const Element& element) override;
  bool isActive(const Element& element) override;
  // Sets the accessibility bus's IsEnabled, which browsers and Electron apps wait for.
  void requestTrees() override;
  // Whether the accessibility bus's IsEnabled is set; false when the bus cannot be asked. Both
  // run on the worker without starting libatspi, for callers outside visit().
  boost::asio::awaitable<bool> treesEnabled();
  boost::asio::awaitable<void> enableTrees();
  // Over the Collection interface.
  std::optional<std::vector<Element>> descendants(const Element& root,
                                                  const std::vector<Role>& roles) override;
  bool press(const Element& element) override;

 private:
  struct Releaser;

  Element adopt(void* accessible) const;
  std::vector<Element> adoptAll(void* accessibles) const;  // a GArray of elements
  void* ownBus();                                          // a DBusConnection, or none
  bool readTreesEnabled();

  runtime::WorkerThread worker_;
  std::shared_ptr<Releaser> releaser_;
  bool started_ = false;                            // used on the worker only
  void* sessionBus_ = nullptr;                      // a DBusConnection, used on the worker only
  std::unordered_map<std::string, int> processes_;  // by bus name; used on the worker only
  // Child lists asked for lately, on the worker only: the reads of one deck refresh walk the
  // same menus within milliseconds, and an app's change signal clears them.
  struct Remembered {
    Element parent;  // keeps the key's element alive, so its address is not reused
    std::vector<Element> children;
  };
  std::unordered_map<void*, Remembered> children_;
  std::chrono::steady_clock::time_point childrenSince_;
};

}  // namespace brindlet::platform
