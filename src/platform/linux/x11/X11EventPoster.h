#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include <boost/asio/awaitable.hpp>

#include "desktop/EventPosting.h"
#include "platform/linux/x11/X11Connection.h"

namespace brindlet::platform {

// Posts synthetic input through XTest, from a connection and thread of its own: post() queues
// and returns at once, the worker posts in order. Text and keysyms the keymap lacks are bound on
// spare keycodes for as long as they are needed; the keymap is given back once nothing has been
// posted for a moment, and when the poster goes.
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
