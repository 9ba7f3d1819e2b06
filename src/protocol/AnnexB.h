#pragma once

#include <cstdint>
#include <optional>
#include <ranges>
#include <vector>

#include "protocol/Enums.h"
#include "runtime/Bytes.h"

namespace brindlet::protocol {

// The kind of a NAL unit, told from its first byte.
class NALType {
 public:
  enum class ParameterSet : std::uint8_t { vps, sps, pps };
  enum class Case : std::uint8_t { parameterSet, other, idr };

  static constexpr NALType parameterSet(ParameterSet set) {
    return NALType(Case::parameterSet, static_cast<std::uint8_t>(set));
  }
  // Any other unit, carrying its type number (5 bits for H.264, 6 bits for HEVC).
  static constexpr NALType other(std::uint8_t type) { return NALType(Case::other, type); }
  // A unit of a picture at which decoding can start.
  static constexpr NALType idr() { return NALType(Case::idr, 0); }

  static NALType classify(Codec codec, std::uint8_t firstByte);
  static NALType classifyH264(std::uint8_t firstByte);
  static NALType classifyHEVC(std::uint8_t firstByte);

  constexpr Case kind() const { return case_; }
  constexpr bool isParameterSet() const { return case_ == Case::parameterSet; }
  // The set of a parameterSet unit; meaningless for the other cases.
  constexpr ParameterSet parameterSetKind() const { return static_cast<ParameterSet>(value_); }
  // The type number of an `other` unit; meaningless for the other cases.
  constexpr std::uint8_t otherType() const { return value_; }

  friend constexpr bool operator==(NALType, NALType) = default;

 private:
  constexpr NALType(Case c, std::uint8_t value) : case_(c), value_(value) {}

  Case case_;
  std::uint8_t value_;
};

// Annex-B streams (every NAL unit behind a start code) and length-prefixed buffers (every unit
// behind its big-endian length), and the conversions between them. Pure functions.
namespace AnnexB {

// 00 00 00 01: the form that writing uses. Reading accepts 00 00 01 as well.
const runtime::Bytes& startCode();

namespace detail {
void appendStartCode(runtime::Bytes& out, std::size_t unitLength);
void appendLength32(runtime::Bytes& out, std::size_t unitLength);

// Every unit behind the head that writeHead appends for it, in one buffer reserved up front.
template <std::ranges::input_range Units>
runtime::Bytes writeUnits(const Units& units, void (*writeHead)(runtime::Bytes&, std::size_t)) {
  std::size_t total = 0;
  for (const auto& unit : units) total += 4 + std::ranges::size(unit);
  runtime::Bytes out;
  out.reserve(total);
  for (const auto& unit : units) {
    writeHead(out, std::ranges::size(unit));
    out.insert(out.end(), std::ranges::begin(unit), std::ranges::end(unit));
  }
  return out;
}
}  // namespace detail

// Each unit behind a four-byte start code; an empty unit still gets its start code. Nothing is
// escaped or checked.
template <std::ranges::input_range Units>
runtime::Bytes join(const Units& units) {
  return detail::writeUnits(units, detail::appendStartCode);
}

// Each unit behind its byte count as a 4-byte big-endian number. A unit of more than
// 4294967295 bytes can't be written and stops the process.
template <std::ranges::input_range Units>
runtime::Bytes lengthPrefixed(const Units& units) {
  return detail::writeUnits(units, detail::appendLength32);
}

// The units of an Annex-B stream, as views into it: bytes before the first start code are
// ignored, trailing zero bytes of every unit are dropped (the leading zero of a four-byte start
// code goes with them), and units left empty are dropped.
std::vector<runtime::ByteView> splitNALUnitViews(runtime::ByteView stream);
// The same units as copies of their own.
std::vector<runtime::Bytes> splitNALUnits(runtime::ByteView stream);

// Cuts a buffer of units behind big-endian lengths of prefixSize bytes (1 to 4; anything else
// stops the process). Absent unless the prefixes and units tile the buffer exactly; an empty
// buffer gives no units, and a zero length gives an empty unit.
std::optional<std::vector<runtime::Bytes>> nalUnitsLengthPrefixed(runtime::ByteView buffer,
                                                                  int prefixSize);
// The cut units written as an Annex-B stream; absent when the cut fails.
std::optional<runtime::Bytes> fromLengthPrefixed(runtime::ByteView buffer, int prefixSize);

}  // namespace AnnexB

}  // namespace brindlet::protocol
