#include "store/storeutil.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "common/bvlog.h"
#include "common/config.h"
#include "common/imap_err.h"
#include "common/test_util.h"

namespace {

class StoreutilTest : public ::testing::Test {
 protected:
  void SetUp() override { load("service.defaultdomain = Example.com\n"); }
  void TearDown() override { configmsg_free(); }
  void load(const std::string& text) { ASSERT_EQ(configmsg_init_text(text, "test", "orvtest"), 0); }
};

TEST_F(StoreutilTest, CanonicalUserIds) {
  struct {
    const char* in;
    const char* out;
  } cases[] = {
      {"joe", "joe"},
      {"Joe", "Joe"},
      {"joe@example.COM", "joe"},
      {"joe@Other.Org", "joe@other.org"},
      {"a@b@EXAMPLE.com", "a@b"},  // the last at sign counts
      {"Joe@", "Joe@"},
      {"", ""},
  };
  for (const auto& c : cases) {
    std::string id = c.in;
    EXPECT_STREQ(store_canonifyid(id.data()), c.out) << c.in;
  }
  // Without a default domain only the letter case changes.
  configmsg_free();
  load("");
  std::string id = "joe@Example.COM";
  EXPECT_STREQ(store_canonifyid(id.data()), "joe@example.com");
}

TEST_F(StoreutilTest, CanonicalFolderNames) {
  struct {
    const char* in;
    const char* out;
  } cases[] = {
      {"user/joe@EXAMPLE.com/Sent/x", "user/joe/Sent/x"},
      {"user/joe@example.com", "user/joe"},
      {"user/joe@Other.ORG/Sent@Example.com", "user/joe@other.org/Sent@Example.com"},
      {"user/joe/a@Example.com", "user/joe/a@Example.com"},
      {"public/x@Example.com", "public/x@Example.com"},
      {"user/", "user/"},
      {"user/@example.com/x", "user//x"},
  };
  for (const auto& c : cases) {
    std::string name = c.in;
    EXPECT_STREQ(store_canonifymboxname(name.data()), c.out) << c.in;
  }
}

TEST_F(StoreutilTest, IsInbox) {
  struct {
    const char* name;
    int want;
  } cases[] = {
      {"user/joe", 1}, {"user/joe/INBOX", 1}, {"user/joe/inbox", 0}, {"user/joe/INBOX/x", 0}, {"user/joe/Sent", 0},
      {"public/x", 0}, {"user", 0},           {"user/", 0},          {"user//INBOX", 0},      {"users/joe", 0},
  };
  for (const auto& c : cases) EXPECT_EQ(store_isInbox(c.name), c.want) << c.name;
}

TEST_F(StoreutilTest, PathInfo) {
  TempDir tmp;
  int total = -1, avail = -1;
  ASSERT_EQ(store_getpathinfo(tmp.path().c_str(), &total, &avail), 0);
  EXPECT_GT(total, 0);
  EXPECT_GE(avail, 0);
  EXPECT_LE(avail, total);

  // A partition not made yet is measured at its nearest existing ancestor.
  int t2 = -1, a2 = -1;
  ASSERT_EQ(store_getpathinfo((tmp / "not/made/yet/").c_str(), &t2, &a2), 0);
  EXPECT_EQ(t2, total);
  ASSERT_EQ(store_getpathinfo("/no-such-dir-here/x", &t2, &a2), 0);
  EXPECT_GT(t2, 0);

  bvlog_to_stderr(LOG_SEV_EMERG);  // the failure below is logged
  EXPECT_EQ(store_getpathinfo("no-such-relative-name", &t2, &a2), -1);
  EXPECT_EQ(t2, 0);
  EXPECT_EQ(a2, 0);
}

// An in-memory mailbox list.
struct FakeList {
  struct Folder {
    std::string listed;  // as the listing reports it
    int matchlen;        // -1: the whole name
    uint64_t qused;
  };
  std::vector<Folder> folders;
  std::map<std::string, std::string> partitions;  // internal name -> partition
  std::map<std::string, int64_t> quotas;          // INBOX -> limit
  int walk_result = 0;

  store_partition_source source() {
    store_partition_source s;
    s.ctx = this;
    s.findall = [](void* ctx, int (*visit)(void*, const char*, int, uint64_t), void* rock) {
      auto* self = static_cast<FakeList*>(ctx);
      for (const auto& f : self->folders) {
        int len = f.matchlen < 0 ? static_cast<int>(f.listed.size()) : f.matchlen;
        if (int r = visit(rock, f.listed.c_str(), len, f.qused)) return r;
      }
      return self->walk_result;
    };
    s.lookup_partition = [](void* ctx, const char* name, char** partition) {
      auto* self = static_cast<FakeList*>(ctx);
      auto it = self->partitions.find(name);
      if (it == self->partitions.end()) return static_cast<int>(IMAP_MAILBOX_NONEXISTENT);
      *partition = strdup(it->second.c_str());
      return 0;
    };
    s.quota_limit = [](void* ctx, const char* name, int64_t* limit) {
      auto* self = static_cast<FakeList*>(ctx);
      auto it = self->quotas.find(name);
      if (it == self->quotas.end()) return static_cast<int>(IMAP_QUOTAROOT_NONEXISTENT);
      *limit = it->second;
      return 0;
    };
    return s;
  }
};

struct PartitionList {
  partition_info_t* list = nullptr;
  ~PartitionList() { free(list); }
  const partition_info_t* find(const char* name) const {
    for (const partition_info_t* p = list; p && p->partition[0]; ++p) {
      if (strcmp(p->partition, name) == 0) return p;
    }
    return nullptr;
  }
  size_t size() const {
    size_t n = 0;
    while (list && list[n].partition[0]) ++n;
    return n;
  }
};

TEST_F(StoreutilTest, PartitionSummary) {
  TempDir tmp;
  load("store.partition.primary.path = " + tmp.path() + "\n");
  bvlog_to_stderr(LOG_SEV_EMERG);  // skipped folders are logged

  FakeList fake;
  fake.folders = {
      {"user/ann/INBOX", -1, 100},
      {"user/ann/Sent", -1, 50},
      {"user/ann/Sent/old", 13, 7},  // partial match of a counted folder
      {"public/lists", -1, 5},
      {"user/bob/INBOX", -1, 1},
      {"user/cat/INBOX", -1, 3},
      {"user/cat/Big", -1, 0x100000000ull},  // does not fit an int
      {"stray", -1, 9},                      // not a name of ours
      {"user/gone/INBOX", -1, 9},            // no record
  };
  fake.partitions = {{"user/ann", "primary"},   {"user/ann/Sent", "primary"}, {"public/lists", "primary"},
                     {"user/bob", "secondary"}, {"user/cat", "secondary"},    {"user/cat/Big", "secondary"}};
  fake.quotas = {{"user/ann", 1000}, {"user/bob", 20}, {"user/cat", -1}};
  fake.walk_result = 42;
  const store_partition_source src = fake.source();

  PartitionList out;
  EXPECT_EQ(store_getpartitions(src, &out.list), 42);
  ASSERT_EQ(out.size(), 2u);

  const partition_info_t* primary = out.find("primary");
  ASSERT_NE(primary, nullptr);
  EXPECT_STREQ(primary->path, tmp.path().c_str());
  EXPECT_GT(primary->total, 0);
  EXPECT_EQ(primary->numfolders, 3);
  EXPECT_EQ(primary->numusers, 1);
  EXPECT_EQ(primary->byteused, 155);
  EXPECT_EQ(primary->totalquota, 1000);

  const partition_info_t* secondary = out.find("secondary");
  ASSERT_NE(secondary, nullptr);
  EXPECT_STREQ(secondary->path, "<partition has no path defined>");
  EXPECT_EQ(secondary->total, 0);
  EXPECT_EQ(secondary->numfolders, 3);
  EXPECT_EQ(secondary->numusers, 2);
  EXPECT_EQ(secondary->byteused, INT_MAX);
  EXPECT_EQ(secondary->totalquota, -1);  // cat has no limit
}

TEST_F(StoreutilTest, PartitionSummaryOfAnEmptyStoreIsJustTheEnd) {
  FakeList fake;
  PartitionList out;
  EXPECT_EQ(store_getpartitions(fake.source(), &out.list), 0);
  ASSERT_NE(out.list, nullptr);
  EXPECT_EQ(out.list[0].partition[0], '\0');
}

TEST_F(StoreutilTest, PartitionSummaryStopsWhenTheWalkDoes) {
  FakeList fake;
  fake.folders = {{"stray", -1, 0}};
  store_partition_source src = fake.source();
  src.findall = [](void*, int (*)(void*, const char*, int, uint64_t), void*) -> int { return IMAP_IOERROR; };
  PartitionList out;
  EXPECT_EQ(store_getpartitions(src, &out.list), IMAP_IOERROR);
  EXPECT_EQ(out.size(), 0u);
}

}  // namespace
