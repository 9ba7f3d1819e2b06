#include "protocol/AnnexB.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace brindlet::protocol {

using runtime::Bytes;
using runtime::ByteView;

NALType NALType::classify(Codec codec, std::uint8_t firstByte) {
  return codec == Codec::hevc ? classifyHEVC(firstByte) : classifyH264(firstByte);
}

NALType NALType::classifyH264(std::uint8_t firstByte) {
  const std::uint8_t type = firstByte & 0x1F;
  switch (type) {
    case 5:
      return idr();
    case 7:
      return parameterSet(ParameterSet::sps);
    case 8:
      return parameterSet(ParameterSet::pps);
    default:
      return other(type);
  }
}

NALType NALType::classifyHEVC(std::uint8_t firstByte) {
  const std::uint8_t type = (firstByte >> 1) & 0x3F;
  switch (type) {
    case 19:  // IDR with leading pictures
    case 20:  // IDR without
    case 21:  // clean random access: decoding can start here too
      return idr();
    case 32:
      return parameterSet(ParameterSet::vps);
    case 33:
      return parameterSet(ParameterSet::sps);
    case 34:
      return parameterSet(ParameterSet::pps);
    default:
      return other(type);
  }
}

namespace AnnexB {
namespace {

// A caller broke a rule that it alone guarantees; going on would write or read garbage.
[[noreturn]] void contractBroken(const char* what) {
  std::fprintf(stderr, "AnnexB: %s\n", what);
  std::abort();
}

ByteView trimmedUnit(const std::uint8_t* begin, const std::uint8_t* end) {
  while (end != begin && end[-1] == 0) --end;
  return {begin, static_cast<std::size_t>(end - begin)};
}

// Position of the first 00 00 01 at or after `from`, or n when there is none. Looks for the 01
// with memchr, which is many times faster than testing every byte, then checks the two zeros.
std::size_t findStartCode(const std::uint8_t* data, std::size_t n, std::size_t from) {
  std::size_t at = from + 2;
  while (at < n) {
    const void* one = std::memchr(data + at, 0x01, n - at);
    if (one == nullptr) return n;
    at = static_cast<std::size_t>(static_cast<const std::uint8_t*>(one) - data);
    if (data[at - 1] == 0 && data[at - 2] == 0) return at - 2;
    ++at;
  }
  return n;
}

std::optional<std::vector<ByteView>> cutLengthPrefixed(ByteView buffer, int prefixSize) {
  if (prefixSize < 1 || prefixSize > 4) contractBroken("length prefix size must be 1 to 4");
  const std::size_t p = static_cast<std::size_t>(prefixSize);
  const std::size_t n = buffer.size();
  std::vector<ByteView> units;
  std::size_t offset = 0;
  while (offset < n) {
    if (offset + p > n) return std::nullopt;
    std::size_t length = 0;
    for (std::size_t k = 0; k < p; ++k) length = (length << 8) | buffer[offset + k];
    if (offset + p + length > n) return std::nullopt;
    units.push_back(buffer.subspan(offset + p, length));
    offset += p + length;
  }
  return units;
}

}  // namespace

const Bytes& startCode() {
  static const Bytes code{0x00, 0x00, 0x00, 0x01};
  return code;
}

namespace detail {

void appendStartCode(Bytes& out, std::size_t) {
  const auto& code = startCode();
  out.insert(out.end(), code.begin(), code.end());
}

void appendLength32(Bytes& out, std::size_t length) {
  if (length > 0xFFFFFFFFu) contractBroken("unit too long for a 4-byte length");
  const std::uint8_t bytes[4] = {
      static_cast<std::uint8_t>(length >> 24), static_cast<std::uint8_t>(length >> 16),
      static_cast<std::uint8_t>(length >> 8), static_cast<std::uint8_t>(length)};
  out.insert(out.end(), bytes, bytes + 4);
}

}  // namespace detail

std::vector<ByteView> splitNALUnitViews(ByteView stream) {
  std::vector<ByteView> units;
  const std::uint8_t* data = stream.data();
  const std::size_t n = stream.size();
  if (n < 3) return units;
  std::size_t at = findStartCode(data, n, 0);
  while (at < n) {
    const std::size_t unitStart = at + 3;
    const std::size_t next = findStartCode(data, n, unitStart);
    const std::size_t unitEnd = next < n ? next : n;
    if (unitStart < unitEnd) {
      const ByteView unit = trimmedUnit(data + unitStart, data + unitEnd);
      if (!unit.empty()) units.push_back(unit);
    }
    at = next;
  }
  return units;
}

std::vector<Bytes> splitNALUnits(ByteView stream) {
  std::vector<Bytes> units;
  for (ByteView unit : splitNALUnitViews(stream)) units.emplace_back(unit.begin(), unit.end());
  return units;
}

std::optional<std::vector<Bytes>> nalUnitsLengthPrefixed(ByteView buffer, int prefixSize) {
  auto views = cutLengthPrefixed(buffer, prefixSize);
  if (!views) return std::nullopt;
  std::vector<Bytes> units;
  units.reserve(views->size());
  for (ByteView unit : *views) units.emplace_back(unit.begin(), unit.end());
  return units;
}

std::optional<Bytes> fromLengthPrefixed(ByteView buffer, int prefixSize) {
  auto views = cutLengthPrefixed(buffer, prefixSize);
  if (!views) return std::nullopt;
  return join(*views);
}

}  // namespace AnnexB
}  // namespace brindlet::protocol
