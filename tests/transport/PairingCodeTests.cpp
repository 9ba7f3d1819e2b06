#include <gtest/gtest.h>

#include <deque>
#include <set>

#include "transport/PairingCode.h"

namespace brindlet::transport {
namespace {

runtime::Bytes hex(std::string_view text) {
  runtime::Bytes out;
  for (std::size_t i = 0; i + 1 < text.size(); i += 3)
    out.push_back(
        static_cast<std::uint8_t>(std::stoul(std::string(text.substr(i, 2)), nullptr, 16)));
  return out;
}

TEST(PairingCode, DrawsWithoutBias) {
  struct Case {
    const char* name;
    std::deque<std::uint64_t> draws;
    const char* code;
    std::size_t used;
  };
  const Case cases[] = {
      // r = 0 lands in the rejected zone (low word of r * 10^6 below 2^32 mod 10^6).
      {"zero is drawn again", {0, 1}, "000000", 2},
      {"one gives zero", {1}, "000000", 1},
      {"high word ignored", {0xFFFF'FFFF'0000'0001}, "000000", 1},
      {"largest", {0xFFFF'FFFF}, "999999", 1},
      {"leading zeros kept", {42ull * 4295 + 4000}, "000042", 1},
      {"middle, after a rejected draw", {0x8000'0000, 0x8000'0001}, "500000", 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::deque<std::uint64_t> draws = c.draws;
    std::string code = PairingCode::generate([&] {
      std::uint64_t next = draws.front();
      draws.pop_front();
      return next;
    });
    EXPECT_EQ(code, c.code);
    EXPECT_EQ(c.draws.size() - draws.size(), c.used);
  }
}

// Each vector was made with OpenSSL's command-line tool, independently of this code:
//   openssl kdf -keylen 32 -kdfopt digest:SHA256 -kdfopt key:<code>
//     -kdfopt salt:tamsick-joinward-v1 -kdfopt "info:<a>|<b>" HKDF   (one line)
// (for the empty code: -kdfopt hexkey: instead of key:).
TEST(PairingCode, DerivedKeyMatchesIndependentHKDF) {
  const std::string mac = "A1B2C3D4-0000-4000-8000-000000000001";
  const std::string phone = "F0E1D2C3-1111-4111-9111-111111111111";
  struct Case {
    std::string code, a, b;
    const char* expected;
  };
  const Case cases[] = {
      {"123456", mac, phone,
       "75:4D:76:87:72:CB:36:E1:7C:A9:E9:32:E8:47:8F:CB:E4:A0:B3:4C:D4:F3:F6:29:AD:AA:67:D3:ED:07:"
       "81:C6"},
      {"000000", "mac", "phone",
       "15:C4:BB:53:68:11:D3:D9:0D:2D:F9:BF:D7:B3:A4:C1:9B:4D:0C:A0:7A:95:98:34:2D:29:B6:D2:75:7D:"
       "04:B0"},
      {"000000", "phone", "mac",
       "8B:CC:52:3C:24:83:1A:1A:39:9D:1E:06:A7:FB:02:1D:80:B4:C4:55:84:41:81:EC:67:A2:EF:D4:D7:15:"
       "A0:14"},
      // A bar inside an identity is not escaped: both splits give info "a|b|c".
      {"123456", "a|b", "c",
       "79:84:0D:51:8C:86:D6:39:E6:D5:74:CB:23:1A:FD:CF:D3:A9:BA:18:E1:EB:5C:F8:55:71:99:1D:79:DF:"
       "2B:F8"},
      {"123456", "a", "b|c",
       "79:84:0D:51:8C:86:D6:39:E6:D5:74:CB:23:1A:FD:CF:D3:A9:BA:18:E1:EB:5C:F8:55:71:99:1D:79:DF:"
       "2B:F8"},
      {"", "a", "b",
       "94:35:8B:FC:0E:8F:14:A7:94:DF:E6:C6:57:A1:BC:79:6F:4E:63:BE:08:63:B2:AB:01:4C:7E:10:81:E8:"
       "79:71"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.code + " " + c.a + "|" + c.b);
    EXPECT_EQ(PairingCode::derivedKey(c.code, c.a, c.b), SymmetricKey(hex(c.expected)));
  }
}

// Drawn from the system's random source: six digits, rarely twice the same; fresh 32-byte keys.
TEST(PairingCode, SecureDrawsAreFresh) {
  std::set<std::string> seen;
  for (int i = 0; i < 200; ++i) seen.insert(PairingCode::generate());
  EXPECT_GT(seen.size(), 190u);
  for (const auto& code : seen)
    EXPECT_TRUE(code.size() == 6 && code.find_first_not_of("0123456789") == std::string::npos);
  SymmetricKey a = PairingCode::newKey();
  EXPECT_EQ(a.size(), 32u);
  EXPECT_NE(a, PairingCode::newKey());
}

}  // namespace
}  // namespace brindlet::transport
