#include "store/mboxlist.h"

#include <db.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/acl.h"
#include "common/auth.h"
#include "common/bvlog.h"
#include "common/config.h"
#include "common/imap_err.h"
#include "common/service.h"
#include "common/test_util.h"
#include "store/folder_record.h"
#include "store/mboxlist_internal.h"
#include "store/mboxname.h"
#include "store/quota_record.h"

namespace {

namespace fs = std::filesystem;

// ---- Record layouts, checked against hand-built bytes ------------------------

std::string le32(uint32_t v) {
  std::string s(4, '\0');
  for (int i = 0; i < 4; ++i) s[i] = static_cast<char>(v >> (8 * i));
  return s;
}

std::string folder_bytes(uint32_t version, uint32_t exists, uint64_t qused, const std::string& part,
                         const std::string& acl) {
  std::string s = le32(version) + le32(exists);
  for (int i = 2; i < 8; ++i) s += le32(0x100 + i);
  s += le32(static_cast<uint32_t>(qused)) + le32(static_cast<uint32_t>(qused >> 32));
  for (int i = 10; i < 15; ++i) s += le32(0x100 + i);
  return s + part + std::string(1, '\0') + acl + std::string(1, '\0');
}

TEST(FolderRecord, EncodesTheDocumentedLayout) {
  mboxdata m;
  m.version = 0x102;
  m.exists = 7;
  m.flags = 0x102;
  m.largest_msg = 0x103;
  m.last_append = 0x104;
  m.last_uid = 0x105;
  m.oldest_msg = 0x106;
  m.oldest_uid = 0x107;
  m.qused = 0x1'0000'0002ULL;
  m.date_first_expunged = 0x10a;
  m.uid_validity = 0x10b;
  m.trigger = 0x10c;
  m.unused2 = 0x10d;
  m.unused3 = 0x10e;
  std::string want = folder_bytes(0x102, 7, 0x1'0000'0002ULL, "primary", "joe\tlrswipcda\t");
  EXPECT_EQ(folder_record_encode(m, "primary", "joe\tlrswipcda\t"), want);
  folder_record rec;
  ASSERT_EQ(folder_record_decode(want.data(), want.size(), &rec), 0);
  EXPECT_EQ(rec.mbd.qused, 0x1'0000'0002ULL);
  EXPECT_EQ(rec.mbd.uid_validity, 0x10bu);
  EXPECT_EQ(rec.partition, "primary");
  EXPECT_EQ(rec.acl, "joe\tlrswipcda\t");
}

TEST(FolderRecord, CorruptRecordsAreRefused) {
  std::string good = folder_bytes(0x102, 0, 0, "p", "a\tl\t");
  folder_record rec;
  // Truncated at every length: only the whole record decodes.
  for (size_t n = 0; n < good.size(); ++n) {
    EXPECT_EQ(folder_record_decode(good.data(), n, &rec), IMAP_MAILBOX_BADFORMAT) << n;
  }
  // A partition without its NUL within 71 bytes.
  std::string longpart = folder_bytes(0x102, 0, 0, std::string(71, 'p'), "");
  EXPECT_EQ(folder_record_decode(longpart.data(), longpart.size(), &rec), IMAP_MAILBOX_BADFORMAT);
  std::string maxpart = folder_bytes(0x102, 0, 0, std::string(70, 'p'), "");
  EXPECT_EQ(folder_record_decode(maxpart.data(), maxpart.size(), &rec), 0);
  // The ACL's NUL flipped.
  std::string flipped = good;
  flipped.back() = 'x';
  EXPECT_EQ(folder_record_decode(flipped.data(), flipped.size(), &rec), IMAP_MAILBOX_BADFORMAT);
}

TEST(QuotaRecord, LayoutAndShortRecords) {
  std::string bytes;
  for (uint32_t w : {1000u, 5u, 1u, 3u, 4u, 5u, 6u, 7u, 2u, 10u, 9u, 11u, 12u, 13u}) bytes += le32(w);
  ASSERT_EQ(bytes.size(), QUOTA_RECORD_SIZE);
  auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  quotadata q = quota_record_decode(p, bytes.size());
  EXPECT_EQ(q.qmax, 1000u);
  EXPECT_EQ(q.qrused, (uint64_t(1) << 32) | 5u);
  EXPECT_EQ(q.numshared, 2u);
  EXPECT_EQ(q.msgqmax, 10u);
  EXPECT_EQ(q.lastdbrepair, 13u);
  unsigned char out[QUOTA_RECORD_SIZE];
  quota_record_encode(q, out);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(out), sizeof out), bytes);
  // An older record without the message limit reads as unlimited.
  quotadata old = quota_record_decode(p, 36);
  EXPECT_EQ(old.msgqmax, QUOTA_UNLIMITED);
  EXPECT_EQ(old.qmax, 1000u);
  EXPECT_EQ(old.msgqrused, 0u);
}

TEST(Rights, LookupRightOfExactlyThatIdentifier) {
  const char* acl = "anyone\tr\tjoe\tlrs\tjoey\tr\t-bob\tl\t";
  EXPECT_EQ(acl_lookup_right("joe", acl), 1);
  EXPECT_EQ(acl_lookup_right("joey", acl), 0);
  EXPECT_EQ(acl_lookup_right("jo", acl), 0);
  EXPECT_EQ(acl_lookup_right("bob", acl), 0);
  EXPECT_EQ(acl_lookup_right("anyone", acl), 0);
  EXPECT_EQ(acl_lookup_right("joe", "joe\tlrs"), 1);  // no final TAB
}

// ---- A store on disk ---------------------------------------------------------------

class Folders : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string conf = "local.store.dir = " + dir_.path() + "/store\n" + "store.partition.primary.path = " +
                       dir_.path() + "/p1\n" + "store.partition.second.path = " + dir_.path() + "/p2\n" +
                       "store.admins = admin\nlocal.log.target = stderr\n" + extra_conf();
    ASSERT_EQ(configmsg_init_text(conf, "test", "folderstest"), 0);
    bvlog_to_stderr(LOG_SEV_CRIT);
  }
  virtual std::string extra_conf() { return ""; }
  void start() { ASSERT_EQ(mboxlist_recover(), 0); }
  void TearDown() override {
    mboxlist_close();
    configmsg_free();
    bvlog_to_stderr(LOG_SEV_DEBUG);
  }
  static auth_state* user(const char* id) {
    auth_state* s = nullptr;
    EXPECT_EQ(auth_newstate(id, nullptr, &s), 0);
    return s;
  }
  std::string raw(DB* db, const std::string& key) {
    std::string k = key;
    DbKey dk(k.data(), k.size());
    DBT data{};
    data.flags = DB_DBT_MALLOC;
    if (db->get(db, nullptr, dk.dbt(), &data, 0) != 0) return "<none>";
    std::string s(static_cast<char*>(data.data), data.size);
    free(data.data);
    return s;
  }
  std::string acl_of(const char* name) {
    char* acl = nullptr;
    if (mboxlist_lookup(name, nullptr, nullptr, nullptr, nullptr, &acl) != 0) return "<none>";
    std::string s = acl;
    free(acl);
    return s;
  }
  std::string partition_of(const char* name) {
    char* p = nullptr;
    if (mboxlist_lookup(name, nullptr, &p, nullptr, nullptr, nullptr) != 0) return "<none>";
    std::string s = p;
    free(p);
    return s;
  }
  bool exists(const char* name) { return mboxlist_lookup_data(name, nullptr, nullptr) == 0; }
  int create(const char* name, const auth_state* who = auth_dontCheckAcl, const char* part = nullptr) {
    return mboxlist_createmailbox(name, MBOX_VERSION, part, nullptr, who, QUOTA_UNLIMITED, QUOTA_UNLIMITED, 0);
  }
  TempDir dir_;
};

std::string nul(const char* s) { return std::string(s, strlen(s) + 1); }

TEST_F(Folders, CreatingAnInboxWritesItsRecordQuotaAndMarker) {
  start();
  ASSERT_EQ(mboxlist_createmailbox("user/joe", MBOX_VERSION, nullptr, nullptr, auth_dontCheckAcl, 1000, 50, 77), 0);
  std::string rec = raw(mboxlist_folderdb(), nul("user/joe"));
  ASSERT_GE(rec.size(), 60u);
  EXPECT_EQ(rec.substr(0, 4), le32(0x102));
  EXPECT_EQ(rec.substr(44, 4), le32(77));  // uid_validity
  EXPECT_EQ(rec.substr(60), nul("primary") + nul("joe\tlrswipcda\t"));
  std::string q = raw(mboxlist_quotadb(), nul("user/joe"));
  ASSERT_EQ(q.size(), 56u);
  EXPECT_EQ(q.substr(0, 4), le32(1000));
  EXPECT_EQ(q.substr(4, 8), std::string(8, '\0'));
  EXPECT_EQ(q.substr(36, 4), le32(50));
  EXPECT_EQ(raw(mboxlist_subsdb(), nul("user/joe")).size(), 4u);
  EXPECT_TRUE(fs::exists(dir_.path() + "/p1"));
  char* path = nullptr;
  ASSERT_EQ(mboxlist_lookup("user/joe", nullptr, nullptr, &path, nullptr, nullptr), 0);
  EXPECT_TRUE(fs::exists(std::string(path) + "/store.idx"));
  EXPECT_EQ(std::string(path).rfind(dir_.path() + "/p1/", 0), 0u) << path;
  free(path);
}

TEST_F(Folders, CreationChecks) {
  start();
  ASSERT_EQ(create("user/joe"), 0);
  AuthStatePtr joe(user("joe")), bob(user("bob")), admin(user("admin"));
  const std::string longpart(71, 'p');
  struct Case {
    const char* name;
    const auth_state* who;
    const char* userid;
    const char* partition;
    int want;
  } cases[] = {
      {"user/ann/a", auth_dontCheckAcl, nullptr, nullptr, IMAP_PERMISSION_DENIED},  // no INBOX, even for admin
      {"user/joe", admin.get(), nullptr, nullptr, IMAP_MAILBOX_EXISTS},
      {"user/joe", bob.get(), "bob", nullptr, IMAP_PERMISSION_DENIED},            // may not learn it exists
      {"user/joe/x", bob.get(), "bob", nullptr, IMAP_PERMISSION_DENIED},          // no create right
      {"user/joe/x", joe.get(), "joe", "second", IMAP_PERMISSION_DENIED},         // only admins name partitions
      {"public/top", admin.get(), nullptr, nullptr, 0},                           // checked only, not made
      {"public/x", bob.get(), "bob", nullptr, IMAP_PERMISSION_DENIED},
      {"user/joe/y", joe.get(), "joe", nullptr, 0},
      {"user/joe/z", auth_dontCheckAcl, nullptr, longpart.c_str(), IMAP_PARTITION_UNKNOWN},
  };
  for (const Case& c : cases) {
    char* acl = nullptr;
    char* part = nullptr;
    int r = mboxlist_createmailboxcheck(c.name, MBOX_VERSION, c.partition, c.userid, c.who, &acl, &part);
    EXPECT_EQ(r, c.want) << c.name << " by " << (c.userid ? c.userid : "-") << ": " << error_message(r);
    free(acl);
    free(part);
  }
  EXPECT_EQ(mboxlist_createmailboxcheck("user/joe/q", 0x999, nullptr, nullptr, auth_dontCheckAcl, nullptr, nullptr),
            IMAP_MAILBOX_NOTSUPPORTED);
}

TEST_F(Folders, SubfoldersInheritAclAndPartitionSharedFoldersGetTheDefault) {
  start();
  ASSERT_EQ(create("user/joe", auth_dontCheckAcl, "second"), 0);
  ASSERT_EQ(mboxlist_setacl("user/joe", "bob", "lr", nullptr, auth_dontCheckAcl), 0);
  ASSERT_EQ(create("user/joe/a/b"), 0);
  EXPECT_EQ(acl_of("user/joe/a/b"), acl_of("user/joe"));
  EXPECT_EQ(partition_of("user/joe/a/b"), "second");
  EXPECT_FALSE(exists("user/joe/a"));
  ASSERT_EQ(create("public/top"), 0);
  EXPECT_EQ(acl_of("public/top"), "anyone\tlrs\t");
  EXPECT_EQ(partition_of("public/top"), "primary");
  // Files left without a record are taken over by the next creation.
  ASSERT_EQ(mboxlist_delete("user/joe/a/b"), 0);
  EXPECT_FALSE(exists("user/joe/a/b"));
  int r = create("user/joe/a/b");
  EXPECT_TRUE(r == 0 || r == IMAP_MAILBOX_EXISTS) << error_message(r);
  EXPECT_TRUE(exists("user/joe/a/b"));
}

TEST_F(Folders, PermissionAnswersHideFoldersFromStrangers) {
  start();
  ASSERT_EQ(create("user/joe"), 0);
  ASSERT_EQ(create("user/joe/x"), 0);
  ASSERT_EQ(create("user/joe/seen"), 0);
  ASSERT_EQ(mboxlist_setacl("user/joe/seen", "bob", "lr", nullptr, auth_dontCheckAcl), 0);
  AuthStatePtr bob(user("bob"));
  // No lookup right: the folder does not exist as far as bob knows.
  EXPECT_EQ(mboxlist_deletemailbox("user/joe/x", "bob", bob.get()), IMAP_MAILBOX_NONEXISTENT);
  EXPECT_EQ(mboxlist_renamemailbox("user/joe/x", "user/joe/y", nullptr, "bob", bob.get()), IMAP_MAILBOX_NONEXISTENT);
  EXPECT_EQ(mboxlist_setacl("user/joe/x", "bob", "lrswipcda", "bob", bob.get()), IMAP_MAILBOX_NONEXISTENT);
  // With lookup but without the rights needed: refused, existence known.
  EXPECT_EQ(mboxlist_deletemailbox("user/joe/seen", "bob", bob.get()), IMAP_PERMISSION_DENIED);
  EXPECT_EQ(mboxlist_renamemailbox("user/joe/seen", "user/joe/y", nullptr, "bob", bob.get()),
            IMAP_PERMISSION_DENIED);
  EXPECT_EQ(mboxlist_setacl("user/joe/seen", "bob", "lrswipcda", "bob", bob.get()), IMAP_PERMISSION_DENIED);
  EXPECT_TRUE(exists("user/joe/x"));
  EXPECT_EQ(acl_of("user/joe/seen"), "joe\tlrswipcda\tbob\tlr\t");
  // A user may not delete his own INBOX.
  AuthStatePtr joe(user("joe"));
  EXPECT_EQ(mboxlist_deletemailbox("user/joe", "joe", joe.get()), IMAP_MAILBOX_NOTSUPPORTED);
}

TEST_F(Folders, OwnerKeepsHisRightsWhateverTheAclChange) {
  start();
  ASSERT_EQ(create("user/joe"), 0);
  ASSERT_EQ(create("user/joe/x"), 0);
  ASSERT_EQ(mboxlist_setacl("user/joe/x", "joe", nullptr, nullptr, auth_dontCheckAcl), 0);
  EXPECT_EQ(acl_of("user/joe/x"), "joe\tlca\t");
  ASSERT_EQ(mboxlist_setacl("user/joe/x", "joe", "-lrca", nullptr, auth_dontCheckAcl), 0);
  EXPECT_EQ(acl_of("user/joe/x"), "joe\tlca\t");
  ASSERT_EQ(mboxlist_setacl("user/joe/x", "joe", "+r", nullptr, auth_dontCheckAcl), 0);
  EXPECT_EQ(acl_of("user/joe/x"), "joe\tlrca\t");
  // Someone else's rights are not protected; a rejected identifier changes
  // nothing.
  ASSERT_EQ(mboxlist_setacl("user/joe/x", "joey", "lr", nullptr, auth_dontCheckAcl), 0);
  ASSERT_EQ(mboxlist_setacl("user/joe/x", "joey", nullptr, nullptr, auth_dontCheckAcl), 0);
  EXPECT_EQ(acl_of("user/joe/x"), "joe\tlrca\t");
  EXPECT_EQ(mboxlist_setacl("user/joe/x", "bad/id", "lr", nullptr, auth_dontCheckAcl), IMAP_INVALID_IDENTIFIER);
  EXPECT_EQ(mboxlist_ensureOwnerRights("user/joe/x", "joe", 0), ACL_LOOKUP | ACL_CREATE | ACL_ADMIN);
  EXPECT_EQ(mboxlist_ensureOwnerRights("user/joey/x", "joe", 0), 0);
  EXPECT_EQ(mboxlist_ensureOwnerRights("user/joe", "joe", ACL_READ), ACL_READ | 0x141);
}

TEST_F(Folders, DeletingAUserRemovesEverythingOfHisAndNothingElse) {
  start();
  for (const char* n : {"user/joe", "user/joe/a", "user/joe/a/b", "user/joe/c", "user/joex", "user/joe.x"}) {
    ASSERT_EQ(create(n), 0) << n;
  }
  // Subscriptions: joe's marker and one subscription, and joex's marker.
  DB* subs = mboxlist_subsdb();
  for (const std::string& k : {nul("joe"), nul("joe") + nul("user/joe/a"), nul("joex")}) {
    std::string kk = k;
    DbKey key(kk.data(), kk.size());
    DBT data{};
    ASSERT_EQ(subs->put(subs, nullptr, key.dbt(), &data, DB_AUTO_COMMIT), 0);
  }
  char* path = nullptr;
  ASSERT_EQ(mboxlist_lookup("user/joe/a/b", nullptr, nullptr, &path, nullptr, nullptr), 0);
  std::string subpath = path;
  free(path);
  ASSERT_EQ(mboxlist_deletemailbox("user/joe", nullptr, auth_dontCheckAcl), 0);
  for (const char* n : {"user/joe", "user/joe/a", "user/joe/a/b", "user/joe/c"}) EXPECT_FALSE(exists(n)) << n;
  EXPECT_TRUE(exists("user/joex"));
  EXPECT_TRUE(exists("user/joe.x"));
  EXPECT_EQ(raw(mboxlist_quotadb(), nul("user/joe")), "<none>");
  EXPECT_NE(raw(mboxlist_quotadb(), nul("user/joex")), "<none>");
  EXPECT_EQ(raw(subs, nul("joe")), "<none>");
  EXPECT_EQ(raw(subs, nul("joe") + nul("user/joe/a")), "<none>");
  EXPECT_EQ(raw(subs, nul("user/joe")), "<none>");
  EXPECT_NE(raw(subs, nul("joex")), "<none>");
  EXPECT_FALSE(fs::exists(subpath));
  EXPECT_EQ(mboxlist_deletemailbox("user/joe", nullptr, auth_dontCheckAcl), IMAP_MAILBOX_NONEXISTENT);
}

TEST_F(Folders, RenamingATreeMovesItsSubfoldersOnly) {
  start();
  ASSERT_EQ(create("user/joe"), 0);
  for (const char* n : {"user/joe/a", "user/joe/a/x", "user/joe/a/x/y", "user/joe/a.b", "user/joe/ab"}) {
    ASSERT_EQ(create(n), 0) << n;
  }
  ASSERT_EQ(mboxlist_renamemailbox("user/joe/a", "user/joe/b", nullptr, nullptr, auth_dontCheckAcl), 0);
  for (const char* n : {"user/joe/b", "user/joe/b/x", "user/joe/b/x/y", "user/joe/a.b", "user/joe/ab"}) {
    EXPECT_TRUE(exists(n)) << n;
  }
  for (const char* n : {"user/joe/a", "user/joe/a/x", "user/joe/a/x/y"}) EXPECT_FALSE(exists(n)) << n;
  // A resulting name over 256 bytes refuses the whole rename: the parent
  // would fit, its subfolder would not.
  std::string longname = "user/joe/" + std::string(256 - 9 - 2, 'n');
  ASSERT_EQ(longname.size(), 254u);
  EXPECT_EQ(mboxlist_renamemailbox("user/joe/b", longname.c_str(), nullptr, nullptr, auth_dontCheckAcl),
            IMAP_MAILBOX_BADNAME);
  for (const char* n : {"user/joe/b", "user/joe/b/x", "user/joe/b/x/y"}) EXPECT_TRUE(exists(n)) << n;
  EXPECT_FALSE(exists(longname.c_str()));
  EXPECT_EQ(mboxlist_renamemailbox("user/joe/zz", "user/joe/q", nullptr, nullptr, auth_dontCheckAcl),
            IMAP_MAILBOX_NONEXISTENT);
}

TEST_F(Folders, RenamingAUserMovesQuotaAclAndFolders) {
  start();
  ASSERT_EQ(mboxlist_createmailbox("user/joe", MBOX_VERSION, nullptr, nullptr, auth_dontCheckAcl, 500, 9, 0), 0);
  ASSERT_EQ(create("user/joe/x"), 0);
  ASSERT_EQ(create("user/bob"), 0);
  EXPECT_EQ(mboxlist_renamemailbox("user/joe", "user/bob", nullptr, nullptr, auth_dontCheckAcl), IMAP_MAILBOX_EXISTS);
  ASSERT_EQ(mboxlist_renamemailbox("user/joe", "user/ann", nullptr, nullptr, auth_dontCheckAcl), 0);
  EXPECT_FALSE(exists("user/joe"));
  EXPECT_FALSE(exists("user/joe/x"));
  EXPECT_EQ(acl_of("user/ann"), "ann\tlrswipcda\t");
  EXPECT_EQ(acl_of("user/ann/x"), "ann\tlrswipcda\t");
  quotadata qd;
  ASSERT_EQ(mboxlist_lookup_quota("user/ann", &qd, nullptr), 0);
  EXPECT_EQ(qd.qmax, 500u);
  EXPECT_EQ(qd.msgqmax, 9u);
  EXPECT_EQ(mboxlist_lookup_quota("user/joe", &qd, nullptr), DB_NOTFOUND);
}

TEST_F(Folders, MovingToAnotherPartition) {
  start();
  ASSERT_EQ(create("user/joe"), 0);
  ASSERT_EQ(create("user/joe/x"), 0);
  AuthStatePtr joe(user("joe"));
  EXPECT_EQ(mboxlist_renamemailbox("user/joe/x", "user/joe/x", "second", "joe", joe.get()), IMAP_MAILBOX_EXISTS);
  EXPECT_EQ(mboxlist_renamemailbox("user/joe/x", "user/joe/x", "nowhere", nullptr, auth_dontCheckAcl),
            IMAP_PARTITION_UNKNOWN);
  EXPECT_EQ(mboxlist_renamemailbox("user/joe/x", "user/joe/x", "primary", nullptr, auth_dontCheckAcl), 0);
  ASSERT_EQ(mboxlist_renamemailbox("user/joe/x", "user/joe/x", "second", nullptr, auth_dontCheckAcl), 0);
  EXPECT_EQ(partition_of("user/joe/x"), "second");
  char* path = nullptr;
  ASSERT_EQ(mboxlist_lookup("user/joe/x", nullptr, nullptr, &path, nullptr, nullptr), 0);
  EXPECT_EQ(std::string(path).rfind(dir_.path() + "/p2/", 0), 0u) << path;
  EXPECT_TRUE(fs::exists(std::string(path) + "/store.idx"));
  free(path);
}

TEST_F(Folders, QuotaUsageNeverGoesBelowZero) {
  start();
  ASSERT_EQ(mboxlist_createmailbox("user/joe", MBOX_VERSION, nullptr, nullptr, auth_dontCheckAcl, 1000, 10, 0), 0);
  quotadata qd;
  ASSERT_EQ(mboxlist_in_txn("t", "user/joe",
                            [](DB_TXN* txn) { return mboxlist_changequota_internal("user/joe/x", 300, 2, 0, txn, nullptr); }),
            0);
  ASSERT_EQ(mboxlist_in_txn("t", "user/joe",
                            [](DB_TXN* txn) { return mboxlist_changequota_internal("user/joe", 500, 3, 1, txn, nullptr); }),
            0);
  ASSERT_EQ(mboxlist_lookup_quota("user/joe", &qd, nullptr), 0);
  EXPECT_EQ(qd.qrused, 0u);
  EXPECT_EQ(qd.msgqrused, 0u);
  // 90 % of 1000 KB: the warning time is set at 900 * 1024 bytes.
  ASSERT_EQ(mboxlist_in_txn("t", "user/joe", [](DB_TXN* txn) {
              return mboxlist_changequota_internal("user/joe", 900 * 1024 - 1, 0, 0, txn, nullptr);
            }),
            0);
  ASSERT_EQ(mboxlist_lookup_quota("user/joe", &qd, nullptr), 0);
  EXPECT_EQ(qd.qwhen, 0u);
  ASSERT_EQ(mboxlist_in_txn("t", "user/joe",
                            [](DB_TXN* txn) { return mboxlist_changequota_internal("user/joe", 1, 0, 0, txn, nullptr); }),
            0);
  ASSERT_EQ(mboxlist_lookup_quota("user/joe", &qd, nullptr), 0);
  EXPECT_NE(qd.qwhen, 0u);
  EXPECT_EQ(mboxlist_setquota("user/nobody", 1, 1), IMAP_QUOTAROOT_NONEXISTENT);
  char root[MBOXNAME_BUF];
  EXPECT_EQ(mboxlist_quotaroot("public/a/b", root), 0);
  EXPECT_STREQ(root, "public/a");
  EXPECT_EQ(mboxlist_quotaroot("inbox", root), IMAP_QUOTAROOT_NONEXISTENT);
}

// Every file the store made lies under the store directory or a partition.
std::vector<std::string> strays(const std::string& top, const std::vector<std::string>& allowed) {
  std::vector<std::string> out;
  for (const auto& e : fs::recursive_directory_iterator(top)) {
    std::string p = e.path().string();
    bool ok = false;
    for (const auto& a : allowed) ok = ok || p == a || p.rfind(a + "/", 0) == 0;
    if (!ok) out.push_back(p);
  }
  return out;
}

TEST_F(Folders, HostileNamesNeverLeaveThePartition) {
  start();
  ASSERT_EQ(create("user/joe"), 0);
  const char* names[] = {
      "user/..",         "user/../..",      "user/joe/..",       "user/joe/../../../etc", "public/..",
      "public/../x",     "../x",            "/abs",              "user//x",               "user/joe/./x",
      "user/joe/a\\..",  "user/joe/%2e%2e", "user/joe/=..",      "user/joe/.",            "user/.hidden",
      "user/joe/x\n/..", "..",              "public/a/../../..", "user/joe/~/..",         ".",
  };
  for (const char* n : names) {
    int r = create(n);
    (void)r;
  }
  EXPECT_EQ(strays(dir_.path(), {dir_.path() + "/store", dir_.path() + "/p1", dir_.path() + "/p2"}),
            std::vector<std::string>{});
  // And nothing escaped the partition's own tree through '..' components.
  for (const auto& e : fs::recursive_directory_iterator(dir_.path() + "/p1")) {
    for (const auto& part : e.path()) EXPECT_NE(part.string(), "..") << e.path();
  }
}

// ---- Several processes -----------------------------------------------------------

// The parent plays the store daemon: it creates the environment only after
// the children are forked (Berkeley DB handles never cross a fork), then
// announces readiness; each child joins with mboxlist_init.
class FoldersMultiProcess : public Folders {
 protected:
  std::string extra_conf() override { return "local.store.deadlock.autodetect = on\n"; }
  template <class Child>
  void run(int nchildren, Child child) {
    std::vector<pid_t> pids;
    std::vector<int> gates;
    for (int i = 0; i < nchildren; ++i) {
      int p[2];
      ASSERT_EQ(pipe(p), 0);
      pid_t pid = fork();
      ASSERT_GE(pid, 0);
      if (pid == 0) {
        close(p[1]);
        char c;
        if (read(p[0], &c, 1) != 1) _exit(90);
        if (mboxlist_init() != 0) _exit(91);
        int status = child(i);
        mboxlist_close();
        _exit(status);
      }
      close(p[0]);
      pids.push_back(pid);
      gates.push_back(p[1]);
    }
    start();
    setup();
    int fd = service_announce("stored");
    ASSERT_GE(fd, 0);
    ASSERT_EQ(service_set_ready(fd), 0);
    for (int g : gates) {
      ASSERT_EQ(write(g, "g", 1), 1);  // both start at once
      close(g);
    }
    for (size_t i = 0; i < pids.size(); ++i) {
      int status = 0;
      ASSERT_EQ(waitpid(pids[i], &status, 0), pids[i]);
      ASSERT_TRUE(WIFEXITED(status));
      results.push_back(WEXITSTATUS(status));
    }
    service_withdraw("stored", fd);
  }
  virtual void setup() {}
  std::vector<int> results;
};

class SameFolderRace : public FoldersMultiProcess {
  void setup() override {
    int r = create("user/joe");
    ASSERT_TRUE(r == 0 || r == IMAP_MAILBOX_EXISTS) << error_message(r);
  }
};

TEST_F(SameFolderRace, OneCreatorWinsTheOtherSeesItExists) {
  for (int round = 0; round < 5; ++round) {
    results.clear();
    std::string name = "user/joe/race" + std::to_string(round);
    run(2, [&](int) {
      int r = create(name.c_str());
      return r == 0 ? 0 : r == IMAP_MAILBOX_EXISTS ? 1 : 2;
    });
    ASSERT_EQ(results.size(), 2u);
    EXPECT_EQ(results[0] + results[1], 1) << "one must win, one must see it exist: " << results[0] << results[1];
    char* path = nullptr;
    ASSERT_EQ(mboxlist_lookup(name.c_str(), nullptr, nullptr, &path, nullptr, nullptr), 0);
    EXPECT_EQ(fs::file_size(std::string(path) + "/store.idx"), 7856u);
    free(path);
    mboxlist_close();
  }
}

class WriterDeadlocks : public FoldersMultiProcess {
  void setup() override {
    ASSERT_EQ(mboxlist_createmailbox("user/a", MBOX_VERSION, nullptr, nullptr, auth_dontCheckAcl, 0, 0, 0), 0);
    ASSERT_EQ(mboxlist_createmailbox("user/b", MBOX_VERSION, nullptr, nullptr, auth_dontCheckAcl, 0, 0, 0), 0);
  }
};

TEST_F(WriterDeadlocks, RetriedTransactionsLoseNoUpdate) {
  constexpr int kRounds = 300;
  // Each writer updates both quota roots in one transaction, in opposite
  // orders, so their locks cross; the detector aborts one and the retry
  // loop repeats it.
  run(2, [](int i) {
    const char* first = i == 0 ? "user/a" : "user/b";
    const char* second = i == 0 ? "user/b" : "user/a";
    for (int n = 0; n < kRounds; ++n) {
      int r = mboxlist_in_txn("test", first, [&](DB_TXN* txn) {
        if (int e = mboxlist_changequota_internal(first, 1, 1, 0, txn, nullptr)) return e;
        sched_yield();
        return mboxlist_changequota_internal(second, 1, 1, 0, txn, nullptr);
      });
      if (r) return 3;
    }
    return 0;
  });
  EXPECT_EQ(results, (std::vector<int>{0, 0}));
  for (const char* root : {"user/a", "user/b"}) {
    quotadata qd;
    ASSERT_EQ(mboxlist_lookup_quota(root, &qd, nullptr), 0);
    EXPECT_EQ(qd.qrused, 2u * kRounds) << root;
    EXPECT_EQ(qd.msgqrused, 2u * kRounds) << root;
  }
}

}  // namespace

// ---- The creation lock and dead holders -----------------------------------------------

namespace {

// Waits up to 10 s for child; kills it when it has not ended.  Its exit
// status, or -1 when it had to be killed (it waited on a lock for ever).
int wait_bounded(pid_t child) {
  for (int i = 0; i < 200; ++i) {
    int status = 0;
    if (waitpid(child, &status, WNOHANG) == child) return WIFEXITED(status) ? WEXITSTATUS(status) : -2;
    usleep(50 * 1000);
  }
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  return -1;
}

// Takes a creation lock in a child process, which then ends with status 0,
// or is killed while holding it when die is set.
pid_t lock_in_child(const char* name1, const char* name2, int wholeuser, bool die) {
  pid_t pid = fork();
  if (pid == 0) {
    MboxlistCreateLock lock;
    if (lock.lock(name1, name2, wholeuser) != 0) _exit(1);
    if (die) raise(SIGKILL);
    _exit(0);
  }
  return pid;
}

}  // namespace

// A rename killed while it holds the whole-user locks of both users never
// blocks a later rename or creation in either user.
TEST_F(Folders, CreationLocksOfAKilledHolderAreReleased) {
  start();
  pid_t holder = lock_in_child("user/joe", "user/ann", 1, true);
  int status = 0;
  ASSERT_EQ(waitpid(holder, &status, 0), holder);
  ASSERT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(wait_bounded(lock_in_child("user/ann", "user/joe", 1, false)), 0) << "a rename waited on a dead one";
  EXPECT_EQ(wait_bounded(lock_in_child("user/joe/Sent", nullptr, 0, false)), 0) << "a creation waited on a dead rename";
}

// Read locks share, write locks exclude: two creations in one user go
// side by side, a whole-user operation waits for them.  (Every lock is held
// by a child: a child forked while its parent holds one would share the
// parent's lock file description, and with it the lock.)
TEST_F(Folders, CreationLockModes) {
  start();
  int go[2], held[2];
  ASSERT_EQ(pipe(go), 0);
  ASSERT_EQ(pipe(held), 0);
  pid_t creator = fork();
  if (creator == 0) {
    MboxlistCreateLock lock;
    if (lock.lock("user/joe/a", nullptr, 0) != 0) _exit(1);
    char c = 1;
    if (write(held[1], &c, 1) != 1 || read(go[0], &c, 1) != 1) _exit(2);
    _exit(0);
  }
  char c;
  ASSERT_EQ(read(held[0], &c, 1), 1);
  EXPECT_EQ(wait_bounded(lock_in_child("user/joe/b", nullptr, 0, false)), 0) << "two creations in a user exclude";
  pid_t whole = lock_in_child("user/joe", "user/ann", 1, false);
  usleep(300 * 1000);
  int status = 0;
  EXPECT_EQ(waitpid(whole, &status, WNOHANG), 0) << "a whole-user lock was granted beside a creation";
  ASSERT_EQ(write(go[1], &c, 1), 1);
  EXPECT_EQ(wait_bounded(creator), 0);
  EXPECT_EQ(wait_bounded(whole), 0);
  for (int fd : {go[0], go[1], held[0], held[1]}) close(fd);
}
