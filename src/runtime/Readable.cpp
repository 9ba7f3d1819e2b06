#include "runtime/Readable.h"

#include <poll.h>

namespace brindlet::runtime {

bool isReadable(int fd) {
  pollfd ready{fd, POLLIN, 0};
  return ::poll(&ready, 1, 0) > 0;
}

}  // namespace brindlet::runtime
