// The challenge and the greeting line.
#include "pop/greeting.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <set>
#include <string>

namespace {

// "<digits.digits.16 hex@mail.example.com>"
bool well_formed(const std::string& c) {
  const std::string tail = "@mail.example.com>";
  if (c.size() < tail.size() + 6 || c[0] != '<' || c.compare(c.size() - tail.size(), tail.size(), tail) != 0)
    return false;
  std::string body = c.substr(1, c.size() - 1 - tail.size());
  size_t d1 = body.find('.'), d2 = body.find('.', d1 + 1);
  if (d1 == std::string::npos || d2 == std::string::npos || d1 == 0 || d2 == d1 + 1) return false;
  for (size_t i = 0; i < d2; ++i)
    if (i != d1 && !isdigit(static_cast<unsigned char>(body[i]))) return false;
  std::string hex = body.substr(d2 + 1);
  return hex.size() == 16 && hex.find_first_not_of("0123456789abcdef") == std::string::npos;
}

TEST(Challenge, FormatAndUniqueness) {
  std::set<std::string> seen;
  for (uint64_t i = 1; i <= 10000; ++i) {
    std::string c = make_challenge(getpid(), i, "mail.example.com");
    ASSERT_TRUE(well_formed(c)) << c;
    ASSERT_TRUE(seen.insert(c).second) << "repeated: " << c;
  }
  // The same pid and counter (a restarted process) still differ.
  EXPECT_NE(make_challenge(42, 1, "h"), make_challenge(42, 1, "h"));
}

TEST(Challenge, HostKeepsMessageIdCharacters) {
  EXPECT_EQ(challenge_host("mail.example.com"), "mail.example.com");
  EXPECT_EQ(challenge_host("a b<c>@d\r\ne"), "abcde");
  EXPECT_EQ(challenge_host("<>@ "), "localhost");
  EXPECT_EQ(challenge_host(std::string(300, 'h')).size(), 256u);
}

TEST(Greeting, BannerIsCutNeverTheChallenge) {
  std::string challenge = make_challenge(99999, 123456789, std::string(256, 'h'));
  std::string banner(512, 'B');
  std::string g = build_greeting(banner, challenge);
  EXPECT_EQ(g.size(), 512u);
  EXPECT_EQ(g.substr(0, 5), "+OK B");
  EXPECT_EQ(g.substr(g.size() - challenge.size() - 3), " " + challenge + "\r\n");

  std::string plain = build_greeting(banner, "");
  EXPECT_EQ(plain.size(), 512u);
  EXPECT_EQ(plain.substr(plain.size() - 2), "\r\n");
}

TEST(Greeting, ShortBannerUnchanged) {
  EXPECT_EQ(build_greeting("mail POP3 service (Corvane 1)", "<1.2.ab@h>"),
            "+OK mail POP3 service (Corvane 1) <1.2.ab@h>\r\n");
  EXPECT_EQ(build_greeting("mail", ""), "+OK mail\r\n");
  EXPECT_EQ(build_greeting("", "<1.2.ab@h>"), "+OK <1.2.ab@h>\r\n");
}

TEST(Greeting, BannerLosesLineBreaks) {
  // A banner from the configuration must not end the line early and
  // smuggle a second response.
  EXPECT_EQ(clean_banner("hello\r\n+OK fake\tx"), "hello+OK fakex");
}

}  // namespace
