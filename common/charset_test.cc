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

namespace {

TEST(CharsetCompose, CharsetFollowsLanguageAndText) {
  struct {
    const char* lang;
    const char* text;
    const char* want;
  } cases[] = {
      {"fr", "Bienvenue", "us-ascii"},
      {"fr", "Caf\xC3\xA9", "iso-8859-1"},
      {"FR_ca", "Caf\xC3\xA9", "iso-8859-1"},
      {"fr", "10 \xE2\x82\xAC", "utf-8"},  // the euro sign is not in Latin-1
      {"ja", "\xE6\x97\xA5\xE6\x9C\xAC", "iso-2022-jp"},
      {"ru", "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82", "koi8-r"},
      {"zh-TW", "\xE4\xB8\xAD", "big5"},
      {"zh-cn", "\xE4\xB8\xAD", "gb2312"},
      {nullptr, "Caf\xC3\xA9", "utf-8"},
      {"xx", "Caf\xC3\xA9", "utf-8"},
  };
  for (const auto& c : cases)
    EXPECT_STREQ(charset_for_text(c.lang, c.text), c.want) << (c.lang ? c.lang : "(null)") << " " << c.text;
}

TEST(CharsetCompose, BodyEncodings) {
  struct {
    const char* lang;
    std::string in;
    const char* charset;
    const char* encoding;
    std::string want;
  } cases[] = {
      {"en", "Hello\r\nThere\r\n", "us-ascii", "7bit", "Hello\r\nThere\r\n"},
      {"fr", "Caf\xC3\xA9 \r\n", "iso-8859-1", "quoted-printable", "Caf=E9=20\r\n"},
      {"fr", "a=b", "us-ascii", "7bit", "a=b"},
      // Russian in KOI8-R: every letter is 8-bit, so base64 (F0 D2 C9 D7 C5 D4).
      {"ru", "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82", "koi8-r", "base64", "8NLJ18XU\r\n"},
      // ISO-2022-JP is 7-bit: ESC $ B, the JIS codes 467C 4B5C, ESC ( B.
      {"ja", "\xE6\x97\xA5\xE6\x9C\xAC", "iso-2022-jp", "7bit", "\x1b$BF|K\\\x1b(B"},
      // A long line gets a soft break after 75 characters.
      {"fr", "\xC3\xA9" + std::string(80, 'a') + "\r\n", "iso-8859-1", "quoted-printable",
       "=E9" + std::string(72, 'a') + "=\r\n" + std::string(8, 'a') + "\r\n"},
      // An ASCII line over 998 bytes cannot be 7bit.
      {"en", std::string(1000, 'x'), "us-ascii", "quoted-printable",
       std::string(75, 'x') + "=\r\n" + std::string(75, 'x') + "=\r\n"},
  };
  for (const auto& c : cases) {
    charset_body b;
    ASSERT_TRUE(charset_encode_body(c.lang, c.in, &b)) << c.in;
    EXPECT_EQ(b.charset, c.charset) << c.in;
    EXPECT_EQ(b.encoding, c.encoding) << c.in;
    if (c.in.size() < 1000) {
      EXPECT_EQ(b.text, c.want) << c.in;
    } else {
      EXPECT_EQ(b.text.substr(0, c.want.size()), c.want);
    }
  }
  charset_body b;
  for (std::string bad : {std::string("\xC3"), std::string("\xC0\xAF"), std::string("\xED\xA0\x80"),
                          std::string("a\0b", 3), std::string("\xF4\x90\x80\x80")}) {
    EXPECT_FALSE(charset_encode_body("fr", bad, &b)) << bad;
  }
}

TEST(CharsetCompose, HeaderEncodedWords) {
  struct {
    const char* lang;
    const char* in;
    const char* want;
  } cases[] = {
      {"fr", "Bienvenue", "Bienvenue"},
      {"fr", "Bienvenue \xC3\xA0 vous", "=?iso-8859-1?Q?Bienvenue_=E0_vous?="},
      {"en", "a=?b", "=?us-ascii?Q?a=3D=3Fb?="},
      {"ru", "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82", "=?koi8-r?B?8NLJ18XU?="},
      {"ja", "\xE6\x97\xA5\xE6\x9C\xAC", "=?iso-2022-jp?B?GyRCRnxLXBsoQg==?="},
      {nullptr, "\xE4\xB8\xAD\xE6\x96\x87", "=?utf-8?B?5Lit5paH?="},
  };
  for (const auto& c : cases) {
    std::string out;
    ASSERT_TRUE(charset_encode_header(c.lang, c.in, &out)) << c.in;
    EXPECT_EQ(out, c.want);
  }
  std::string out;
  EXPECT_FALSE(charset_encode_header("en", "jo@example.com\r\nBcc: evil@example.com", &out));
  EXPECT_FALSE(charset_encode_header("en", std::string("a\0b", 3), &out));
  EXPECT_FALSE(charset_encode_header("en", "\xC3", &out));
}

TEST(CharsetCompose, LongHeaderSplitsIntoWholeWords) {
  // 60 x e-acute: all 8-bit, so B; Latin-1 0xE9E9E9 is "6enp" in base64.
  // 58 characters fit a word after "=?iso-8859-1?B?" and before "?=": 14
  // groups (42 bytes), then the other 18.
  std::string in;
  for (int i = 0; i < 60; ++i) in += "\xC3\xA9";
  std::string out;
  ASSERT_TRUE(charset_encode_header("fr", in, &out));
  std::string g14, g6;
  for (int i = 0; i < 14; ++i) g14 += "6enp";
  for (int i = 0; i < 6; ++i) g6 += "6enp";
  EXPECT_EQ(out, "=?iso-8859-1?B?" + g14 + "?=\r\n =?iso-8859-1?B?" + g6 + "?=");
  EXPECT_EQ(charset_decode1522_str(out), in);
  // Mostly ASCII text uses Q and splits between whole tokens.
  std::string mixed = std::string(70, 'a') + "\xC3\xA9";
  ASSERT_TRUE(charset_encode_header("fr", mixed, &out));
  EXPECT_EQ(out, "=?iso-8859-1?Q?" + std::string(58, 'a') + "?=\r\n =?iso-8859-1?Q?" + std::string(12, 'a') + "=E9?=");
  EXPECT_EQ(charset_decode1522_str(out), mixed);
  // UTF-8 words never split a character: each decodes on its own.
  std::string cjk;
  for (int i = 0; i < 40; ++i) cjk += "\xE4\xB8\xAD";
  ASSERT_TRUE(charset_encode_header(nullptr, cjk, &out));
  size_t start = 0;
  while (start < out.size()) {
    size_t end = out.find("\r\n ", start);
    std::string word = out.substr(start, end == std::string::npos ? std::string::npos : end - start);
    EXPECT_LE(word.size(), 75u);
    std::string dec = charset_decode1522_str(word);
    EXPECT_EQ(dec.size() % 3, 0u) << word;
    EXPECT_EQ(dec.find("\xEF\xBF\xBD"), std::string::npos) << word;
    start = end == std::string::npos ? out.size() : end + 3;
  }
  EXPECT_EQ(charset_decode1522_str(out), cjk);
}

}  // namespace
