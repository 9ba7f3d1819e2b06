#include "runtime/FolderWatch.h"

#include <sys/inotify.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <boost/asio/io_context.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>

#include "runtime/FileDescriptor.h"

namespace brindlet::runtime {

struct FolderWatch::State : std::enable_shared_from_this<State> {
  State(boost::asio::io_context& loop, int fd, std::function<void()> changed)
      : descriptor(loop, fd), changed(std::move(changed)) {}

  void await() {
    descriptor.async_wait(boost::asio::posix::stream_descriptor::wait_read,
                          [weak = weak_from_this()](const boost::system::error_code& error) {
                            auto self = weak.lock();
                            if (!self || error) return;
                            self->drain();
                            self->changed();
                            self->await();
                          });
  }

  // Reads every queued event; which entry changed does not matter, only whether the folder
  // itself went or events were lost (which may have been that).
  void drain() {
    alignas(inotify_event) std::array<char, 4096> buffer;
    for (;;) {
      const ssize_t size = ::read(descriptor.native_handle(), buffer.data(), buffer.size());
      if (size <= 0) return;
      for (ssize_t at = 0; at < size;) {
        inotify_event event;
        std::memcpy(&event, buffer.data() + at, sizeof event);
        if (event.mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED | IN_Q_OVERFLOW)) gone = true;
        at += ssize_t(sizeof event + event.len);
      }
    }
  }

  boost::asio::posix::stream_descriptor descriptor;  // closes the inotify descriptor
  std::function<void()> changed;
  bool gone = false;
};

std::unique_ptr<FolderWatch> FolderWatch::open(boost::asio::io_context& loop,
                                               const std::filesystem::path& folder,
                                               std::function<void()> changed, bool contents) {
  FileDescriptor watch(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
  if (!watch.valid()) return nullptr;
  const std::uint32_t mask = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF |
                             IN_MOVE_SELF | IN_ONLYDIR | (contents ? IN_CLOSE_WRITE : 0);
  if (::inotify_add_watch(watch.get(), folder.c_str(), mask) < 0) return nullptr;
  auto state = std::make_shared<State>(loop, watch.release(), std::move(changed));
  state->await();
  return std::unique_ptr<FolderWatch>(new FolderWatch(std::move(state)));
}

FolderWatch::FolderWatch(std::shared_ptr<State> state) : state_(std::move(state)) {}

bool FolderWatch::gone() const {
  return state_->gone;
}

FolderWatch::~FolderWatch() {
  boost::system::error_code ignored;
  state_->descriptor.cancel(ignored);
}

}  // namespace brindlet::runtime
