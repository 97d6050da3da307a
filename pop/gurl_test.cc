// GURL's answer: the user put into the configured URL, and never a line
// that could break the response framing.
#include "pop/gurl.h"

#include <gtest/gtest.h>

namespace {

std::optional<std::string> gurl(std::string_view url, std::string_view user = "joe") {
  const char* why = nullptr;
  auto r = gurl_response(url, user, &why);
  if (!r) {
    EXPECT_NE(why, nullptr);
  }
  return r;
}

TEST(Gurl, UserIdSubstitution) {
  EXPECT_EQ(gurl("https://mail.example.com/"), "+OK https://mail.example.com/");
  EXPECT_EQ(gurl("https://mail.example.com/u/%u?x=%U"), "+OK https://mail.example.com/u/joe?x=joe");
  // Other "%" sequences, a "%" at the end and "%%u" are left as they are,
  // except for the "%u" inside.
  EXPECT_EQ(gurl("a%20b%s%d%"), "+OK a%20b%s%d%");
  EXPECT_EQ(gurl("%%u%"), "+OK %joe%");
  EXPECT_EQ(gurl("%u%u", "a%ub"), "+OK a%uba%ub");  // the user id is not scanned again
  EXPECT_EQ(gurl(""), std::nullopt);
}

TEST(Gurl, NeverMoreThanOneLine) {
  EXPECT_EQ(gurl("https://x/\r\n+OK forged"), std::nullopt);
  EXPECT_EQ(gurl("https://x/\n."), std::nullopt);
  EXPECT_EQ(gurl("https://x/\r"), std::nullopt);
  EXPECT_EQ(gurl(std::string_view("https://x/\0y", 12)), std::nullopt);
  EXPECT_EQ(gurl("https://x/%u", std::string_view("a\r\nb", 4)), std::nullopt);
}

TEST(Gurl, ResponseLineLimit) {
  // "+OK " + url + CRLF: 512 octets pass, 513 do not.
  std::string url(506, 'x');
  auto r = gurl(url);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->size() + 2, 512u);
  EXPECT_EQ(gurl(url + "y"), std::nullopt);
  // The substitution counts: short enough as configured, too long with the user in.
  EXPECT_TRUE(gurl(std::string(500, 'x') + "%u", "abcdef"));
  EXPECT_EQ(gurl(std::string(500, 'x') + "%u", "abcdefg"), std::nullopt);
  EXPECT_EQ(gurl(std::string(200, 'x') + std::string(1000, '%') + "%u"), std::nullopt);
  std::string many;
  for (int i = 0; i < 100000; ++i) many += "%u";
  EXPECT_EQ(gurl(many, std::string(100, 'u')), std::nullopt);
}

}  // namespace
