#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include <boost/asio/awaitable.hpp>

#include "desktop/EventPosting.h"
#include "platform/linux/x11/X11Connection.h"

namespace brindlet::platform {

// Posts synthetic input through XTest. A key, click or motion goes out from the caller's thread
// when nothing is queued before it; text and keysyms the keymap lacks need spare keycodes bound
// for a while, so those go to a thread of the poster's own, which posts in order. The keymap is
// given back once nothing has been posted for a moment, and when the poster goes.
class X11EventPoster : public desktop::EventPosting {
 public:
  static boost::asio::awaitable<std::unique_ptr<X11EventPoster>> open(std::string display);
  ~X11EventPoster() override;

  bool isTrusted() const override;
  void post(desktop::SyntheticEvent event) override;
  using desktop::EventPosting::post;

  // Resumes once everything posted before has reached the X server.
  boost::asio::awaitable<void> flushed();

 private:
  struct Worker;
  explicit X11EventPoster(std::unique_ptr<X11Connection> connection);

  std::unique_ptr<X11Connection> connection_;
  std::shared_ptr<Worker> worker_;
  std::atomic<bool> hasXTest_{false};
};

}  // namespace brindlet::platform
