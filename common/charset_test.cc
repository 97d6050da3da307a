#include "common/charset.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <string>

namespace {

TEST(Charset, LookupNameIsCaseBlindAndKnowsAliases) {
  struct {
    const char* name;
    int want;
  } cases[] = {
      {"us-ascii", 0}, {"US-ASCII", 0}, {"iso-8859-1", 1}, {"Latin1", 1},  {"utf-8", 15},
      {"UTF8", 15},    {"koi8-r", 10},  {"Shift_JIS", 21}, {"x-sjis", 21}, {"windows-1252", 17},
      {"no-such", -1}, {"", -1},        {"utf-8 ", -1},
  };
  for (const auto& c : cases) EXPECT_EQ(charset_lookupname(c.name), c.want) << c.name;
  EXPECT_EQ(charset_lookupname(nullptr), -1);
  EXPECT_STREQ(charset_name(15), "utf-8");
  EXPECT_EQ(charset_name(-1), nullptr);
  EXPECT_EQ(charset_name(100000), nullptr);
}

TEST(Charset, DecodesEncodedWords) {
  struct {
    const char* in;
    const char* want;
  } cases[] = {
      {"plain text", "plain text"},
      {"=?utf-8?q?J=C3=B6rg?=", "J\xC3\xB6rg"},
      {"=?ISO-8859-1?Q?J=F6rg_M?=", "J\xC3\xB6rg M"},
      {"=?iso-8859-1?b?SvZyZw==?=", "J\xC3\xB6rg"},
      {"=?utf-8?B?w6k=?= and =?utf-8?B?w6k=?=", "\xC3\xA9 and \xC3\xA9"},
      // Blanks between adjacent encoded words vanish, also across a fold.
      {"=?utf-8?q?a?= =?utf-8?q?b?=", "ab"},
      {"=?utf-8?q?a?=\r\n =?utf-8?q?b?=", "ab"},
      {"x =?utf-8?q?a?= y", "x a y"},
      // Language suffix of RFC 2231.
      {"=?us-ascii*en?q?Hi?=", "Hi"},
      // Malformed or unknown words stay as written.
      {"=?unknown?q?abc?=", "=?unknown?q?abc?="},
      {"=?utf-8?x?abc?=", "=?utf-8?x?abc?="},
      {"=?utf-8?q?no end", "=?utf-8?q?no end"},
      {"=?utf-8?q?has space?=", "=?utf-8?q?has space?="},
      {"=?", "=?"},
      {"=?utf-8?q", "=?utf-8?q"},
      // Undecodable bytes become U+FFFD; decoded NULs are dropped.
      {"=?utf-8?q?a=FFb?=",
       "a\xEF\xBF\xBD"
       "b"},
      {"=?us-ascii?q?a=00b?=", "ab"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(charset_decode1522_str(c.in), c.want) << c.in;
    char* m = charset_decode1522(c.in, nullptr, 0);
    EXPECT_STREQ(m, c.want) << c.in;
    free(m);
  }
}

TEST(Charset, BufferedDecodeCutsAtCharacterBoundary) {
  char buf[6];
  memset(buf, 'Z', sizeof buf);
  // "aé é" = 61 C3 A9 20 C3 A9: 5 bytes fit, the last character would be cut.
  EXPECT_STREQ(charset_decode1522("=?utf-8?q?a=C3=A9_=C3=A9?=", buf, sizeof buf), "a\xC3\xA9 ");
  char one[1];
  EXPECT_STREQ(charset_decode1522("abc", one, 1), "");
  char big[256];
  EXPECT_STREQ(charset_decode1522(nullptr, big, sizeof big), "");
}

TEST(Charset, IncompleteMultibyteInputIsReplaced) {
  // A lone lead byte of a two-byte sequence at the end of the word.
  EXPECT_EQ(charset_decode1522_str("=?utf-8?q?=C3?="), "\xEF\xBF\xBD");
  // Shift state of ISO-2022-JP: ESC $ B 0x30 0x21 ESC ( B = U+4E9C.
  EXPECT_EQ(charset_decode1522_str("=?iso-2022-jp?b?GyRCMCEbKEI=?="), "\xE4\xBA\x9C");
}

TEST(Charset, RandomGarbageNeverCrashes) {
  unsigned seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  printf("Charset.RandomGarbageNeverCrashes seed %u\n", seed);
  std::mt19937 rng(seed);
  const char* pieces[] = {"=?", "?=",   "?q?",  "?B?", "utf-8", "iso-2022-jp", "=C3", "=1B",  "_",
                          " ",  "\r\n", "GyRC", "w6",  "=",     "?",           "a",   "\xff", "*en"};
  for (int round = 0; round < 3000; ++round) {
    std::string s;
    int n = static_cast<int>(rng() % 12);
    for (int i = 0; i < n; ++i) s += pieces[rng() % (sizeof pieces / sizeof pieces[0])];
    char buf[8];
    charset_decode1522(s.c_str(), buf, sizeof buf);
    ASSERT_LT(strlen(buf), sizeof buf);
    std::string d = charset_decode1522_str(s);
    ASSERT_EQ(d.find('\0'), std::string::npos);
  }
}

}  // namespace
