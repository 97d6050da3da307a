#include "backup/bkutils.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(BkUtils, IntegersAreBigEndianOnTheStream) {
  char b[14];
  char* p = writePRInt16(b, 0x0102);
  p = writePRInt32(p, 0x03040506);
  p = writePRInt64(p, 0x0708090A0B0C0D0EULL);
  ASSERT_EQ(p, b + 14);
  const unsigned char want[14] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14};
  EXPECT_EQ(0, memcmp(b, want, 14));
  EXPECT_EQ(readPRInt16(b), 0x0102);
  EXPECT_EQ(readPRInt32(b + 2), 0x03040506u);
  EXPECT_EQ(readPRInt64(b + 6), 0x0708090A0B0C0D0EULL);
  // High bytes must not sign-extend.
  const char hi[8] = {'\xff', '\xfe', '\xfd', '\xfc', '\xfb', '\xfa', '\xf9', '\xf8'};
  EXPECT_EQ(readPRInt32(hi), 0xFFFEFDFCu);
  EXPECT_EQ(readPRInt64(hi), 0xFFFEFDFCFBFAF9F8ULL);
  char le[4];
  writeLE32(le, 0x11223344);
  EXPECT_EQ(le[0], 0x44);
  EXPECT_EQ(le[3], 0x11);
  EXPECT_EQ(readLE32(le), 0x11223344u);
}

TEST(BkUtils, HtonllPutsTheHighWordFirstAndIsAnInvolution) {
  uint64_t v = 0x0102030405060708ULL;
  uint64_t n = htonll(v);
  const auto* b = reinterpret_cast<const unsigned char*>(&n);
  for (int i = 0; i < 8; i++) EXPECT_EQ(b[i], i + 1);
  EXPECT_EQ(htonll(n), v);
}

TEST(BkUtils, CursorStreamsMoveBySizeWritten) {
  char buf[32];
  opstream o(buf);
  o.writePRInt32(0xDEADBEEF);
  o.writePRInt64(42);
  o.writePRInt16(7);
  EXPECT_EQ(o.offset(), 14u);
  ipstream in(buf);
  uint32_t a;
  uint64_t b;
  uint16_t c;
  in.readPRInt32(&a);
  in.readPRInt64(&b);
  in.readPRInt16(&c);
  EXPECT_EQ(a, 0xDEADBEEFu);
  EXPECT_EQ(b, 42u);
  EXPECT_EQ(c, 7);
  EXPECT_EQ(in.offset(), 14u);
}

TEST(BkUtils, StringAppendsAndCompares) {
  String s("ab");
  s.append('c');
  s.append("de");
  s.append(17u);
  EXPECT_STREQ(s.getcstring(), "abcde17");
  EXPECT_EQ(s.length(), 7);
  EXPECT_TRUE(s == String("abcde17"));
  EXPECT_FALSE(s == String("abcde1"));
}

TEST(BkUtils, HashesStayInsideTheTable) {
  // Bytes above 127 count as negative; the bucket must still be valid.
  EXPECT_LT(bkhash(String("\xff\xfe\xfd\x80")), BK_HASH_BUCKETS);
  // h = (c + 32h) mod 87641 over "ab": 97 * 32 + 98.
  EXPECT_EQ(bkhash(String("ab")), 97u * 32 + 98);
  DevIno d{1, (uint64_t{7} << 32) | 87642};
  EXPECT_EQ(bkhash(d), 1u);  // low 32 bits only
}

TEST(BkUtils, VectorCursorAndBounds) {
  Vector<String> v(1);
  EXPECT_EQ(v.next(), nullptr);
  for (const char* s : {"a", "b", "c"}) EXPECT_EQ(v.add(std::make_unique<String>(s)), 1);
  EXPECT_EQ(v.add(nullptr), 0);
  EXPECT_EQ(v.count(), 3);
  EXPECT_STREQ(v.next()->getcstring(), "a");
  EXPECT_STREQ(v.next()->getcstring(), "b");
  EXPECT_STREQ(v.next()->getcstring(), "c");
  EXPECT_EQ(v.next(), nullptr);
  v.rewind();
  EXPECT_STREQ(v.next()->getcstring(), "a");
  EXPECT_EQ(v[3], nullptr);
  EXPECT_EQ(v[-1], nullptr);
}

TEST(BkUtils, ListInsertsAtTheFront) {
  List<String> l;
  l.insert(std::make_unique<String>("old"));
  l.insert(std::make_unique<String>("new"));
  EXPECT_EQ(l.count(), 2);
  l.rewind();
  EXPECT_STREQ(l.next()->getcstring(), "new");
  EXPECT_STREQ(l.next()->getcstring(), "old");
  EXPECT_EQ(l.next(), nullptr);
  l.removeAll();
  EXPECT_EQ(l.count(), 0);
  EXPECT_EQ(l.next(), nullptr);
}

TEST(BkUtils, HashTableFindsTheNewestEntryOfAKey) {
  HashTable<DevIno, MsgRef> t;
  MsgRef a, b;
  a.setAttr("user/joe", 1, 10, 0, 0);
  b.setAttr("user/ann", 2, 20, 0, 0);
  t.insert(DevIno{3, 99}, a);
  t.insert(DevIno{3, 99 + BK_HASH_BUCKETS}, b);  // same bucket, other key
  EXPECT_STREQ(t.search(DevIno{3, 99})->iname(), "user/joe");
  EXPECT_STREQ(t.search(DevIno{3, 99 + BK_HASH_BUCKETS})->iname(), "user/ann");
  EXPECT_EQ(t.search(DevIno{4, 99}), nullptr);
  t.insert(DevIno{3, 99}, b);
  EXPECT_EQ(t.search(DevIno{3, 99})->uid(), 2u);
  EXPECT_EQ(t.entries(), 3);

  HashTable<String, String> names;
  names.insert(String("joe"), String("joseph"));
  EXPECT_STREQ(names.search(String("joe"))->getcstring(), "joseph");
  EXPECT_EQ(names.search(String("jo")), nullptr);
}

TEST(BkUtils, TimeStringEndsWithANewline) {
  char buf[BK_TIMESTR];
  std::string s = time2str(0, buf);
  ASSERT_FALSE(s.empty());
  EXPECT_EQ(s.back(), '\n');
  EXPECT_NE(s.find("1970"), std::string::npos);
}

TEST(BkUtils, ConvertsNamesToUtf8) {
  std::string out;
  ASSERT_EQ(bk_to_utf8("ISO-8859-1", "J\xf6rg", &out), 1);
  EXPECT_EQ(out, "J\xc3\xb6rg");
  EXPECT_EQ(bk_to_utf8("UTF-8", "\xff\xfe", &out), 0);  // not valid UTF-8
  EXPECT_EQ(bk_to_utf8("NO-SUCH-CHARSET", "x", &out), 0);
  EXPECT_EQ(bk_charset_known("NO-SUCH-CHARSET"), 0);
}

}  // namespace
