#include <gtest/gtest.h>

#include "runtime/Base64.h"

namespace brindlet::runtime {
namespace {

struct Vector {
  std::string_view plain;
  std::string_view encoded;
};

// RFC 4648 section 10 test vectors.
constexpr Vector kVectors[] = {
    {"", ""},
    {"f", "Zg=="},
    {"fo", "Zm8="},
    {"foo", "Zm9v"},
    {"foob", "Zm9vYg=="},
    {"fooba", "Zm9vYmE="},
    {"foobar", "Zm9vYmFy"},
};

TEST(Base64, RfcVectorsRoundTrip) {
  for (const auto& v : kVectors) {
    EXPECT_EQ(base64Encode(asBytes(v.plain)), v.encoded);
    auto decoded = base64Decode(v.encoded);
    ASSERT_TRUE(decoded) << v.encoded;
    EXPECT_EQ(asText(*decoded), v.plain);
  }
}

TEST(Base64, AllByteValuesRoundTrip) {
  Bytes all(256);
  for (int i = 0; i < 256; ++i) all[i] = static_cast<std::uint8_t>(i);
  EXPECT_EQ(base64Decode(base64Encode(all)), all);
}

TEST(Base64, RefusesNonStrictText) {
  for (std::string_view bad : {"Zg", "Zg=", "Zm9v\n", " Zm9v", "Zm9v====", "Z===", "Zm=v",
                               "Zh==",  // unused bits set
                               "Zm9=",  // unused bits set
                               "Zm9-", "Zm9_", "=Zm9"}) {
    EXPECT_FALSE(base64Decode(bad)) << bad;
  }
}

}  // namespace
}  // namespace brindlet::runtime
