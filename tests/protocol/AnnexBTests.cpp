#include "protocol/AnnexB.h"

#include <gtest/gtest.h>

#include <random>

namespace brindlet::protocol {

// Readable failures: "parameterSet(sps)", "other(1)", "idr".
void PrintTo(NALType type, std::ostream* os) {
  static const char* const sets[] = {"vps", "sps", "pps"};
  switch (type.kind()) {
    case NALType::Case::parameterSet:
      *os << "parameterSet(" << sets[static_cast<int>(type.parameterSetKind())] << ")";
      break;
    case NALType::Case::other:
      *os << "other(" << int(type.otherType()) << ")";
      break;
    case NALType::Case::idr:
      *os << "idr";
      break;
  }
}

namespace {

using runtime::Bytes;
using Units = std::vector<Bytes>;
using PS = NALType::ParameterSet;

TEST(AnnexB, WritesUnitsBehindStartCodesAndLengths) {
  struct Case {
    const char* name;
    Units units;
    Bytes annexB;
    Bytes prefixed;
  };
  const Case cases[] = {
      {"two units",
       {{0x65, 0x01}, {0x41, 0x9A}},
       {0, 0, 0, 1, 0x65, 0x01, 0, 0, 0, 1, 0x41, 0x9A},
       {0, 0, 0, 2, 0x65, 0x01, 0, 0, 0, 2, 0x41, 0x9A}},
      {"no units", {}, {}, {}},
      {"an empty unit keeps its start code and length",
       {{}, {0xAA}},
       {0, 0, 0, 1, 0, 0, 0, 1, 0xAA},
       {0, 0, 0, 0, 0, 0, 0, 1, 0xAA}},
      {"nothing is escaped", {{0, 0, 1}}, {0, 0, 0, 1, 0, 0, 1}, {0, 0, 0, 3, 0, 0, 1}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(AnnexB::join(c.units), c.annexB) << c.name;
    EXPECT_EQ(AnnexB::lengthPrefixed(c.units), c.prefixed) << c.name;
  }
  // A length uses all four bytes.
  const Units large{Bytes(0x010203, 0x5A)};
  EXPECT_EQ(AnnexB::nalUnitsLengthPrefixed(AnnexB::lengthPrefixed(large), 4), large);
}

TEST(AnnexB, SplitsStreams) {
  struct Case {
    const char* name;
    Bytes stream;
    Units units;
  };
  const Case cases[] = {
      {"four- and three-byte start codes",
       {0, 0, 0, 1, 0x67, 0x42, 0, 0, 0, 1, 0x68, 0xCE, 0, 0, 1, 0x65, 0x88},
       {{0x67, 0x42}, {0x68, 0xCE}, {0x65, 0x88}}},
      {"inner zeros stay", {0, 0, 1, 0x41, 0, 0, 0x9A}, {{0x41, 0, 0, 0x9A}}},
      {"no start code", {0x65, 0x88, 0, 0, 0x02, 0x41, 0, 1}, {}},
      {"bytes before the first start code are ignored", {0x41, 0x9A, 0, 0, 1, 0x65}, {{0x65}}},
      {"a start code cut short at the end", {0, 0, 1, 0x65, 0x88, 0, 0}, {{0x65, 0x88}}},
  };
  for (const auto& c : cases) EXPECT_EQ(AnnexB::splitNALUnits(c.stream), c.units) << c.name;
}

// The scan as plainly as it can be said, byte by byte, to check the fast one against.
Units splitByteByByte(const Bytes& s) {
  Units units;
  const std::size_t n = s.size();
  std::optional<std::size_t> start;
  auto cut = [&](std::size_t from, std::size_t to) {
    while (to > from && s[to - 1] == 0) --to;
    if (to > from) units.emplace_back(s.begin() + from, s.begin() + to);
  };
  for (std::size_t i = 0; i + 2 < n;) {
    if (s[i] == 0 && s[i + 1] == 0 && s[i + 2] == 1) {
      if (start) cut(*start, i);
      start = i + 3;
      i += 3;
    } else {
      ++i;
    }
  }
  if (start && *start < n) cut(*start, n);
  return units;
}

TEST(AnnexB, SplitAgreesWithAByteByByteScanOnDenseStreams) {
  std::mt19937 random(7);
  // Bytes drawn mostly from {0, 1} so that start codes, near misses and zero runs are frequent.
  std::discrete_distribution<int> pick({45, 35, 20});
  for (int round = 0; round < 2000; ++round) {
    Bytes stream(random() % 40);
    for (auto& b : stream) {
      const int k = pick(random);
      b = k == 2 ? static_cast<std::uint8_t>(random()) : static_cast<std::uint8_t>(k);
    }
    ASSERT_EQ(AnnexB::splitNALUnits(stream), splitByteByByte(stream)) << "round " << round;
  }
}

TEST(AnnexB, CutsLengthPrefixedBuffers) {
  struct Case {
    const char* name;
    Bytes buffer;
    int prefix;
    std::optional<Units> units;
  };
  const Case cases[] = {
      {"a unit and an empty one", {0, 0, 0, 2, 0xAA, 0xBB, 0, 0, 0, 0}, 4, Units{{0xAA, 0xBB}, {}}},
      {"a unit that overruns", {0, 0, 0, 5, 0xAA, 0xBB}, 4, std::nullopt},
      {"a prefix cut short", {0, 0, 0, 1, 0xAA, 0, 0}, 4, std::nullopt},
      {"one-byte prefix", {1, 0xAA, 2, 0xBB, 0xCC}, 1, Units{{0xAA}, {0xBB, 0xCC}}},
      {"three-byte prefix", {0, 0, 1, 0xAA}, 3, Units{{0xAA}}},
      {"empty buffer is no units, not a failure", {}, 4, Units{}},
      {"a length as large as 4 bytes go", {0xFF, 0xFF, 0xFF, 0xFF, 0xAA}, 4, std::nullopt},
      {"bytes left after the last unit", {1, 0xAA, 0x05}, 1, std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(AnnexB::nalUnitsLengthPrefixed(c.buffer, c.prefix), c.units) << c.name;
    const auto annexB = AnnexB::fromLengthPrefixed(c.buffer, c.prefix);
    if (c.units) {
      EXPECT_EQ(annexB, AnnexB::join(*c.units)) << c.name;
    } else {
      EXPECT_EQ(annexB, std::nullopt) << c.name;
    }
  }
}

TEST(AnnexBDeathTest, PrefixSizesOutsideOneToFourStopTheProcess) {
  const Bytes buffer{0, 1, 0xAA};
  for (int prefix : {0, 5, -1}) {
    EXPECT_DEATH(AnnexB::nalUnitsLengthPrefixed(buffer, prefix), "prefix") << prefix;
  }
}

TEST(NALType, ClassifiesByCodec) {
  struct Case {
    Codec codec;
    std::uint8_t byte;
    NALType type;
  };
  const Case cases[] = {
      {Codec::h264, 0x65, NALType::idr()},
      {Codec::h264, 0x67, NALType::parameterSet(PS::sps)},
      {Codec::h264, 0x41, NALType::other(1)},
      {Codec::h264, 0xE7, NALType::parameterSet(PS::sps)},  // bits 5 to 7 don't count
      {Codec::h264, 0x1F, NALType::other(31)},
      {Codec::hevc, 0x40, NALType::parameterSet(PS::vps)},
      {Codec::hevc, 0x26, NALType::idr()},  // 19
      {Codec::hevc, 0x2A, NALType::idr()},  // 21, clean random access
      {Codec::hevc, 0x20, NALType::other(16)},
      {Codec::hevc, 0xC3, NALType::parameterSet(PS::sps)},  // bits 0 and 7 don't count
      {Codec::hevc, 0x7E, NALType::other(63)},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(NALType::classify(c.codec, c.byte), c.type) << wordOf(c.codec) << " " << int(c.byte);
    const NALType single =
        c.codec == Codec::h264 ? NALType::classifyH264(c.byte) : NALType::classifyHEVC(c.byte);
    EXPECT_EQ(single, c.type);
  }
}

}  // namespace
}  // namespace brindlet::protocol
