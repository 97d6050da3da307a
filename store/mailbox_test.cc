#include "store/mailbox.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "common/auth.h"
#include "common/bvlog.h"
#include "common/config.h"
#include "common/fileio.h"
#include "common/imap_err.h"
#include "common/test_util.h"
#include "store/mailbox_check.h"
#include "store/mailbox_internal.h"
#include "store/mailbox_testutil.h"
#include "store/mboxlist.h"

namespace {

using namespace mailbox_testutil;

uint32_t le32_at(const std::string& s, size_t off) {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data()) + off;
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
void put32_at(std::string& s, size_t off, uint32_t v) {
  for (int i = 0; i < 4; ++i) s[off + i] = static_cast<char>(v >> (8 * i));
}
off_t file_size(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

void record_fatal(int) {}

class Mailbox : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string conf = "local.store.dir = " + dir_.path() + "/store\nlocal.log.target = stderr\n" +
                       "store.partition.primary.path = " + dir_.path() + "/part\n" + "local.store.synclevel = 0\n";
    ASSERT_EQ(configmsg_init_text(conf, "test", "mailboxtest"), 0);
    mboxlist_set_fatal_handler(record_fatal);
    ASSERT_EQ(mboxlist_recover(), 0);
    mailbox_reloadconfig();
    real_ops_ = mailbox_listops_current();
    install_fake_list();
    path_ = dir_.path() + "/part/a/user/ann";
  }
  void TearDown() override {
    mailbox_close(&m_);
    (void)mailbox_set_listops(real_ops_);
    mboxlist_close();
    mboxlist_set_fatal_handler(nullptr);
    configmsg_free();
  }
  std::string idx() const { return path_ + "/store.idx"; }
  void create(const char* acl = "ann\tlrswipcda\t") {
    ASSERT_EQ(mailbox_create("user/ann", "primary", path_.c_str(), nullptr, acl, MBOX_VERSION, &m_, 12345), 0);
  }
  void fill(uint32_t n) {
    for (uint32_t uid = 1; uid <= n; ++uid) ASSERT_EQ(append_message(&m_, uid, message_text(uid, uid)), 0) << uid;
  }
  int reopen(int mode = 0) {
    mailbox_close(&m_);
    return mailbox_open_path("user/ann", mode, "primary", path_.c_str(), nullptr, "", nullptr, &m_);
  }
  std::vector<std::string> check() {
    mailbox_check_report rep;
    EXPECT_EQ(mailbox_check(path_.c_str(), nullptr, &rep), 0);
    return rep.problems;
  }
  std::string subject_of(unsigned msgno) {
    const unsigned char* p = mailbox_cache_item(m_.index_map, "user/ann", msgno, CACHE_SUBJECT);
    if (!p) return "(null)";
    return std::string(reinterpret_cast<const char*>(p) + 4, get_be32(p));
  }

  TempDir dir_;
  std::string path_;
  mailbox m_;
  mailbox_listops real_ops_{};
};

// ---- Format of a new folder -------------------------------------------------

TEST_F(Mailbox, NewFolderIndexIsExactly7856BytesLaidOutByHand) {
  create();
  std::string f = read_text_file(idx());
  ASSERT_EQ(f.size(), 7856u);
  EXPECT_EQ(le32_at(f, 0), 0x102u);   // version
  EXPECT_EQ(le32_at(f, 4), 0u);       // exists
  EXPECT_EQ(le32_at(f, 44), 12345u);  // uid_validity
  EXPECT_EQ(le32_at(f, 60), 7856u);   // cache_offset
  EXPECT_EQ(le32_at(f, 64), 256u);    // start_offset
  std::string varhdr = std::string("\n") + "ann\tlrswipcda\t" + '\0';
  EXPECT_EQ(f.substr(80, varhdr.size()), varhdr);
  EXPECT_EQ(f.find_first_not_of('\0', 80 + varhdr.size()), std::string::npos);
  EXPECT_EQ(m_.mbd.exists, 0u);
  EXPECT_STREQ(m_.acl, "ann\tlrswipcda\t");
  EXPECT_EQ(m_.myrights, 0x1ff);
  EXPECT_EQ(reopen(), 0);
  EXPECT_EQ(m_.hdr.start_offset, 256u);
  EXPECT_TRUE(check().empty());
}

TEST_F(Mailbox, NewFolderWithALongAclGetsAGrownHeader) {
  // 14 entries: 14 * 18 = 252 bytes of ACL, more than the 176 bytes of a
  // new folder's header.  The room grows in steps of 256 until the content
  // plus 50 fits: 176 + 256 = 432 (content 254 + 50 = 304).
  std::string acl;
  for (int i = 0; i < 14; ++i) acl += "user" + std::to_string(100 + i) + "\tlrswipcda\t";
  ASSERT_EQ(acl.size(), 252u);
  create(acl.c_str());
  std::string f = read_text_file(idx());
  EXPECT_EQ(le32_at(f, 64), 80u + 432u);            // start_offset
  EXPECT_EQ(le32_at(f, 60), 80u + 432u + 7600u);    // cache_offset: 100 spare records
  ASSERT_EQ(f.size(), 80u + 432u + 7600u);
  EXPECT_EQ(f.substr(80, acl.size() + 2), "\n" + acl + std::string(1, '\0'));
  fill(3);
  ASSERT_EQ(reopen(), 0);
  EXPECT_EQ(m_.acl, acl);
  EXPECT_EQ(m_.mbd.exists, 3u);
  for (unsigned i = 1; i <= 3; ++i) EXPECT_EQ(subject_of(i), "\"message " + std::to_string(i) + "\"");
  EXPECT_TRUE(check().empty());
}

TEST_F(Mailbox, CreateOverExistingIndex) {
  create();
  fill(2);
  mailbox_close(&m_);
  // With messages: the folder is adopted, open.
  EXPECT_EQ(mailbox_create("user/ann", "primary", path_.c_str(), nullptr, "x\tl\t", MBOX_VERSION, &m_, 0),
            IMAP_MAILBOX_EXISTS);
  EXPECT_EQ(m_.mbd.exists, 2u);
  EXPECT_GE(m_.index_fd, 0);
  mailbox_close(&m_);
  // Empty: made again.
  std::string f = read_text_file(idx());
  put32_at(f, 4, 0);
  write_text_file(idx(), f);
  EXPECT_EQ(mailbox_create("user/ann", "primary", path_.c_str(), nullptr, "x\tl\t", MBOX_VERSION, &m_, 7), 0);
  EXPECT_EQ(file_size(idx()), 7856);
  EXPECT_EQ(m_.mbd.uid_validity, 7u);
}

TEST_F(Mailbox, CreateRefusesOverlongPath) {
  std::string p = dir_.path() + "/" + std::string(1009 - dir_.path().size() - 1, 'x');
  ASSERT_EQ(p.size(), 1009u);
  EXPECT_EQ(mailbox_create("user/x", "primary", p.c_str(), nullptr, "", MBOX_VERSION, nullptr, 0),
            IMAP_MAILBOX_BADNAME);
}

TEST(MailboxNames, MessageFileNames) {
  char buf[MAILBOX_FNAME_LEN];
  EXPECT_STREQ(mailbox_message_fname(nullptr, 7, buf), "00/7.msg");
  EXPECT_STREQ(mailbox_message_fname(nullptr, 12345, buf), "23/12345.msg");
  EXPECT_STREQ(mailbox_message_fname(nullptr, 1234567, buf), "45/1234567.msg");
  EXPECT_STREQ(mailbox_message_fname(nullptr, 4294967295u, buf), "72/4294967295.msg");
}

TEST_F(Mailbox, MapMessage) {
  create();
  fill(2);
  int fd = -1;
  map_handle* map = nullptr;
  ASSERT_EQ(mailbox_map_message(&m_, 2, &fd, &map), 0);
  EXPECT_GE(fd, 0);
  EXPECT_EQ(std::string(map->base, map->length), message_text(2, 2));
  mailbox_unmap_message(&m_, &fd, map);
  EXPECT_EQ(fd, -1);
  EXPECT_EQ(mailbox_map_message(&m_, 3, &fd, nullptr), ENOENT);  // the system error itself
  // A message directory given with a trailing slash gets no second one.
  mailbox other;
  std::string slash = path_ + "/";
  ASSERT_EQ(mailbox_open_path("user/ann", 0, "primary", path_.c_str(), slash.c_str(), "", nullptr, &other), 0);
  EXPECT_EQ(mailbox_map_message(&other, 1, nullptr, nullptr), 0);
  mailbox_close(&other);
}

// ---- Corruption of the fixed header ------------------------------------------------

TEST_F(Mailbox, FixedHeaderCorruption) {
  create();
  fill(3);
  mailbox_close(&m_);
  const std::string good = read_text_file(idx());
  const uint32_t cache_off = le32_at(good, 60);
  struct Case {
    const char* what;
    std::string (*damage)(std::string, uint32_t);
    int mode;
    int want;
    bool fd_left;
  };
  const Case cases[] = {
      {"79 bytes", [](std::string f, uint32_t) { return f.substr(0, 79); }, 0, IMAP_MAILBOX_BADFORMAT, false},
      {"version 259",
       [](std::string f, uint32_t) {
         f[0] = 0x03;
         return f;
       },
       0, IMAP_MAILBOX_BADFORMAT, false},
      // Recover mode gives 0 but no descriptor: the file is not usable.
      {"version 259 recover",
       [](std::string f, uint32_t) {
         f[0] = 0x03;
         return f;
       },
       MAILBOX_OPEN_RECOVER, 0, false},
      {"start_offset past EOF",
       [](std::string f, uint32_t) {
         put32_at(f, 64, 100000);
         return f;
       },
       0, IMAP_MAILBOX_BADFORMAT, false},
      {"records overlap cache",
       [](std::string f, uint32_t c) {
         put32_at(f, 4, (c - 256) / 76 + 1);
         return f;
       },
       0, IMAP_MAILBOX_BADFORMAT, false},
      {"truncated in cache", [](std::string f, uint32_t c) { return f.substr(0, c + 10); }, 0, IMAP_MAILBOX_BADFORMAT,
       false},
      {"truncated before cache", [](std::string f, uint32_t c) { return f.substr(0, c - 1); }, 0,
       IMAP_MAILBOX_BADFORMAT, false},
      {"no LF in variable header",
       [](std::string f, uint32_t) {
         for (size_t i = 80; i < 256; ++i) f[i] = 'x';
         return f;
       },
       0, IMAP_MAILBOX_BADFORMAT, false},
  };
  testing::internal::CaptureStderr();
  for (const auto& c : cases) {
    write_text_file(idx(), c.damage(good, cache_off));
    EXPECT_EQ(reopen(c.mode), c.want) << c.what;
    EXPECT_EQ(m_.index_fd >= 0, c.fd_left) << c.what;
  }
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("Mailbox corrupted, missing fixed headers: user/ann"), std::string::npos) << err;
  EXPECT_NE(err.find("Mailbox corrupted, Version not recognized: user/ann"), std::string::npos);
  EXPECT_NE(err.find("Mailbox corrupted, start_offset beyond EOF: user/ann"), std::string::npos);
  EXPECT_NE(err.find("Mailbox corrupted, cache and idxrec overlap: user/ann"), std::string::npos);
  EXPECT_NE(err.find("Mailbox corrupted, appears truncated: user/ann"), std::string::npos);
  EXPECT_NE(err.find("Flags corrupted: user/ann"), std::string::npos);
  // Under recover the version message is logged too (twice in total).
  size_t first = err.find("Version not recognized");
  EXPECT_NE(err.find("Version not recognized", first + 1), std::string::npos);
  // The original still opens.
  write_text_file(idx(), good);
  EXPECT_EQ(reopen(), 0);
  EXPECT_EQ(m_.mbd.exists, 3u);
}

TEST_F(Mailbox, RecoverLowersStartOffsetInMemoryOnly) {
  create();
  mailbox_close(&m_);
  std::string f = read_text_file(idx());
  put32_at(f, 64, 9000);
  write_text_file(idx(), f);
  EXPECT_EQ(reopen(MAILBOX_OPEN_RECOVER), 0);
  ASSERT_GE(m_.index_fd, 0);
  EXPECT_EQ(m_.hdr.start_offset, 7856u);
  EXPECT_EQ(le32_at(read_text_file(idx()), 64), 9000u);
}

TEST_F(Mailbox, PartlyCreatedEmptyFolderIsExtended) {
  create();
  mailbox_close(&m_);
  ASSERT_EQ(truncate(idx().c_str(), 1000), 0);
  testing::internal::CaptureStderr();
  EXPECT_EQ(reopen(), 0);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("Fixed partially created mailbox: user/ann"), std::string::npos) << err;
  EXPECT_EQ(file_size(idx()), 7856);
  // Ending before start_offset is not repaired.
  mailbox_close(&m_);
  ASSERT_EQ(truncate(idx().c_str(), 200), 0);
  testing::internal::CaptureStderr();
  EXPECT_EQ(reopen(), IMAP_MAILBOX_BADFORMAT);
  testing::internal::GetCapturedStderr();
}

// ---- Records and cache items --------------------------------------------------------

TEST_F(Mailbox, RecordsAndCacheItemsRead) {
  create();
  fill(5);
  ASSERT_EQ(reopen(), 0);
  for (unsigned i = 1; i <= 5; ++i) {
    index_record r;
    ASSERT_EQ(mailbox_read_index_record(&m_, i, &r), 0);
    EXPECT_EQ(r.uid, i);
    EXPECT_EQ(r.size, message_text(i, i).size());
    EXPECT_EQ(subject_of(i), "\"message " + std::to_string(i) + "\"");
    const unsigned char* h = mailbox_cache_item(m_.index_map, "user/ann", i, CACHE_HEADER);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(get_be32(h), r.header_size);
  }
  // Past the reserved room the next record would pass the file's end only
  // for a file that ends there; here the room exists but exists is 5.
  index_record r;
  EXPECT_EQ(mailbox_read_index_record(&m_, 104, &r), 0);
  testing::internal::CaptureStderr();
  uint32_t past = static_cast<uint32_t>((m_.index_length - m_.hdr.start_offset) / 76 + 1);
  EXPECT_EQ(mailbox_read_index_record(&m_, past, &r), IMAP_IOERROR);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("past end of file"), std::string::npos) << err;
  EXPECT_TRUE(check().empty());
}

TEST_F(Mailbox, CacheItemPointingPastTheEndGivesNull) {
  create();
  fill(2);
  ASSERT_EQ(reopen(), 0);
  // Make the SUBJECT item of the last message claim more bytes than the
  // file holds: walk the items by hand from the record's cache offset.
  std::string f = read_text_file(idx());
  uint32_t start = le32_at(f, 64), cache = le32_at(f, 60);
  uint32_t pos = cache + le32_at(f, start + 76 + 40);
  for (int i = 0; i < CACHE_SUBJECT; ++i) {
    uint32_t len = get_be32(reinterpret_cast<const unsigned char*>(f.data()) + pos);
    pos += 4 + ((len + 3) & ~3u);
  }
  unsigned char big[4];
  put_be32(big, 100000);
  f.replace(pos, 4, reinterpret_cast<char*>(big), 4);
  write_text_file(idx(), f);
  ASSERT_EQ(reopen(), 0);
  testing::internal::CaptureStderr();
  EXPECT_EQ(mailbox_cache_item(m_.index_map, "user/ann", 2, CACHE_SUBJECT), nullptr);
  EXPECT_EQ(mailbox_cache_item(m_.index_map, "user/ann", 2, CACHE_EXTRA), nullptr);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("Invalid cache data for msg 2 in mailbox user/ann. Needs reconstruct"), std::string::npos) << err;
  // Earlier items and the other message are still fine.
  EXPECT_NE(mailbox_cache_item(m_.index_map, "user/ann", 2, CACHE_TO), nullptr);
  EXPECT_EQ(subject_of(1), "\"message 1\"");
  auto problems = check();
  ASSERT_EQ(problems.size(), 1u);
  EXPECT_NE(problems[0].find("record 2 (uid 2): cache entry at"), std::string::npos) << problems[0];
}

// ---- Variable header ----------------------------------------------------------------

TEST_F(Mailbox, VariableHeaderBytes) {
  create("");
  ASSERT_EQ(mailbox_lock_index(&m_), 0);
  m_.flagname[0] = strdup("Work");
  m_.flagname[5] = strdup("Done");
  ASSERT_EQ(mailbox_write_index_variable_header(&m_), 0);
  mailbox_unlock_index(&m_);
  std::string f = read_text_file(idx());
  std::string want("Work\0\0\0\0\0Done\0\n\0", 17);
  EXPECT_EQ(f.substr(80, want.size()), want);
  ASSERT_EQ(reopen(), 0);
  EXPECT_STREQ(m_.flagname[0], "Work");
  EXPECT_EQ(m_.flagname[1], nullptr);
  EXPECT_STREQ(m_.flagname[5], "Done");
  EXPECT_EQ(m_.flagname[6], nullptr);
}

TEST_F(Mailbox, AllFlagsAndALongAclGrowTheHeaderKeepingRecordsAndCache) {
  create();
  fill(4);
  ASSERT_EQ(mailbox_lock_index(&m_), 0);
  for (int i = 0; i < MAX_USER_FLAGS; ++i) m_.flagname[i] = strdup(("flag" + std::to_string(i)).c_str());
  ASSERT_EQ(mailbox_write_index_variable_header(&m_), 0);
  // 96 names of 5-6 bytes: 617 bytes of flags plus LF and ACL; the room of
  // 176 grows by 256 steps to 176 + 3 * 256 = 944 (first fit for content +
  // 50).
  std::string content = mailbox_encode_variable_header(&m_);
  uint32_t room = 176;
  while (room < content.size() + 50) room += 256;
  EXPECT_EQ(m_.hdr.start_offset, 80 + room);
  EXPECT_EQ(m_.hdr.cache_offset, 7856 + room - 176);
  EXPECT_EQ(m_.newfiles, 1);
  mailbox_unlock_index(&m_);
  std::string f = read_text_file(idx());
  size_t lf = f.find('\n', 80);
  ASSERT_NE(lf, std::string::npos);
  EXPECT_EQ(f.substr(lf - 7, 8), std::string("flag95\0\n", 8));
  EXPECT_EQ(std::count(f.begin() + 80, f.begin() + m_.hdr.start_offset, '\n'), 1);
  ASSERT_EQ(reopen(), 0);
  EXPECT_STREQ(m_.flagname[95], "flag95");
  for (unsigned i = 1; i <= 4; ++i) EXPECT_EQ(subject_of(i), "\"message " + std::to_string(i) + "\"");
  EXPECT_TRUE(check().empty());
  EXPECT_EQ(access((path_ + "/index.new").c_str(), F_OK), -1);
}

TEST_F(Mailbox, HeaderGrowthFromAHeadersOnlyOpenKeepsTheCache) {
  create();
  fill(3);
  ASSERT_EQ(reopen(MAILBOX_OPEN_APPEND), 0);
  ASSERT_EQ(mailbox_lock_index(&m_), 0);
  std::string acl;
  for (int i = 0; i < 40; ++i) acl += "user" + std::to_string(i) + "\tlrs\t";
  free(m_.acl);
  m_.acl = strdup(acl.c_str());
  ASSERT_EQ(mailbox_write_index_variable_header(&m_), 0);
  mailbox_unlock_index(&m_);
  EXPECT_TRUE(check().empty());
  ASSERT_EQ(reopen(), 0);
  EXPECT_EQ(std::string(m_.acl), acl);
  EXPECT_EQ(subject_of(3), "\"message 3\"");
}

// ---- Expunge ----------------------------------------------------------------------------

int expunge_listed(void* rock, const index_record* r) {
  const auto* uids = static_cast<const std::vector<uint32_t>*>(rock);
  return std::find(uids->begin(), uids->end(), r->uid) != uids->end() ? 1 : 0;
}

TEST_F(Mailbox, ExpungeThreeOfTenMovesCacheAndLogsUids) {
  create();
  fill(10);
  ASSERT_EQ(reopen(), 0);
  const std::string before = read_text_file(idx());
  const uint32_t start = le32_at(before, 64), old_cache = le32_at(before, 60);
  // Old cache offsets and entry bytes, read by hand.
  std::vector<uint32_t> off(11);
  for (unsigned i = 1; i <= 10; ++i) off[i] = le32_at(before, start + 76 * (i - 1) + 40);
  auto entry = [&](unsigned i) {
    uint32_t end = i < 10 ? off[i + 1] : static_cast<uint32_t>(before.size() - old_cache);
    return before.substr(old_cache + off[i], end - off[i]);
  };
  std::vector<uint32_t> gone = {2, 3, 7};
  uint64_t gone_bytes = 0;
  for (uint32_t u : gone) gone_bytes += message_text(u, u).size();
  time_t t0 = time(nullptr);
  ASSERT_EQ(mailbox_expunge(&m_, 0, 0, expunge_listed, &gone), 0);
  const std::string after = read_text_file(idx());
  const uint32_t new_cache = le32_at(after, 60);
  EXPECT_EQ(new_cache, start + 76u * 110);  // room for 110 - 7 more records
  EXPECT_EQ(le32_at(after, 4), 7u);
  EXPECT_EQ(le32_at(after, 8) & 1, 1u);
  EXPECT_EQ(le32_at(after, 28), 1u);  // oldest_uid
  EXPECT_EQ(le32_at(after, 12), message_text(10, 10).size());
  std::vector<uint32_t> kept = {1, 4, 5, 6, 8, 9, 10};
  uint32_t removed_before = 0;
  for (size_t k = 0; k < kept.size(); ++k) {
    uint32_t u = kept[k];
    if (u == 4) removed_before = off[4] - off[2];
    if (u == 8) removed_before += off[8] - off[7];
    uint32_t rec_off = le32_at(after, start + 76 * k + 40);
    EXPECT_EQ(le32_at(after, start + 76 * k), u);
    EXPECT_EQ(rec_off, off[u] - removed_before) << u;
    EXPECT_EQ(after.substr(new_cache + rec_off, entry(u).size()), entry(u)) << u;
  }
  EXPECT_EQ(after.size(), new_cache + (before.size() - old_cache) - (off[4] - off[2]) - (off[8] - off[7]));
  // The expunge log: magic, then (time, uid) pairs.
  std::string log = read_text_file(path_ + "/store.exp");
  ASSERT_EQ(log.size(), 8u + 3 * 8);
  EXPECT_EQ(log.substr(0, 8), "EXPVER01");
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_GE(le32_at(log, 8 + 8 * i), static_cast<uint32_t>(t0));
    EXPECT_EQ(le32_at(log, 12 + 8 * i), gone[i]);
  }
  EXPECT_EQ(g_quota_bytes, uint64_t(0) - gone_bytes);
  EXPECT_EQ(g_quota_count, uint32_t(0) - 3u);
  EXPECT_EQ(g_updatedata_calls, 1);
  // Files stay until the clean-up; the check tool sees a consistent folder.
  EXPECT_EQ(access((path_ + "/00/2.msg").c_str(), F_OK), 0);
  EXPECT_TRUE(check().empty());
  // The handle follows the new file.
  EXPECT_EQ(m_.mbd.exists, 7u);
  EXPECT_EQ(subject_of(5), "\"message 8\"");
}

int keep_from_four(void* rock, const index_record* r) {
  auto* asked = static_cast<std::vector<uint32_t>*>(rock);
  asked->push_back(r->uid);
  if (r->uid == 4) return -1;
  return r->uid % 2 == 0 ? 1 : 0;  // would expunge 6, 8, 10 too
}

TEST_F(Mailbox, MinusOneKeepsTheRestWithoutAsking) {
  create();
  fill(10);
  std::vector<uint32_t> asked;
  ASSERT_EQ(mailbox_expunge(&m_, 0, 0, keep_from_four, &asked), 0);
  EXPECT_EQ(m_.mbd.exists, 9u);  // only 2 went
  EXPECT_EQ(asked, (std::vector<uint32_t>{1, 2, 3, 4}));
  index_record r;
  ASSERT_EQ(mailbox_read_index_record(&m_, 2, &r), 0);
  EXPECT_EQ(r.uid, 3u);
  EXPECT_TRUE(check().empty());
}

TEST_F(Mailbox, ExpungeEverythingEndsAtTheNewCacheOffset) {
  create();
  fill(5);
  ASSERT_EQ(mailbox_expunge(&m_, 0, 0, expungeall, nullptr), 0);
  std::string f = read_text_file(idx());
  EXPECT_EQ(le32_at(f, 4), 0u);
  EXPECT_EQ(f.size(), le32_at(f, 60));
  EXPECT_EQ(le32_at(f, 60), 256u + 76 * (5 + 100));
  EXPECT_EQ(le32_at(f, 12), 0u);
  EXPECT_EQ(le32_at(f, 28), 0u);
  EXPECT_TRUE(check().empty());
  ASSERT_EQ(reopen(), 0);
  EXPECT_EQ(m_.mbd.exists, 0u);
}

TEST_F(Mailbox, NothingChosenLeavesTheFileAlone) {
  create();
  fill(3);
  struct stat before;
  ASSERT_EQ(stat(idx().c_str(), &before), 0);
  ASSERT_EQ(mailbox_expunge(
                &m_, 0, 0, [](void*, const index_record*) { return 0; }, nullptr),
            0);
  struct stat after;
  ASSERT_EQ(stat(idx().c_str(), &after), 0);
  EXPECT_EQ(before.st_ino, after.st_ino);
  EXPECT_EQ(access((path_ + "/store.exp").c_str(), F_OK), -1);
}

// The list is told only once the new index is in place: a failure there
// leaves the expunge done (and logged) with the usage still counting the
// messages, which the next open catches up; the list never counts less than
// the index holds.
TEST_F(Mailbox, FailedListUpdateLeavesTheExpungeDone) {
  create();
  fill(4);
  g_updatedata_fail = 1;
  testing::internal::CaptureStderr();
  ASSERT_EQ(mailbox_expunge(&m_, 0, 0, expungeall, nullptr), 0);
  const std::string log = testing::internal::GetCapturedStderr();
  EXPECT_NE(log.find("Unable to record the expunge of 4 messages from user/ann"), std::string::npos) << log;
  EXPECT_EQ(m_.mbd.exists, 0u);
  EXPECT_EQ(le32_at(read_text_file(idx()), 4), 0u);
  EXPECT_EQ(m_.index_lock_count, 0);
  EXPECT_EQ(g_quota_calls, 0);
  EXPECT_EQ(file_size(path_ + "/store.exp"), 8 + 4 * 8);
  EXPECT_EQ(access((path_ + "/index.new").c_str(), F_OK), -1);
  EXPECT_TRUE(check().empty());
}

TEST_F(Mailbox, ExpungeRefusesRecordsWhoseCacheIsOutOfOrder) {
  create();
  fill(4);
  mailbox_close(&m_);
  std::string f = read_text_file(idx());
  uint32_t start = le32_at(f, 64);
  // Record 2 points at entry 4, so record 3 points back.  (The last record
  // pointing back is what a crash tearing that record leaves; opening
  // drops it.)
  put32_at(f, start + 76 * 1 + 40, le32_at(f, start + 76 * 3 + 40));
  write_text_file(idx(), f);
  ASSERT_EQ(reopen(), 0);
  testing::internal::CaptureStderr();
  EXPECT_EQ(mailbox_expunge(&m_, 0, 0, expungeall, nullptr), IMAP_MAILBOX_BADFORMAT);
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(read_text_file(idx()), f);
}

// Fails the nth call (from 0) of one kind of file operation.
fs_op g_fail_op;
int g_fail_at, g_fail_seen;
int fail_nth(fs_op op, const char*, size_t*) {
  if (op != g_fail_op) return 0;
  return g_fail_seen++ == g_fail_at ? ENOSPC : 0;
}

TEST_F(Mailbox, InjectedFailuresLeaveTheOldIndex) {
  create();
  fill(6);
  g_mailbox_sync.index = 1;  // so that syncs happen and can fail
  const std::string before = read_text_file(idx());
  struct Case {
    const char* what;
    fs_op op;
    int at;
  };
  const Case cases[] = {
      {"create index.new", fs_op::open, 0},    {"first cache run", fs_op::pwrite, 0},
      {"last cache run", fs_op::pwrite, 2},    {"variable header", fs_op::pwrite, 3},
      {"records", fs_op::pwrite, 4},           {"fixed header", fs_op::pwrite, 5},
      {"expunge log magic", fs_op::pwrite, 6}, {"ftruncate", fs_op::ftruncate, 0},
      {"sync", fs_op::fdatasync, 0},           {"rename", fs_op::rename, 0},
  };
  for (const auto& c : cases) {
    ASSERT_EQ(reopen(), 0);
    g_fail_op = c.op;
    g_fail_at = c.at;
    g_fail_seen = 0;
    g_quota_bytes = 0;
    fs_set_fault_hook(fail_nth);
    testing::internal::CaptureStderr();
    int r = mailbox_expunge(
        &m_, 0, 0, [](void*, const index_record* x) { return x->uid % 2 ? 1 : 0; }, nullptr);
    testing::internal::GetCapturedStderr();
    fs_set_fault_hook(nullptr);
    EXPECT_EQ(r, IMAP_IOERROR) << c.what;
    EXPECT_EQ(read_text_file(idx()), before) << c.what;
    EXPECT_EQ(m_.mbd.exists, 6u) << c.what;
    EXPECT_EQ(m_.index_lock_count, 0) << c.what;
    EXPECT_EQ(g_quota_bytes, 0u) << c.what;
    EXPECT_EQ(access((path_ + "/index.new").c_str(), F_OK), -1) << c.what;
    // The log may have been created (empty, or only its magic), but it
    // names no uid: the messages are all still in the index.
    EXPECT_LE(file_size(path_ + "/store.exp"), 8) << c.what;
  }
  // Header growth: a failed write or sync of the new file leaves the old.
  for (fs_op op : {fs_op::pwrite, fs_op::fdatasync, fs_op::rename}) {
    ASSERT_EQ(reopen(), 0);
    ASSERT_EQ(mailbox_lock_index(&m_), 0);
    free(m_.acl);
    m_.acl = strdup(std::string(400, 'a').c_str());
    g_fail_op = op;
    g_fail_at = 0;
    g_fail_seen = 0;
    fs_set_fault_hook(fail_nth);
    testing::internal::CaptureStderr();
    EXPECT_EQ(mailbox_write_index_variable_header(&m_), IMAP_IOERROR);
    testing::internal::GetCapturedStderr();
    fs_set_fault_hook(nullptr);
    mailbox_unlock_index(&m_);
    EXPECT_EQ(read_text_file(idx()), before);
    EXPECT_EQ(access((path_ + "/index.new").c_str(), F_OK), -1);
  }
  g_mailbox_sync.index = 0;
  EXPECT_TRUE(check().empty());
}

// ---- Clean-up of expunged files ----------------------------------------------------------

std::string exp_log(const std::vector<std::pair<int32_t, uint32_t>>& entries) {
  std::string s = "EXPVER01";
  for (auto [t, u] : entries) {
    std::string e(8, '\0');
    put32_at(e, 0, static_cast<uint32_t>(t));
    put32_at(e, 4, u);
    s += e;
  }
  return s;
}

TEST_F(Mailbox, CleanExpungeByDate) {
  create();
  fill(3);
  ASSERT_EQ(append_message(&m_, 150, message_text(150)), 0);
  ASSERT_EQ(mailbox_expunge(
                &m_, EXPUNGE_NONOTIFY, 0, [](void*, const index_record* r) { return r->uid != 3 ? 1 : 0; }, nullptr),
            0);
  // A damaged entry names message 3, which the folder still holds.
  const std::string log = exp_log({{1000, 1}, {2000, 2}, {2500, 3}, {3000, 150}});
  auto msg = [&](const char* rel) { return access((path_ + "/" + rel).c_str(), F_OK) == 0; };
  // Before all entries: nothing removed, log unchanged.
  write_text_file(path_ + "/store.exp", log);
  ASSERT_EQ(mailbox_clean_expunge(path_.c_str(), nullptr, 999), 0);
  EXPECT_EQ(read_text_file(path_ + "/store.exp"), log);
  EXPECT_TRUE(msg("00/1.msg") && msg("00/2.msg") && msg("01/150.msg"));
  // Between: the first two files go, the log keeps the third entry.
  ASSERT_EQ(mailbox_clean_expunge(path_.c_str(), nullptr, 2000), 0);
  EXPECT_FALSE(msg("00/1.msg"));
  EXPECT_FALSE(msg("00/2.msg"));
  EXPECT_TRUE(msg("00/3.msg"));
  EXPECT_EQ(read_text_file(path_ + "/store.exp"), exp_log({{2500, 3}, {3000, 150}}));
  // After: everything logged goes, except the file the index still lists;
  // the emptied directory and the log go too.
  testing::internal::CaptureStderr();
  ASSERT_EQ(mailbox_clean_expunge(path_.c_str(), nullptr, 5000), 0);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("names message 3, which the folder still holds"),
            std::string::npos);
  EXPECT_TRUE(msg("00/3.msg"));
  EXPECT_FALSE(msg("01/150.msg"));
  EXPECT_FALSE(msg("01"));
  EXPECT_TRUE(msg("00"));  // still holds 3.msg
  EXPECT_EQ(access((path_ + "/store.exp").c_str(), F_OK), -1);
  EXPECT_EQ(mailbox_clean_expunge(path_.c_str(), nullptr, 5000), IMAP_MAILBOX_NONEXISTENT);
}

TEST_F(Mailbox, CleanExpungeStopsAtAnImplausibleTime) {
  create();
  fill(2);
  const std::string log = exp_log({{1000, 1}, {-5, 2}});
  write_text_file(path_ + "/store.exp", log);
  testing::internal::CaptureStderr();
  ASSERT_EQ(mailbox_clean_expunge(path_.c_str(), nullptr, time(nullptr)), 0);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("Invalid timestamp in store.exp file"), std::string::npos);
  EXPECT_EQ(access((path_ + "/00/2.msg").c_str(), F_OK), 0);
  EXPECT_EQ(read_text_file(path_ + "/store.exp"), exp_log({{-5, 2}}));
  write_text_file(path_ + "/store.exp", "EXPVER99");
  testing::internal::CaptureStderr();
  EXPECT_EQ(mailbox_clean_expunge(path_.c_str(), nullptr, time(nullptr)), IMAP_MAILBOX_BADFORMAT);
  testing::internal::GetCapturedStderr();
}

// ---- Rename and delete ----------------------------------------------------------------------

TEST_F(Mailbox, RenameInboxIntoSubfolderKeepsAnEmptyInbox) {
  create();
  fill(3);
  std::string newpath = dir_.path() + "/part/a/user/ann/old";
  mailbox* nm = nullptr;
  ASSERT_EQ(mailbox_rename_start(&m_, "user/ann/old", "primary", newpath.c_str(), nullptr, 0, &nm), 0);
  ASSERT_NE(nm, nullptr);
  EXPECT_EQ(nm->mbd.exists, 3u);
  EXPECT_EQ(nm->mbd.uid_validity, 12345u);
  ASSERT_EQ(mailbox_rename_commit(&m_, nm), 0);
  EXPECT_STREQ(m_.name, "user/ann/old");
  EXPECT_EQ(m_.mbd.exists, 3u);
  EXPECT_EQ(subject_of(2), "\"message 2\"");
  // The INBOX stays, empty.
  mailbox inbox;
  ASSERT_EQ(mailbox_open_path("user/ann", 0, "primary", path_.c_str(), nullptr, "", nullptr, &inbox), 0);
  EXPECT_EQ(inbox.mbd.exists, 0u);
  EXPECT_EQ(inbox.mbd.uid_validity, 12345u);
  mailbox_close(&inbox);
  mailbox_check_report rep;
  ASSERT_EQ(mailbox_check(newpath.c_str(), nullptr, &rep), 0);
  EXPECT_TRUE(rep.problems.empty());
}

TEST_F(Mailbox, RenameMovesFolderAndAbortRemovesTheCopy) {
  std::string oldpath = dir_.path() + "/part/b/user/ann/x";
  ASSERT_EQ(mailbox_create("user/ann/x", "primary", oldpath.c_str(), nullptr, "ann\tlrs\t", MBOX_VERSION, &m_, 9), 0);
  fill(2);
  std::string newpath = dir_.path() + "/part/c/user/ann/y";
  mailbox* nm = nullptr;
  ASSERT_EQ(mailbox_rename_start(&m_, "user/ann/y", "primary", newpath.c_str(), nullptr, 0, &nm), 0);
  ASSERT_EQ(mailbox_rename_abort(nm), 0);
  EXPECT_EQ(access(newpath.c_str(), F_OK), -1);
  EXPECT_EQ(access((oldpath + "/00/1.msg").c_str(), F_OK), 0);
  ASSERT_EQ(mailbox_rename_start(&m_, "user/ann/y", "primary", newpath.c_str(), nullptr, 0, &nm), 0);
  ASSERT_EQ(mailbox_rename_commit(&m_, nm), 0);
  EXPECT_EQ(access(oldpath.c_str(), F_OK), -1);
  EXPECT_EQ(access((dir_.path() + "/part/b").c_str(), F_OK), -1);  // emptied parents removed
  mailbox_check_report rep;
  ASSERT_EQ(mailbox_check(newpath.c_str(), nullptr, &rep), 0);
  EXPECT_TRUE(rep.problems.empty());
  EXPECT_EQ(rep.records.size(), 2u);
}

TEST_F(Mailbox, WholeUserRenameWritesTheNewAclIntoTheNewIndexOnly) {
  create("ann\tlrs\t");
  fill(1);
  std::string newpath = dir_.path() + "/part/d/user/bob";
  free(m_.acl);
  m_.acl = strdup("bob\tlrs\t");
  mailbox* nm = nullptr;
  ASSERT_EQ(mailbox_rename_start(&m_, "user/bob", "primary", newpath.c_str(), nullptr, 1, &nm), 0);
  ASSERT_EQ(mailbox_rename_abort(nm), 0);
  // Aborted: the old index still holds the old ACL.
  mailbox old;
  ASSERT_EQ(mailbox_open_path("user/ann", 0, "primary", path_.c_str(), nullptr, "", nullptr, &old), 0);
  EXPECT_STREQ(old.acl, "ann\tlrs\t");
  mailbox_close(&old);
  ASSERT_EQ(mailbox_rename_start(&m_, "user/bob", "primary", newpath.c_str(), nullptr, 1, &nm), 0);
  EXPECT_STREQ(nm->acl, "bob\tlrs\t");
  EXPECT_EQ(read_text_file(newpath + "/store.idx").substr(80, 10), std::string("\nbob\tlrs\t\0", 10));
  ASSERT_EQ(mailbox_rename_commit(&m_, nm), 0);
  mailbox bob;
  ASSERT_EQ(mailbox_open_path("user/bob", 0, "primary", newpath.c_str(), nullptr, "", nullptr, &bob), 0);
  EXPECT_STREQ(bob.acl, "bob\tlrs\t");
  EXPECT_EQ(bob.mbd.exists, 1u);
  mailbox_close(&bob);
}

TEST_F(Mailbox, DeleteRemovesFilesAndDirectories) {
  std::string msgroot = dir_.path() + "/msgs/user/ann";
  ASSERT_EQ(mailbox_create("user/ann", "primary", path_.c_str(), msgroot.c_str(), "", MBOX_VERSION, &m_, 0), 0);
  fill(3);
  write_text_file(path_ + "/store.usr", "x");
  EXPECT_EQ(mailbox_delete(&m_, 0), 0);
  EXPECT_EQ(m_.index_fd, -1);
  EXPECT_EQ(access(path_.c_str(), F_OK), -1);
  EXPECT_EQ(access(msgroot.c_str(), F_OK), -1);
  // The empty levels below the partition go; the partition itself stays.
  EXPECT_EQ(access((dir_.path() + "/part/a").c_str(), F_OK), -1);
  EXPECT_EQ(access((dir_.path() + "/part").c_str(), F_OK), 0);
  mailbox_close(&m_);  // closing twice is harmless
}

// ---- Opening by name, through the mailbox list ------------------------------------------

class MailboxList : public Mailbox {
 protected:
  void SetUp() override {
    Mailbox::SetUp();
    (void)mailbox_set_listops(real_ops_);
    ASSERT_EQ(mboxlist_createmailbox("user/ann", MBOX_VERSION, nullptr, nullptr, auth_dontCheckAcl, 1000, 50, 0), 0);
    ASSERT_EQ(mboxlist_createmailbox("user/ann/x", MBOX_VERSION, nullptr, nullptr, auth_dontCheckAcl, 0, 0, 0), 0);
    char* p = nullptr;
    ASSERT_EQ(mboxlist_lookup("user/ann/x", nullptr, nullptr, &p, nullptr, nullptr), 0);
    xpath_ = p;
    free(p);
  }
  std::string xpath_;
};

TEST_F(MailboxList, OpenByNameAndLazyOpen) {
  ASSERT_EQ(mailbox_open("user/ann/x", 0, auth_dontCheckAcl, &m_), 0);
  EXPECT_EQ(m_.path, xpath_);
  EXPECT_EQ(m_.myrights, 0x1ff);
  ASSERT_EQ(append_message(&m_, 1, message_text(1)), 0);
  ASSERT_EQ(mailbox_listupdate(&m_, 0), 0);
  mailbox_close(&m_);
  mboxdata mbd;
  ASSERT_EQ(mboxlist_lookup("user/ann/x", &mbd, nullptr, nullptr, nullptr, nullptr), 0);
  EXPECT_EQ(mbd.exists, 1u);
  // Lazy: an empty folder is not opened at all.
  ASSERT_EQ(mailbox_open("user/ann", MAILBOX_OPEN_LAZY, auth_dontCheckAcl, &m_), 0);
  EXPECT_EQ(m_.index_fd, -1);
  mailbox_close(&m_);
  EXPECT_EQ(mailbox_open("user/ann/none", 0, auth_dontCheckAcl, &m_), IMAP_MAILBOX_NONEXISTENT);
  EXPECT_EQ(m_.name, nullptr);
}

TEST_F(MailboxList, ReadAclTakesTheListsAcl) {
  ASSERT_EQ(mailbox_open("user/ann/x", 0, nullptr, &m_), 0);
  EXPECT_EQ(m_.myrights, 0);  // no user: no rights
  free(m_.acl);
  m_.acl = strdup("");
  auth_state* ann = nullptr;
  ASSERT_EQ(auth_newstate("ann", nullptr, &ann), 0);
  ASSERT_EQ(mailbox_read_acl(&m_, ann), 0);
  EXPECT_NE(std::string(m_.acl).find("ann\t"), std::string::npos);
  EXPECT_EQ(m_.myrights, 0x1ff);
  auth_freestate(ann);
}

TEST_F(MailboxList, MissingIndexIsMadeAgain) {
  ASSERT_EQ(unlink((xpath_ + "/store.idx").c_str()), 0);
  ASSERT_EQ(mailbox_open("user/ann/x", 0, auth_dontCheckAcl, &m_), 0);
  EXPECT_GE(m_.index_fd, 0);
  EXPECT_EQ(file_size(xpath_ + "/store.idx"), 7856);
}

// A folder made without a flush (a restore does so) whose index a crash
// kept from the disk: an index shorter than its header, in a folder whose
// record shows it never held a message, is made again, empty.  Once the
// folder has held a message the same damage is an error, for the check
// tool: its messages may be behind it.
TEST_F(MailboxList, ShortIndexOfAFolderThatNeverHeldMailIsMadeAgain) {
  // A UID validity of long ago, as a restore gives the folders it makes.
  ASSERT_EQ(mboxlist_createmailbox("user/ann/y", MBOX_VERSION, nullptr, nullptr, auth_dontCheckAcl, 0, 0, 12345), 0);
  char* p = nullptr;
  ASSERT_EQ(mboxlist_lookup("user/ann/y", nullptr, nullptr, &p, nullptr, nullptr), 0);
  const std::string idx = std::string(p) + "/store.idx";
  free(p);
  for (off_t size : {0, 40}) {
    ASSERT_EQ(truncate(idx.c_str(), size), 0);
    testing::internal::CaptureStderr();
    ASSERT_EQ(mailbox_open("user/ann/y", 0, auth_dontCheckAcl, &m_), 0) << size;
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("Folder user/ann/y had lost its index; made again, empty"), std::string::npos) << err;
    EXPECT_EQ(file_size(idx), 7856);
    // Kept: what a restore saved for the folder still matches it.
    EXPECT_EQ(m_.mbd.uid_validity, 12345u);
    mailbox_close(&m_);
  }
  ASSERT_EQ(mailbox_open("user/ann/y", 0, auth_dontCheckAcl, &m_), 0);
  ASSERT_EQ(append_message(&m_, 1, message_text(1)), 0);
  ASSERT_EQ(mailbox_listupdate(&m_, 0), 0);
  mailbox_close(&m_);
  ASSERT_EQ(truncate(idx.c_str(), 0), 0);
  testing::internal::CaptureStderr();
  EXPECT_EQ(mailbox_open("user/ann/y", 0, auth_dontCheckAcl, &m_), IMAP_MAILBOX_BADFORMAT);
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(file_size(idx), 0);
}

TEST_F(MailboxList, FolderMissingFromTheListIsPutBack) {
  ASSERT_EQ(mailbox_open("user/ann/x", 0, auth_dontCheckAcl, &m_), 0);
  ASSERT_EQ(append_message(&m_, 1, message_text(1)), 0);
  std::string acl = m_.acl;
  mailbox_close(&m_);
  ASSERT_EQ(mboxlist_delete("user/ann/x"), 0);
  ASSERT_EQ(mboxlist_lookup("user/ann/x", nullptr, nullptr, nullptr, nullptr, nullptr), IMAP_MAILBOX_NONEXISTENT);
  testing::internal::CaptureStderr();
  ASSERT_EQ(mailbox_open("user/ann/x", 0, auth_dontCheckAcl, &m_), 0);
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(m_.mbd.exists, 1u);
  EXPECT_EQ(std::string(m_.acl), acl);
  mboxdata mbd;
  char* listacl = nullptr;
  ASSERT_EQ(mboxlist_lookup("user/ann/x", &mbd, nullptr, nullptr, nullptr, &listacl), 0);
  EXPECT_EQ(mbd.exists, 1u);
  EXPECT_EQ(std::string(listacl), acl);
  free(listacl);
}

// ---- Older format ----------------------------------------------------------------------------------

TEST_F(Mailbox, ConvertsAGeneratedOlderFormatFolder) {
  // Build a 257-format folder by hand: header, variable header, 68-byte
  // records, and store.cch whose first word repeats cache_offset.
  ASSERT_EQ(make_dirs(path_.c_str(), 0777), 0);
  const uint32_t n = 6, start = 256, magic = 0x5a5a;
  std::string cch(4, '\0');
  put32_at(cch, 0, magic);
  std::vector<uint32_t> offs;
  for (uint32_t i = 1; i <= n; ++i) {
    offs.push_back(static_cast<uint32_t>(cch.size()));
    for (uint32_t item = 0; item < 11; ++item) {
      std::string data = "item" + std::to_string(item) + "-msg" + std::to_string(i);
      if (item == CACHE_HEADER) data = "Subject: " + std::to_string(i) + "\r\n\r\n";
      std::string len(4, '\0');
      put_be32(reinterpret_cast<unsigned char*>(len.data()), static_cast<uint32_t>(data.size()));
      cch += len + data + std::string((4 - data.size() % 4) % 4, '\0');
    }
  }
  std::string f(start + 68 * n, '\0');
  put32_at(f, 0, 0x101);
  put32_at(f, 4, n);
  put32_at(f, 20, n);
  put32_at(f, 28, 1);
  put32_at(f, 44, 777);  // uid_validity
  put32_at(f, 60, magic);
  put32_at(f, 64, start);
  std::string vh = std::string("seen\0", 5) + "\n" + "ann\tlrs\t" + '\0';
  f.replace(80, vh.size(), vh);
  uint64_t qused = 0;
  for (uint32_t i = 1; i <= n; ++i) {
    size_t r = start + 68 * (i - 1);
    std::string text = "Subject: " + std::to_string(i) + "\r\n\r\nbody\r\n";
    put32_at(f, r, i);                                            // uid
    put32_at(f, r + 4, 1600000000 + i);                           // internaldate
    put32_at(f, r + 28, static_cast<uint32_t>(text.size()));      // size
    put32_at(f, r + 32, static_cast<uint32_t>(text.size() - 6));  // header_size
    put32_at(f, r + 40, offs[i - 1]);                             // cache_offset in store.cch
    put32_at(f, r + 56, 1);                                       // user flag 0
    qused += text.size();
    char rel[MAILBOX_FNAME_LEN];
    mailbox_message_fname(nullptr, i, rel);
    ASSERT_EQ(make_dirs((path_ + "/00").c_str(), 0777), 0);
    write_text_file(path_ + "/" + rel, text);
  }
  put32_at(f, 12, static_cast<uint32_t>(qused));
  put32_at(f, 32, static_cast<uint32_t>(qused));
  write_text_file(idx(), f);
  write_text_file(path_ + "/store.cch", cch);

  ASSERT_EQ(reopen(), 0);
  EXPECT_EQ(m_.mbd.version, 0x102u);
  EXPECT_EQ(m_.hdr.cache_offset, start + 76 * n + 7600);
  EXPECT_EQ(access((path_ + "/store.cch").c_str(), F_OK), -1);
  EXPECT_STREQ(m_.flagname[0], "seen");
  EXPECT_STREQ(m_.acl, "ann\tlrs\t");
  for (uint32_t i = 1; i <= n; ++i) {
    index_record r;
    ASSERT_EQ(mailbox_read_index_record(&m_, i, &r), 0);
    EXPECT_EQ(r.uid, i);
    EXPECT_EQ(r.orig_uid, i);
    EXPECT_EQ(r.orig_uidvalidity, 777u);
    EXPECT_EQ(r.user_flags[0], 1u);
    for (int item = 0; item < 11; ++item) {
      const unsigned char* p = mailbox_cache_item(m_.index_map, "user/ann", i, item);
      ASSERT_NE(p, nullptr);
      std::string want = item == CACHE_HEADER ? "Subject: " + std::to_string(i) + "\r\n\r\n"
                                              : "item" + std::to_string(item) + "-msg" + std::to_string(i);
      EXPECT_EQ(std::string(reinterpret_cast<const char*>(p) + 4, get_be32(p)), want);
    }
  }
  auto problems = check();
  EXPECT_TRUE(problems.empty()) << problems[0];
  // A store.cch that belongs to another index is refused.
}

TEST_F(Mailbox, OlderFormatWithForeignCacheFileIsRefused) {
  ASSERT_EQ(make_dirs(path_.c_str(), 0777), 0);
  std::string f(256, '\0');
  put32_at(f, 0, 0x101);
  put32_at(f, 60, 42);
  put32_at(f, 64, 256);
  f[80] = '\n';
  write_text_file(idx(), f);
  write_text_file(path_ + "/store.cch", std::string("\x2b\0\0\0", 4));
  testing::internal::CaptureStderr();
  EXPECT_EQ(reopen(), IMAP_MAILBOX_BADFORMAT);
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(read_text_file(idx()), f);
}

// ---- Sync levels ----------------------------------------------------------------------------------------

TEST(MailboxConfig, SyncLevels) {
  ASSERT_EQ(configmsg_init_text("local.store.synclevel = 3\nlocal.store.expungesynclevel = 0\n", "t", "t"), 0);
  mailbox_reloadconfig();
  EXPECT_EQ(mailbox_sync().index, 3);
  EXPECT_EQ(mailbox_sync().subscribe, 3);
  EXPECT_EQ(mailbox_sync().expunge, 0);
  ASSERT_EQ(configmsg_init_text("local.store.cachesynclevel = 2\n", "t", "t"), 0);
  mailbox_reloadconfig();
  EXPECT_EQ(mailbox_sync().index, 3);  // unset keys keep the current value
  EXPECT_EQ(mailbox_sync().cache, 2);
  configmsg_free();
}

}  // namespace
