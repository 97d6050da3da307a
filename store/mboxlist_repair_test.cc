// The repair marker, the listing modes that use it, the rebuild of a
// user's records from every partition and the census of users on disk.
#include "store/mboxlist_repair.h"

#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/auth.h"
#include "common/config.h"
#include "common/imap_err.h"
#include "store/mboxlist.h"
#include "store/mboxlist_list.h"
#include "store/mboxlist_test_util.h"
#include "store/quota.h"
#include "store/quota_record.h"
#include "store/userscan.h"

namespace {

int collect(const char* name, int, int, const mboxdata*, void* rock) {
  static_cast<std::vector<std::string>*>(rock)->push_back(name);
  return 0;
}

using Names = std::vector<std::string>;

class Repair : public StoreFixture {
 protected:
  void SetUp() override { ASSERT_EQ(configure(""), 0); }
  int configure(const std::string& extra) {
    return StoreFixture::configure("store.partition.second.path = " + dir_.path() + "/part2\n" + extra);
  }
  void create(const char* name, const char* partition = nullptr) {
    ASSERT_EQ(mboxlist_createmailbox(name, MBOX_VERSION, partition, nullptr, auth_dontCheckAcl, QUOTA_UNLIMITED,
                                     QUOTA_UNLIMITED, 0),
              0)
        << name;
  }
  // Records a catastrophic event at t, as the start-up repair does, and
  // makes this process read it now.
  static void event_at(long t) {
    ASSERT_EQ(configmsg_writestoredfile("eve", t), 0);
    ASSERT_EQ(mboxlist_catastrophic_event(0), t);
  }
  static uint32_t lastdbrepair(const char* root) {
    quotadata qd;
    EXPECT_EQ(mboxlist_lookup_quota(root, &qd, nullptr), 0) << root;
    return qd.lastdbrepair;
  }
  static bool has_record(const char* name) {
    return mboxlist_lookup(name, nullptr, nullptr, nullptr, nullptr, nullptr) == 0;
  }
  static std::string partition_of(const char* name) {
    char* part = nullptr;
    if (mboxlist_lookup(name, nullptr, &part, nullptr, nullptr, nullptr) != 0) return "<none>";
    std::string p = part ? part : "";
    free(part);
    return p;
  }
  Names list(int mode, const char* pattern = "*") {
    Names out;
    EXPECT_EQ(mboxlist_findall_plus(pattern, 0, 0, "joe", nullptr, collect, &out, mode), 0);
    return out;
  }
  // joe with four folders, one of them on the second partition; the list
  // then loses the records of a/b and Far, as a database put back from an
  // older snapshot would.
  void joe_with_lost_records() {
    create("user/joe");
    create("user/joe/a");
    create("user/joe/a/b");
    create("user/joe/Sent");
    create("user/joe/Far", "second");
    ASSERT_EQ(partition_of("user/joe/Far"), "second");
    for (const char* n : {"user/joe/a/b", "user/joe/Far"}) {
      ASSERT_EQ(del_raw(mboxlist_folderdb(), std::string(n) + '\0'), 0) << n;
    }
    event_ = time(nullptr) + 100;
    event_at(event_);  // joe was last repaired before it
  }
  long event_ = 0;
};

TEST_F(Repair, MarkerFollowsTheEventAndTheUsersRepairTime) {
  create("user/old");
  EXPECT_EQ(mboxlist_dbneedrepair("old"), 0) << "no event recorded";
  const long now = time(nullptr);
  event_at(now + 100);
  EXPECT_EQ(mboxlist_dbneedrepair("old"), 1) << "created before the event";
  // A user created after an event starts repaired: his records are
  // complete.  (Created before the event for the test's clock: the event
  // is moved back below his creation instead.)
  create("user/new");
  event_at(now - 100);
  EXPECT_EQ(mboxlist_dbneedrepair("new"), 0) << "a user created after the event needs no repair";
  EXPECT_GE(lastdbrepair("user/new"), static_cast<uint32_t>(now));
  EXPECT_EQ(mboxlist_dbneedrepair("old"), 0) << "old was created after now - 100 too";

  event_at(now + 100);
  EXPECT_EQ(mboxlist_setlastdbrepair("old", static_cast<uint32_t>(now + 99)), 0);
  EXPECT_EQ(mboxlist_dbneedrepair("old"), 1) << "repaired before the event";
  EXPECT_EQ(mboxlist_setlastdbrepair("user/old", static_cast<uint32_t>(now + 100)), 0);
  EXPECT_EQ(lastdbrepair("user/old"), static_cast<uint32_t>(now + 100));
  EXPECT_EQ(mboxlist_dbneedrepair("old"), 0) << "repaired at the event";

  // No quota record: nothing to mark, and the user needs a rebuild.
  EXPECT_EQ(mboxlist_setlastdbrepair("ghost", 1), IMAP_QUOTAROOT_NONEXISTENT);
  EXPECT_EQ(mboxlist_dbneedrepair("ghost"), 1);

  // The file removed: no event any more, once read again.
  ASSERT_EQ(unlink((store_dir() + "/stored/eve").c_str()), 0);
  EXPECT_EQ(mboxlist_catastrophic_event(300), now + 100) << "read again only after 300 s";
  EXPECT_EQ(mboxlist_catastrophic_event(0), 0);
  EXPECT_EQ(mboxlist_dbneedrepair("ghost"), 0);
}

TEST_F(Repair, EventReadAtStartUp) {
  create("user/old");
  ASSERT_EQ(configmsg_writestoredfile("eve", time(nullptr) + 100), 0);
  ASSERT_EQ(configure(""), 0);  // a new process start reads "eve"
  EXPECT_EQ(mboxlist_dbneedrepair("old"), 1);
}

TEST_F(Repair, InboxMadeOverALostUsersFoldersStaysUnmarked) {
  create("user/joe");
  create("user/joe/Sent");
  create("user/ann");
  create("user/ann/Far", "second");
  for (const char* n : {"user/joe", "user/joe/Sent", "user/ann", "user/ann/Far"}) {
    ASSERT_EQ(del_raw(mboxlist_folderdb(), std::string(n) + '\0'), 0) << n;
  }
  for (const char* n : {"user/joe", "user/ann"}) ASSERT_EQ(del_raw(mboxlist_quotadb(), std::string(n) + '\0'), 0);
  // The INBOXes are made again over what the list lost: folders below
  // one, on another partition for the other.  Neither user is complete.
  for (const char* n : {"user/joe", "user/ann"}) {
    int r = mboxlist_createmailbox(n, MBOX_VERSION, nullptr, nullptr, auth_dontCheckAcl, QUOTA_UNLIMITED,
                                   QUOTA_UNLIMITED, 0);
    EXPECT_TRUE(r == 0 || r == IMAP_MAILBOX_EXISTS) << n << ": " << r;
    EXPECT_EQ(lastdbrepair(n), 0u) << n;
  }
  create("user/bob");
  EXPECT_NE(lastdbrepair("user/bob"), 0u) << "a new user is complete";
}

TEST_F(Repair, PlainQuotaRecountKeepsTheRepairMark) {
  create("user/bob");
  ASSERT_EQ(mboxlist_setlastdbrepair("bob", 4242), 0);
  quotadata qd;
  ASSERT_EQ(mboxlist_changequota("user/bob", nullptr, 5000, 3, 0, &qd), 0);  // usage skewed
  int changed = 0;
  ASSERT_EQ(mboxlist_fixquota("user/bob", &changed), 0);
  ASSERT_EQ(changed, 1);
  EXPECT_EQ(lastdbrepair("user/bob"), 4242u);
}

TEST_F(Repair, ListingModes) {
  joe_with_lost_records();
  const Names db = {"INBOX", "Sent", "a"};
  const Names disk = {"INBOX", "Far", "Sent", "a", "a/b"};
  EXPECT_EQ(list(1), db) << "AlwaysFolderDB";
  EXPECT_EQ(list(2), disk) << "AlwaysPartition lists every partition";
  EXPECT_FALSE(has_record("user/joe/a/b")) << "listing alone puts nothing back";
  EXPECT_EQ(list(2, "a*"), (Names{"a", "a/b"}));
  EXPECT_EQ(list(3), disk) << "TestPartition, repair needed";
  EXPECT_FALSE(has_record("user/joe/Far"));
  EXPECT_EQ(mboxlist_dbneedrepair("joe"), 1);

  EXPECT_EQ(list(4), disk) << "TestPartitionInsert";
  EXPECT_TRUE(has_record("user/joe/a/b"));
  EXPECT_EQ(partition_of("user/joe/Far"), "second") << "found on the partition that holds it";
  EXPECT_EQ(mboxlist_dbneedrepair("joe"), 1) << "mode 4 does not mark the user";
  EXPECT_EQ(list(1), disk);

  ASSERT_EQ(del_raw(mboxlist_folderdb(), std::string("user/joe/Far") + '\0'), 0);
  EXPECT_EQ(list(5), disk) << "TestPartitionInsertFull";
  EXPECT_TRUE(has_record("user/joe/Far"));
  EXPECT_EQ(mboxlist_dbneedrepair("joe"), 0) << "mode 5 marks the user repaired";
  // Repaired: the modes that test the marker list from the database.
  ASSERT_EQ(del_raw(mboxlist_folderdb(), std::string("user/joe/Far") + '\0'), 0);
  EXPECT_EQ(list(3), (Names{"INBOX", "Sent", "a", "a/b"}));
  EXPECT_EQ(list(2), disk) << "AlwaysPartition does not look at the marker";
}

TEST_F(Repair, PreRecoverModeRebuildsThenListsTheDatabase) {
  joe_with_lost_records();
  // Through the configuration, as `orvadm list` uses it.
  ASSERT_EQ(configure("local.store.listrecover = TestPreRecover\n"), 0);
  ASSERT_EQ(mboxlist_catastrophic_event(0), event_) << "the event survives the restart";
  EXPECT_EQ(list(0), (Names{"INBOX", "Far", "Sent", "a", "a/b"}));
  EXPECT_TRUE(has_record("user/joe/Far"));
  EXPECT_EQ(partition_of("user/joe/Far"), "second");
  EXPECT_EQ(mboxlist_dbneedrepair("joe"), 0);
  // Not needing repair any more, a lost record stays lost for the listing.
  ASSERT_EQ(del_raw(mboxlist_folderdb(), std::string("user/joe/Sent") + '\0'), 0);
  EXPECT_EQ(list(0), (Names{"INBOX", "Far", "a", "a/b"}));
}

TEST_F(Repair, DiskListingWithoutAnyInboxFallsBackToTheDatabase) {
  Names out;
  EXPECT_EQ(mboxlist_findall_plus("*", 0, 0, "nobody", nullptr, collect, &out, 2), 0);
  EXPECT_TRUE(out.empty());
  EXPECT_EQ(mboxlist_findall_plus("*", 0, 0, nullptr, nullptr, collect, &out, 2), -1);
}

TEST_F(Repair, RebuildFromDiskMarksTheUserEvenWithoutAQuotaRecord) {
  joe_with_lost_records();
  ASSERT_EQ(del_raw(mboxlist_folderdb(), std::string("user/joe") + '\0'), 0);
  ASSERT_EQ(del_raw(mboxlist_quotadb(), std::string("user/joe") + '\0'), 0);
  ASSERT_EQ(mboxlist_recover_folders_from_disk("joe"), 0);
  for (const char* n : {"user/joe", "user/joe/a/b", "user/joe/Far"}) EXPECT_TRUE(has_record(n)) << n;
  EXPECT_EQ(partition_of("user/joe/Far"), "second");
  EXPECT_EQ(mboxlist_dbneedrepair("joe"), 0) << "quota record made again and marked";
  EXPECT_EQ(mboxlist_recover_folders_from_disk("nobody"), -1);
}

TEST_F(Repair, ReconstructUserReportsWhatCameBack) {
  joe_with_lost_records();
  mboxlist_rebuilt rb;
  ASSERT_EQ(mboxlist_reconstruct_user("joe", &rb), 0);
  std::vector<std::pair<std::string, bool>> got;
  for (const auto& f : rb.folders) got.emplace_back(f.name, f.restored);
  EXPECT_EQ(got, (std::vector<std::pair<std::string, bool>>{{"user/joe", false},
                                                            {"user/joe/Far", true},
                                                            {"user/joe/Sent", false},
                                                            {"user/joe/a", false},
                                                            {"user/joe/a/b", true}}));
  EXPECT_TRUE(rb.problems.empty());
  EXPECT_EQ(mboxlist_dbneedrepair("joe"), 0);
  EXPECT_EQ(mboxlist_reconstruct_user("nobody", &rb), -1);
}

TEST_F(Repair, CensusFindsUsersTheListLost) {
  create("user/ann");
  create("user/bob");
  create("user/bob/x", "second");
  create("user/joe");
  create("user/joe/Far", "second");
  // Keys that sort next to joe's and are no users of their own.
  create("user/joe.x");
  create("public/news");
  for (const char* n : {"user/joe", "user/joe/Far"}) ASSERT_EQ(del_raw(mboxlist_folderdb(), std::string(n) + '\0'), 0);
  ASSERT_EQ(del_raw(mboxlist_quotadb(), std::string("user/bob") + '\0'), 0);
  mboxlist_user_census c;
  ASSERT_EQ(mboxlist_census_users(false, &c), 0);
  EXPECT_EQ(c.in_list, 3u);  // ann, bob, joe.x
  EXPECT_EQ(c.missing, (Names{"joe"}));
  EXPECT_EQ(c.on_disk, 6u) << "ann, bob twice, joe twice, joe.x";
  EXPECT_EQ(c.without_quota, 1u);
  EXPECT_TRUE(c.need_repair.empty());

  event_at(time(nullptr) + 100);
  ASSERT_EQ(mboxlist_setlastdbrepair("ann", static_cast<uint32_t>(time(nullptr) + 100)), 0);
  ASSERT_EQ(mboxlist_census_users(true, &c), 0);
  EXPECT_EQ(c.need_repair, (Names{"bob", "joe", "joe.x"}));
}

TEST_F(Repair, StartUpCheckRebuildsLostUsersAndPassesOverAnUnreadableInbox) {
  create("user/ann");
  create("user/ann/Work", "second");
  create("user/dead");
  // ann lost by the list; dead's creation died with its index unfinished.
  for (const char* n : {"user/ann", "user/ann/Work", "user/dead"})
    ASSERT_EQ(del_raw(mboxlist_folderdb(), std::string(n) + '\0'), 0);
  ASSERT_EQ(del_raw(mboxlist_quotadb(), std::string("user/dead") + '\0'), 0);
  std::string dir;
  ASSERT_TRUE(userscan_inbox_on_disk("dead", nullptr, &dir));
  ASSERT_EQ(truncate((dir + "/store.idx").c_str(), 10), 0);
  EXPECT_EQ(mboxlist_startup_user_check(), 0);
  EXPECT_EQ(mboxlist_lookup("user/ann/Work", nullptr, nullptr, nullptr, nullptr, nullptr), 0);
  EXPECT_EQ(mboxlist_lookup("user/dead", nullptr, nullptr, nullptr, nullptr, nullptr), IMAP_MAILBOX_NONEXISTENT);
}

TEST_F(Repair, UserScanDecodesUserDirectories) {
  create("user/Ann.Lee");
  create("user/bob");
  std::vector<std::string> users;
  ASSERT_EQ(userscan_partition("primary", [&](const char* id, const std::string& dir) {
              users.push_back(id);
              EXPECT_EQ(access((dir + "/store.idx").c_str(), F_OK), 0) << dir;
              return 0;
            }),
            0);
  std::sort(users.begin(), users.end());
  EXPECT_EQ(users, (Names{"Ann.Lee", "bob"}));
  EXPECT_EQ(userscan_partition("second", [](const char*, const std::string&) { return 1; }), 0);
  EXPECT_EQ(userscan_partition("primary", [](const char*, const std::string&) { return 7; }), 7);
  std::string part;
  EXPECT_TRUE(userscan_inbox_on_disk("bob", &part, nullptr));
  EXPECT_EQ(part, "primary");
  EXPECT_FALSE(userscan_inbox_on_disk("nobody", nullptr, nullptr));
}

}  // namespace
