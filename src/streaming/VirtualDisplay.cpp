#include "streaming/VirtualDisplay.h"

namespace brindlet::streaming {

std::uint32_t displaySerial(std::string_view text) {
  std::uint32_t hash = 0x811C9DC5u;
  for (unsigned char byte : text) {
    hash ^= byte;
    hash *= 16777619u;
  }
  return hash == 0 ? 1 : hash;
}

}  // namespace brindlet::streaming
