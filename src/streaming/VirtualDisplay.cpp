#include "streaming/VirtualDisplay.h"

namespace brindlet::streaming {

std::string displayName(std::string_view phoneName) {
  return std::string(phoneName) + std::string(kDisplayNameMark);
}

bool isOurDisplayName(std::string_view name) {
  return name.size() > kDisplayNameMark.size() && name.ends_with(kDisplayNameMark);
}

std::uint32_t displaySerial(std::string_view text) {
  std::uint32_t hash = 0x811C9DC5u;
  for (unsigned char byte : text) {
    hash ^= byte;
    hash *= 16777619u;
  }
  return hash == 0 ? 1 : hash;
}

}  // namespace brindlet::streaming
