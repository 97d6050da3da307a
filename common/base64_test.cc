#include "common/base64.h"

#include <gtest/gtest.h>

// The test vectors of RFC 4648 section 10, both ways.
TEST(Base64, RfcVectors) {
  const std::pair<const char*, const char*> vectors[] = {
      {"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},         {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"},
  };
  for (auto [plain, enc] : vectors) {
    EXPECT_EQ(base64_encode(plain), enc);
    EXPECT_EQ(base64_decode(enc), std::optional<std::string>(plain)) << enc;
  }
  std::string binary("\0\xff\x10 \r\n", 6);
  EXPECT_EQ(base64_decode(base64_encode(binary)), binary);
}

// A SASL response that is not canonical base64 is refused, never read
// loosely: an exchange must not go on with bytes the client did not mean.
TEST(Base64, NonCanonicalTextIsRefused) {
  for (const char* bad : {"Zg", "Zg=", "Zm9", "Zm9v\r\n", "Zm 9v", "Zh==", "Zm9=", "Zg==Zg==", "=Zg=", "Zm9v====",
                          "Z===", "Zm9v*A==", "\xc3\xa9xx"}) {
    EXPECT_FALSE(base64_decode(bad).has_value()) << bad;
  }
}
