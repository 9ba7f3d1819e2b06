#include <gtest/gtest.h>
#include <unistd.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <chrono>

#include "runtime/FileDescriptor.h"
#include "runtime/Readable.h"

namespace brindlet::runtime {
namespace {

namespace asio = boost::asio;
using Descriptor = asio::posix::stream_descriptor;

struct Pipe {
  FileDescriptor read, write;
  Pipe() {
    int ends[2];
    EXPECT_EQ(::pipe(ends), 0);
    read = FileDescriptor(ends[0]);
    write = FileDescriptor(ends[1]);
  }
};

// A descriptor closed while the reactor has already queued its readiness leaves that readiness
// to whichever descriptor takes its place next: the wait on the empty pipe must not end, and it
// ends once the pipe holds something.
TEST(Readable, AWakeUpLeftByAClosedDescriptorIsNotTaken) {
  asio::io_context loop;
  Pipe closed, empty;
  Descriptor first(loop, closed.read.release());
  first.async_wait(Descriptor::wait_read, [](const boost::system::error_code&) {});
  ASSERT_EQ(::write(closed.write.get(), "x", 1), 1);
  Descriptor next(loop);
  bool woken = false;
  // Queued behind the reactor's pass, which finds `first` readable.
  asio::post(loop, [&] {
    first.close();
    next.assign(empty.read.release());
    awaitReadable(next, [&](const boost::system::error_code& error) { woken = !error; });
  });
  loop.run_for(std::chrono::milliseconds(100));
  EXPECT_FALSE(woken) << "woken with nothing to read";

  loop.restart();
  ASSERT_EQ(::write(empty.write.get(), "y", 1), 1);
  loop.run_for(std::chrono::milliseconds(100));
  EXPECT_TRUE(woken);
}

}  // namespace
}  // namespace brindlet::runtime
