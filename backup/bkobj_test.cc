#include "backup/bkobj.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "backup/bkcontext.h"
#include "backup/bkdev.h"
#include "backup/bktest_util.h"

namespace {

// A minimal object for the base class's behaviour.
class TestObj : public BkObj {
 public:
  TestObj(BkSession* s, const char* name, BkType t) : BkObj(s, name, t) {}
  const Vdata* backupData() override { return &mydata; }
  int restoreData(Vdata*) override { return 1; }
  std::unique_ptr<BkObj> getFirstChild() override { return nullptr; }
  std::unique_ptr<BkObj> getNextChild() override { return nullptr; }
  using BkObj::att;
};

TEST(Vdata, PartListsAndEmptyElements) {
  Vdata acl("joe\tlrswipcda\t");
  Vdata empty("");
  Vdata list;
  list += acl;
  EXPECT_EQ(list.length(), 4 + acl.length());
  Vdata p;
  EXPECT_EQ(list.part(1, p), 0);  // one element only
  list += empty;
  ASSERT_EQ(list.length(), 4 + acl.length() + 4);
  ASSERT_EQ(list.part(0, p), 1);
  EXPECT_EQ(std::string(p.bytes(), p.length()), "joe\tlrswipcda\t");
  ASSERT_EQ(list.part(1, p), 1);
  EXPECT_EQ(p.length(), 0u);
  EXPECT_EQ(list.part(2, p), 0);
  EXPECT_EQ(list.part(-1, p), 0);

  // An element whose length runs past the end is refused.
  const char bad[6] = {0, 0, 0, 9, 'a', 'b'};
  Vdata v(6, bad, 0);
  EXPECT_EQ(v.part(0, p), 0);
  // A trailing fragment shorter than a length field is no element.
  const char frag[6] = {0, 0, 0, 0, 0, 1};
  Vdata f(6, frag, 0);
  EXPECT_EQ(f.part(0, p), 1);
  EXPECT_EQ(f.part(1, p), 0);
}

TEST(Vdata, CopiesAreViewsAndOwnershipMoves) {
  Vdata a("hello");
  EXPECT_TRUE(a.owns());
  Vdata view = a;
  EXPECT_FALSE(view.owns());
  EXPECT_EQ(view.bytes(), a.bytes());
  Vdata moved = std::move(a);
  EXPECT_TRUE(moved.owns());
  EXPECT_EQ(view.bytes(), moved.bytes());
  // Assigning a view of one's own bytes keeps them alive.
  Vdata self("abc");
  Vdata part;
  part.set(2, self.bytes() + 1, 0);
  self = part;
  EXPECT_EQ(std::string(self.bytes(), self.length()), "bc");
  char* c = moved.getcstring();
  EXPECT_STREQ(c, "hello");
  free(c);
}

TEST(Vdata, LoadAndSave) {
  TempDir dir;
  std::string path = dir.path() + "/rule";
  Vdata v;
  EXPECT_EQ(v.load(path.c_str()), 0);  // missing
  Vdata empty("");
  ASSERT_EQ(empty.save(path.c_str()), 1);
  EXPECT_EQ(v.load(path.c_str()), 0);  // empty
  Vdata text("expire after 30 days\n");
  ASSERT_EQ(text.save(path.c_str()), 1);
  ASSERT_EQ(v.load(path.c_str()), 1);
  EXPECT_EQ(std::string(v.bytes(), v.length()), "expire after 30 days\n");
  EXPECT_EQ(text.save((dir.path() + "/no/such/dir").c_str()), 0);
}

TEST(BkAttr, SaveLoadRoundTripAndTypeCheck) {
  TempDir dir;
  std::string path = dir.path() + "/attr";
  BkAttr a;
  a.objectId = "/primary/user/joe/INBOX";
  a.objectType = static_cast<uint16_t>(BkType::mailbox);
  a.timestamp = 1234567;
  a.info.setcstring("01234567890123456789");
  a.datasize = 99;
  {
    int fd = open(path.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0600);
    ASSERT_EQ(a.save(fd), 1);
    BkAttr bad = a;
    bad.objectType = 7;
    ASSERT_EQ(bad.save(fd), 1);
    close(fd);
  }
  int fd = open(path.c_str(), O_RDONLY);
  BkAttr b;
  ASSERT_EQ(b.load(fd), 1);
  EXPECT_EQ(b.objectId, a.objectId);
  EXPECT_EQ(b.objectType, a.objectType);
  EXPECT_EQ(b.timestamp, a.timestamp);
  EXPECT_EQ(std::string(b.info.bytes(), b.info.length()), "01234567890123456789");
  EXPECT_EQ(b.datasize, 99u);
  BkAttr c;
  EXPECT_EQ(c.load(fd), 0);  // type 7
  EXPECT_EQ(c.load(fd), 0);  // end of file
  close(fd);
}

TEST(BkAttr, AssignmentKeepsAnExistingId) {
  BkAttr a, b;
  a.objectId = "/a";
  a.timestamp = 5;
  b.objectId = "/b";
  b = a;
  EXPECT_EQ(b.objectId, "/b");
  EXPECT_EQ(b.timestamp, 5);
  BkAttr c;
  c = a;
  EXPECT_EQ(c.objectId, "/a");
  a.info.setcstring("xyz");
  auto copy = a.getCopy();
  EXPECT_NE(copy->info.bytes(), a.info.bytes());
  EXPECT_TRUE(copy->info.owns());
}

TEST(BkObj, IdsOwnComponentsAndParents) {
  struct Case {
    const char* name;
    BkType type;
    const char* id;
    const char* own;
    const char* parent;  // null: none
  } cases[] = {
      {"/", BkType::store, "/", "/", nullptr},
      {"/primary", BkType::partition, "/primary", "primary", nullptr},
      {"/primary/", BkType::partition, "/primary", "primary", nullptr},
      {"/primary/user", BkType::group, "/primary/user", "user", "primary"},
      {"/primary/user/joe", BkType::user, "/primary/user/joe", "joe", "user"},
      {"/primary/user/joe/Drafts/old", BkType::mailbox, "/primary/user/joe/Drafts/old", "Drafts/old", "joe"},
      {"/primary/user/joe/INBOX/17", BkType::message, "/primary/user/joe/INBOX/17", "17", "INBOX"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TestObj o(nullptr, c.name, c.type);
    ASSERT_TRUE(o.isvalid());
    EXPECT_STREQ(o.getObjectId(), c.id);
    EXPECT_STREQ(o.basename(), c.own);
    char buf[64];
    char* p = o.parentId(buf, sizeof buf);
    if (c.parent)
      EXPECT_STREQ(p, c.parent);
    else
      EXPECT_EQ(p, nullptr);
  }
  TestObj rel(nullptr, "primary/user", BkType::group);
  EXPECT_FALSE(rel.isvalid());
  EXPECT_EQ(rel.getAttr(), nullptr);
}

TEST(Payloads, FixedLayouts) {
  MsgInfo m;
  m.uid = 0x01020304;
  m.internaldate = 5;
  m.sentdate = 6;
  m.size = 7;
  m.last_updated = 8;
  m.system_flags = 0x11223344;
  m.peruser_flags = MSGINFO_PERUSER_SEEN | MSGINFO_PERUSER_DELETED;
  m.user_flags[0] = 0x80000001;
  m.orig_uid = 9;
  m.orig_uidvalidity = 10;
  char b[MSGINFO_SIZE];
  msginfo_encode(m, b);
  const unsigned char head[] = {1, 2, 3, 4, 0,    0,    0,    5,    0, 0, 0, 6, 0, 0, 0, 7,
                                0, 0, 0, 8, 0x44, 0x33, 0x22, 0x11, 3, 0, 0, 0, 1, 0, 0, 0x80};
  EXPECT_EQ(0, memcmp(b, head, sizeof head));
  const unsigned char tail[] = {0, 0, 0, 9, 0, 0, 0, 10, 0, 0, 0, 0};
  EXPECT_EQ(0, memcmp(b + 40, tail, sizeof tail));
  MsgInfo r;
  ASSERT_EQ(msginfo_decode(b, sizeof b, &r), 1);
  EXPECT_EQ(r.system_flags, 0x11223344u);
  EXPECT_EQ(r.user_flags[0], 0x80000001u);
  EXPECT_EQ(r.orig_uidvalidity, 10u);
  EXPECT_EQ(msginfo_decode(b, sizeof b - 1, &r), 0);

  MbxInfo mb;
  mb.uid_validity = 0xA0B0C0D0;
  mb.sub = 1;
  mb.last_uid = 300;
  char mbuf[MBXINFO_SIZE];
  mbxinfo_encode(mb, mbuf);
  const unsigned char mwant[MBXINFO_SIZE] = {0xA0, 0xB0, 0xC0, 0xD0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 44, 0, 0, 0, 0};
  EXPECT_EQ(0, memcmp(mbuf, mwant, MBXINFO_SIZE));
  MbxInfo mr;
  ASSERT_EQ(mbxinfo_decode(mbuf, MBXINFO_SIZE, &mr), 1);
  EXPECT_EQ(mr.last_uid, 300u);

  Reference ref;
  ref.iname = "user/joe";
  ref.uid = 17;
  ref.uidvalidity = 1000;
  char rbuf[REFERENCE_SIZE];
  ASSERT_EQ(reference_encode(ref, rbuf), 1);
  EXPECT_EQ(std::string(rbuf), "user/joe");
  EXPECT_EQ(readPRInt32(rbuf + 260), 17u);
  EXPECT_EQ(readPRInt32(rbuf + 264), 1000u);
  Reference rr;
  ASSERT_EQ(reference_decode(rbuf, REFERENCE_SIZE, &rr), 1);
  EXPECT_EQ(rr.iname, "user/joe");
  EXPECT_EQ(rr.uidvalidity, 1000u);
  memset(rbuf, 'x', REFERENCE_INAME);  // no terminator
  EXPECT_EQ(reference_decode(rbuf, REFERENCE_SIZE, &rr), 0);
  ref.iname.assign(257, 'a');
  EXPECT_EQ(reference_encode(ref, rbuf), 0);
}

TEST(Records, StoreRecordIsFifteenBytes) {
  BkAttr a;
  a.objectId = "/";
  std::string out = write_stream(20, [&](BKDEV& d) { bkobj_write_record(d, a, nullptr); });
  const unsigned char want[15] = {0, 1, '/', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  ASSERT_GE(out.size(), 12u + 15);
  EXPECT_EQ(0, memcmp(out.data() + 12, want, 15));
}

// Every record type, written through the device and read back.
TEST(Records, EveryTypeRoundTripsThroughTheDevice) {
  struct Rec {
    const char* id;
    BkType type;
    uint32_t ts;
    std::string info;
    std::string data;
  };
  char mi[MSGINFO_SIZE], mb[MBXINFO_SIZE], ref[REFERENCE_SIZE];
  MsgInfo m;
  m.uid = 17;
  msginfo_encode(m, mi);
  mbxinfo_encode(MbxInfo{}, mb);
  Reference r;
  r.iname = "user/joe";
  reference_encode(r, ref);
  Vdata parts;
  parts += Vdata("joe\tlrs\t");
  parts += Vdata("");  // an empty expire rule
  std::string big(70000, 'm');
  std::vector<Rec> recs = {
      {"/", BkType::store, 0, "", ""},
      {"/primary", BkType::partition, 0, "", ""},
      {"/primary/user", BkType::group, 0, ".*", ""},
      {"/primary/user/joe", BkType::user, 1700000000, "", ""},
      {"/primary/user/joe/INBOX", BkType::mailbox, 1700000001, std::string(mb, sizeof mb),
       std::string(parts.bytes(), parts.length())},
      {"/primary/user/joe/INBOX/17", BkType::message, 0xFFFFFFF0u, std::string(mi, sizeof mi), big},
      {"/primary/user/ann/INBOX/3", BkType::link, 5, std::string(mi, sizeof mi), std::string(ref, sizeof ref)},
  };
  std::string out = write_stream(1, [&](BKDEV& d) {
    for (const Rec& rc : recs) {
      BkAttr a;
      a.objectId = rc.id;
      a.objectType = static_cast<uint16_t>(rc.type);
      a.timestamp = rc.ts;
      a.info.set(static_cast<uint32_t>(rc.info.size()), rc.info.data(), 0);
      Vdata data(static_cast<uint32_t>(rc.data.size()), rc.data.data(), 0);
      ASSERT_EQ(bkobj_write_record(d, a, &data), 1);
    }
    char zeros[BK_END_MARKER] = {};
    d.write(zeros, sizeof zeros);
  });
  std::string stream = unblock(out, 512);
  BkMemInput in(stream.data(), stream.size());
  std::string err;
  // One record read over the other, as a restore reads them: the big
  // message's buffer, reused, holds only the short link after it.
  BkRecord got;
  for (const Rec& rc : recs) {
    SCOPED_TRACE(rc.id);
    ASSERT_EQ(bkobj_read_record(in, &got, &err), 1) << err;
    EXPECT_EQ(got.id, rc.id);
    EXPECT_EQ(got.type, static_cast<uint16_t>(rc.type));
    EXPECT_EQ(got.timestamp, rc.ts);
    EXPECT_EQ(got.info, rc.info);
    EXPECT_EQ(got.data, rc.data);
  }
  BkRecord end;
  EXPECT_EQ(bkobj_read_record(in, &end, &err), 0) << err;
  // The mailbox data parses back into its two parts.
  BkMemInput again(stream.data(), stream.size());
  EXPECT_EQ(bkobj_scan_records(again, &err, UINT32_MAX), static_cast<long>(recs.size())) << err;
}

TEST(Records, DamagedStreamsFailWithAMessage) {
  auto rec = [](const std::string& body) {
    std::string s = body;
    return s;
  };
  struct Case {
    const char* what;
    std::string bytes;
    const char* msg;
  } cases[] = {
      {"empty", "", "ends before the end marker"},
      {"short id", rec(std::string("\x00\x05/ab", 5)), "ends inside a record id"},
      {"id without slash", rec(std::string("\x00\x01x\x00\x00", 5)), "not an object name"},
      {"unknown type", rec(std::string("\x00\x01/\x00\x07\x00\x00\x00\x00\x00\x00", 11)), "unknown type 7"},
      {"info past end", rec(std::string("\x00\x01/\x00\x00\x00\x00\x00\x00\x00\x09xy", 13)), "inside the info"},
      {"data past end", rec(std::string("\x00\x01/\x00\x00\x00\x00\x00\x00\x00\x00\xff\xff\xff\xff", 15)),
       "inside the data"},
      {"bad end marker", std::string(2, '\0') + std::string(149, '\0') + "\x01", "damaged end marker"},
      {"short end marker", std::string(40, '\0'), "inside the end marker"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    BkMemInput in(c.bytes.data(), c.bytes.size());
    BkRecord r;
    std::string err;
    EXPECT_EQ(bkobj_read_record(in, &r, &err), -1);
    EXPECT_NE(err.find(c.msg), std::string::npos) << err;
  }
  // A length above the caller's limit is refused before reading.
  std::string s("\x00\x01/\x00\x00\x00\x00\x00\x00\x00\x00\x00\x10\x00\x00", 15);
  BkMemInput in(s.data(), s.size());
  BkRecord r;
  std::string err;
  EXPECT_EQ(bkobj_read_record(in, &r, &err, 1024), -1);
  EXPECT_NE(err.find("too large"), std::string::npos);
}

TEST(Records, OversizedIdIsNotWritten) {
  BkAttr a;
  a.objectId = "/" + std::string(70000, 'x');
  std::string out = write_stream(20, [&](BKDEV& d) { EXPECT_EQ(bkobj_write_record(d, a, nullptr), 0); });
  EXPECT_TRUE(out.empty());
}

}  // namespace
