#include "runtime/FileDescriptor.h"

#include <unistd.h>

namespace brindlet::runtime {

void FileDescriptor::reset(int fd) noexcept {
  const int held = std::exchange(fd_, fd);
  // Not retried on EINTR: Linux has released the descriptor either way, and a retry could close
  // one that another thread opened meanwhile.
  if (held >= 0 && held != fd) ::close(held);
}

}  // namespace brindlet::runtime
