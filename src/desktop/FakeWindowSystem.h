#pragma once

#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "desktop/DesktopError.h"
#include "desktop/WindowSystem.h"

namespace brindlet::desktop {

// A window system for logic tests: the test sets the snapshot; operations are recorded and act
// on the snapshot the way a window manager would (activate raises and focuses, moveResize
// places the frame). A queued failure is thrown by the next operation instead.
class FakeWindowSystem : public WindowSystem {
 public:
  struct Call {
    std::string operation;  // "activate", "raise", "moveResize"
    WindowId window = 0;
    std::optional<Rect> frame;
    friend bool operator==(const Call&, const Call&) = default;
  };

  FakeWindowSystem();

  WindowSnapshot snapshot() const override { return snapshot_.get(); }
  Subscription subscribe(std::function<void(const WindowSnapshot&)> callback) override {
    return snapshot_.subscribe(std::move(callback));
  }
  boost::asio::awaitable<void> activate(WindowId window) override;
  boost::asio::awaitable<void> raise(WindowId window) override;
  boost::asio::awaitable<void> moveResize(WindowId window, Rect frame) override;

  void set(WindowSnapshot snapshot) { snapshot_.set(std::move(snapshot)); }
  void failNext(DesktopError error) { failures_.push_back(std::move(error)); }
  const std::vector<Call>& calls() const { return calls_; }

 private:
  // Records the call; throws a queued failure or noSuchWindow; else the window's index.
  std::size_t begin(Call call);

  runtime::Observable<WindowSnapshot> snapshot_;
  std::deque<DesktopError> failures_;
  std::vector<Call> calls_;
};

}  // namespace brindlet::desktop
