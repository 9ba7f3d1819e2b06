#pragma once

#include <memory>
#include <string>

#include "support/XServer.h"

namespace brindlet::testsupport {

// A client of the test's own that paints on a display's root window, each call finished at the
// server before it returns.
class RootPainter {
 public:
  explicit RootPainter(const std::string& display);
  ~RootPainter();
  RootPainter(const RootPainter&) = delete;
  RootPainter& operator=(const RootPainter&) = delete;

  // The whole monitor in one colour (0xRRGGBB).
  void fill(const Monitor& monitor, unsigned long colour);
  // `count` small squares in changing colours across the monitor, one request each, as a busy
  // terminal draws.
  void burst(const Monitor& monitor, int count);

 private:
  struct Connection;
  std::unique_ptr<Connection> connection_;
};

}  // namespace brindlet::testsupport
