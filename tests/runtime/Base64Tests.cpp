#include <gtest/gtest.h>

#include "runtime/Base64.h"

namespace brindlet::runtime {
namespace {

TEST(Base64, RfcVectorsAndEveryByteRoundTripAndOnlyStrictTextDecodes) {
  // RFC 4648 section 10 test vectors.
  const std::pair<std::string_view, std::string_view> vectors[] = {
      {"", ""},
      {"f", "Zg=="},
      {"fo", "Zm8="},
      {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="},
      {"fooba", "Zm9vYmE="},
      {"foobar", "Zm9vYmFy"},
  };
  for (const auto& [plain, encoded] : vectors) {
    EXPECT_EQ(base64Encode(asBytes(plain)), encoded);
    EXPECT_EQ(asText(base64Decode(encoded).value()), plain) << encoded;
  }
  Bytes all(256);
  for (int i = 0; i < 256; ++i) all[i] = static_cast<std::uint8_t>(i);
  EXPECT_EQ(base64Decode(base64Encode(all)), all);
  // Missing padding, white space, extra padding, unused bits set, the URL alphabet.
  for (std::string_view bad : {"Zg", "Zg=", "Zm9v\n", " Zm9v", "Zm9v====", "Z===", "Zm=v",
                               "Zh==", "Zm9=", "Zm9-", "Zm9_", "=Zm9"}) {
    EXPECT_FALSE(base64Decode(bad)) << bad;
  }
}

}  // namespace
}  // namespace brindlet::runtime
