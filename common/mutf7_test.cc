#include "common/mutf7.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "common/imap_err.h"

namespace {

// Pairs of the same text in both encodings, worked out by hand from the
// UTF-16 code units (and the examples of the IMAP definition).
struct Pair {
  const char* mutf7;
  const char* utf8;
};
const Pair kPairs[] = {
    {"", ""},
    {"Sent Items", "Sent Items"},
    {"&-", "&"},
    {"R&-D", "R&D"},
    {"&AOk-", "\xc3\xa9"},                       // e acute, U+00E9
    {"Entw&APw-rfe", "Entw\xc3\xbcrfe"},         // u umlaut, U+00FC
    {"&AOkA6Q-", "\xc3\xa9\xc3\xa9"},            // two units: run ends after 6 chars
    {"&AOkA6QDp-", "\xc3\xa9\xc3\xa9\xc3\xa9"},  // three units: 8 chars
    {"&U,BTFw-", "\xe5\x8f\xb0\xe5\x8c\x97"},    // U+53F0 U+5317 (',' is 63)
    {"~peter/mail/&ZeVnLIqe-", "~peter/mail/\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e"},
    {"&2D3eAA-", "\xf0\x9f\x98\x80"},  // U+1F600 as a surrogate pair
    {"a&AOk-b&-c",
     "a\xc3\xa9"
     "b&c"},
    {"&AOk-&-&AOk-", "\xc3\xa9&\xc3\xa9"},  // a literal '&' between runs
    {"tab&AAk-", "tab\t"},                  // control characters are encoded
};

std::string to_utf8(const char* src, int* rc, size_t size = 1024) {
  std::vector<char> buf(size, 'X');
  *rc = mutf7_toutf8(src, buf.data(), buf.size());
  return buf.data();
}

std::string from_utf8(const char* src, int* rc, size_t size = 1024) {
  std::vector<char> buf(size, 'X');
  *rc = mutf7_fromutf8(src, buf.data(), buf.size());
  return buf.data();
}

TEST(Mutf7Test, DecodesAndEncodesKnownPairs) {
  for (const auto& p : kPairs) {
    int rc;
    EXPECT_EQ(to_utf8(p.mutf7, &rc), p.utf8) << p.mutf7;
    EXPECT_EQ(rc, 0) << p.mutf7;
    EXPECT_EQ(from_utf8(p.utf8, &rc), p.mutf7) << p.mutf7;
    EXPECT_EQ(rc, 0) << p.mutf7;
  }
}

TEST(Mutf7Test, RefusesMalformedModifiedUtf7) {
  const char* bad[] = {
      "&",            // run cut off by the end
      "&AOk",         // no closing '-'
      "a&AO-",        // ends after 12 bits: not a whole character
      "&AOl-",        // leftover bits not zero
      "&AOkA-",       // a whole base64 character left over
      "&A-",          // six bits only
      "&AGE-",        // 'a' must stand for itself
      "&ACY-",        // so must '&'
      "&AAA-",        // NUL
      "&2D0-",        // high surrogate alone
      "&3gA-",        // low surrogate alone
      "&2D3YPQ-",     // high surrogate followed by another high one
      "&AOk-&AOk-",   // two runs back to back
      "&AO!-",        // not base64
      "&AO/-",        // '/' is not in the modified alphabet
      "caf\xc3\xa9",  // bytes above 0x7F must be encoded
      "a\tb",         // so must control bytes
      "\x7f",
  };
  for (const char* s : bad) {
    int rc;
    EXPECT_EQ(to_utf8(s, &rc), "") << s;
    EXPECT_EQ(rc, IMAP_MAILBOX_BADNAME) << s;
  }
  char buf[8];
  EXPECT_EQ(mutf7_toutf8(nullptr, buf, sizeof buf), IMAP_MAILBOX_BADNAME);
}

TEST(Mutf7Test, RefusesMalformedUtf8) {
  const char* bad[] = {
      "\xc3",  // cut off
      "a\xc3"
      "b",                 // continuation byte missing
      "\xc0\xaf",          // overlong '/'
      "\xe0\x80\xaf",      // overlong, three bytes
      "\xf0\x80\x80\xaf",  // overlong, four bytes
      "\xed\xa0\x80",      // a surrogate encoded directly
      "\xf4\x90\x80\x80",  // above U+10FFFF
      "\xf8\x88\x80\x80\x80",
      "\xff",
      "\x80",  // continuation byte alone
  };
  for (const char* s : bad) {
    int rc;
    EXPECT_EQ(from_utf8(s, &rc), "");
    EXPECT_EQ(rc, IMAP_MAILBOX_BADNAME) << testing::PrintToString(s);
  }
}

TEST(Mutf7Test, ResultMustFitTheBuffer) {
  int rc;
  EXPECT_EQ(to_utf8("abc", &rc, 4), "abc");
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(to_utf8("abc", &rc, 3), "");
  EXPECT_EQ(rc, ENAMETOOLONG);
  EXPECT_EQ(to_utf8("&AOk-", &rc, 3), "\xc3\xa9");  // two UTF-8 bytes and the NUL
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(to_utf8("&AOk-", &rc, 2), "");
  EXPECT_EQ(rc, ENAMETOOLONG);
  EXPECT_EQ(from_utf8("\xc3\xa9", &rc, 6), "&AOk-");
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(from_utf8("\xc3\xa9", &rc, 5), "");
  EXPECT_EQ(rc, ENAMETOOLONG);
  EXPECT_EQ(from_utf8("&", &rc, 2), "");
  EXPECT_EQ(rc, ENAMETOOLONG);
  EXPECT_EQ(mutf7_fromutf8("a", nullptr, 0), ENAMETOOLONG);
}

TEST(Mutf7Test, LongTextsRoundTrip) {
  // 300 characters of U+00E9: one run of 800 base64 characters.
  std::string utf8;
  for (int i = 0; i < 300; ++i) utf8 += "\xc3\xa9";
  int rc;
  std::string encoded = from_utf8(utf8.c_str(), &rc, 4096);
  ASSERT_EQ(rc, 0);
  EXPECT_EQ(encoded.size(), 802u);
  EXPECT_EQ(encoded.substr(0, 9), "&AOkA6QDp");
  EXPECT_EQ(to_utf8(encoded.c_str(), &rc, 4096), utf8);
  EXPECT_EQ(rc, 0);
}

}  // namespace
