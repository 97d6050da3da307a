#include "store/mboxlist_list.h"

#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "common/auth.h"
#include "common/imap_err.h"
#include "store/mboxlist.h"
#include "store/mboxlist_list_internal.h"
#include "store/mboxlist_lright.h"
#include "store/mboxlist_test_util.h"
#include "store/quota_record.h"
#include "store/seen_db.h"

namespace {

struct Entry {
  std::string name;
  int matchlen;
  int childinfo;
  bool operator==(const Entry& o) const {
    return name == o.name && matchlen == o.matchlen && childinfo == o.childinfo;
  }
};
std::ostream& operator<<(std::ostream& os, const Entry& e) {
  return os << "{" << e.name << "," << e.matchlen << "," << e.childinfo << "}";
}

int collect(const char* name, int matchlen, int childinfo, const mboxdata*, void* rock) {
  static_cast<std::vector<Entry>*>(rock)->push_back({name, matchlen, childinfo});
  return 0;
}

constexpr int NOINF = mboxlist_noinferiors, HASCH = mboxlist_haschildren, HASNO = mboxlist_hasnochildren,
              NOINFO = mboxlist_nochildinfo;

TEST(ListPattern, Prefixes) {
  EXPECT_EQ(mboxlist_search_prefix("user/joe/a%", false), "user/joe/a");
  EXPECT_EQ(mboxlist_search_prefix("*", false), "");
  EXPECT_EQ(mboxlist_search_prefix("user/joe/a.*", true), "user/joe/");
  EXPECT_EQ(mboxlist_search_prefix("publicx+", true), "public");
  EXPECT_EQ(mboxlist_search_prefix("user/joe", true), "user/joe") << "a literal expression";
  EXPECT_EQ(mboxlist_search_prefix("user|public", true), "") << "alternation has no common start";
  EXPECT_EQ(mboxlist_findall_type(""), MBOXLIST_FIND_NOSHARED);
  EXPECT_EQ(mboxlist_findall_type("*"), 0);
  EXPECT_EQ(mboxlist_findall_type("Shared Folders/User/bob"), MBOXLIST_FIND_NOPERSONAL);
  EXPECT_EQ(mboxlist_findall_type("Shared%"), 0);
  EXPECT_EQ(mboxlist_findall_type("Shared"), MBOXLIST_FIND_NOSHARED);
  EXPECT_EQ(mboxlist_findall_type("Sent"), MBOXLIST_FIND_NOSHARED);
}

TEST(ListPattern, RegexMatchesTheWholeNameInUtf8) {
  ListPattern p;
  ASSERT_TRUE(p.compile("a.", true));
  EXPECT_EQ(p.match("ab", 2), 2);
  EXPECT_EQ(p.match("abc", 3), -1) << "whole name only";
  EXPECT_EQ(p.match("xab", 3), -1);
  // "&AOk-" is e-acute in modified UTF-7: one character for the expression.
  EXPECT_EQ(p.match("a&AOk-", 6), 6);
  ListPattern bad;
  EXPECT_FALSE(bad.compile("a(", true));
}

TEST(UtfToUnistr, Conversions) {
  uint16_t out[16];
  EXPECT_EQ(utf_to_unistr("a\xc3\xa9", out), 2u);
  EXPECT_EQ(out[1], 0xe9);
  EXPECT_EQ(out[2], 0);
  EXPECT_EQ(utf_to_unistr("\xf0\x9f\x98\x80", out), 2u);  // U+1F600 as a surrogate pair
  EXPECT_EQ(out[0], 0xd83d);
  EXPECT_EQ(out[1], 0xde00);
  EXPECT_EQ(utf_to_unistr("\xc3x\xff", out), 3u);  // cut-off and invalid bytes
  EXPECT_EQ(out[0], 0xfffd);
  EXPECT_EQ(out[1], 'x');
  EXPECT_EQ(out[2], 0xfffd);
  EXPECT_EQ(utf_to_unistr("\xc0\xaf", out), 2u) << "overlong '/' is not a slash";
  EXPECT_NE(out[0], '/');
}

class Listing : public StoreFixture {
 protected:
  void create(const char* name) {
    ASSERT_EQ(mboxlist_createmailbox(name, MBOX_VERSION, nullptr, nullptr, auth_dontCheckAcl, QUOTA_UNLIMITED,
                                     QUOTA_UNLIMITED, 0),
              0)
        << name;
  }
  AuthStatePtr state(const char* user, std::vector<const char*> groups = {}) {
    groups.push_back(nullptr);
    auth_state* s = nullptr;
    EXPECT_EQ(auth_newstate(user, groups.data(), &s), 0);
    return AuthStatePtr(s);
  }
  std::vector<Entry> list(const char* pattern, int flags, const char* user, const auth_state* auth,
                          int language = 0) {
    std::vector<Entry> out;
    EXPECT_EQ(mboxlist_findall(pattern, flags, language, user, auth, collect, &out), 0);
    return out;
  }
  std::vector<Entry> subs(const char* pattern, const char* user, const auth_state* auth) {
    std::vector<Entry> out;
    EXPECT_EQ(mboxlist_findsub(pattern, 0, 0, user, auth, collect, &out), 0);
    return out;
  }
};

TEST_F(Listing, PersonalListingOfJoe) {
  create("user/joe");
  create("user/joe/a");
  create("user/joe/a/b");
  create("user/joe.x");  // a sibling sharing the prefix is not joe's
  create("user/jo");
  auto joe = state("joe");
  EXPECT_EQ(list("%", MBOXLIST_FIND_CHILDINFO, "joe", joe.get()),
            (std::vector<Entry>{{"INBOX", 5, NOINF}, {"a", 1, HASCH}, {"a/b", 1, HASCH}}));
  EXPECT_EQ(list("*", 0, "joe", joe.get()),
            (std::vector<Entry>{{"INBOX", 5, NOINF}, {"a", 1, NOINFO}, {"a/b", 3, NOINFO}}));
  EXPECT_EQ(list("*", MBOXLIST_FIND_CHILDINFO, "joe", joe.get()),
            (std::vector<Entry>{{"INBOX", 5, NOINF}, {"a", 1, HASCH}, {"a/b", 3, HASNO}}));
  EXPECT_EQ(list("inbox", 0, "joe", joe.get()), (std::vector<Entry>{{"INBOX", 5, NOINF}}));
  EXPECT_EQ(list("a/%", 0, "joe", joe.get()), (std::vector<Entry>{{"a/b", 3, NOINFO}}));
  EXPECT_EQ(list("", 0, "joe", joe.get()), (std::vector<Entry>{}));
  // Regular expressions, relative names, whole-name matching.
  EXPECT_EQ(list("a.*", MBOXLIST_FIND_REGEX, "joe", joe.get()),
            (std::vector<Entry>{{"a", 1, NOINFO}, {"a/b", 3, NOINFO}}));
  EXPECT_EQ(list("a", MBOXLIST_FIND_REGEX, "joe", joe.get()), (std::vector<Entry>{{"a", 1, NOINFO}}));
  EXPECT_EQ(list("INBOX|a/b", MBOXLIST_FIND_REGEX, "joe", joe.get()),
            (std::vector<Entry>{{"INBOX", 5, NOINF}, {"a/b", 3, NOINFO}}));
  EXPECT_EQ(list("a(", MBOXLIST_FIND_REGEX, "joe", joe.get()), (std::vector<Entry>{}));
  // The whole store in internal names.
  EXPECT_EQ(list("user/jo*", 0, nullptr, nullptr, -1),
            (std::vector<Entry>{{"user/jo/INBOX", 13, NOINF},
                                {"user/joe/INBOX", 14, NOINF},
                                {"user/joe/a", 10, NOINFO},
                                {"user/joe/a/b", 12, NOINFO},
                                {"user/joe.x/INBOX", 16, NOINF}}));
  EXPECT_EQ(list("user/joe/IN*", 0, nullptr, nullptr, -1), (std::vector<Entry>{{"user/joe/INBOX", 14, NOINF}}));
  // A callback's nonzero result ends the walk and is returned.
  int calls = 0;
  EXPECT_EQ(mboxlist_findall(
                "*", 0, -1, nullptr, nullptr,
                [](const char*, int, int, const mboxdata*, void* r) { return ++*static_cast<int*>(r) == 2 ? 7 : 0; },
                &calls),
            7);
  EXPECT_EQ(calls, 2);
}

TEST_F(Listing, SharedFoldersThroughTwoIdentitiesReportedOnce) {
  create("user/joe");
  create("user/bob");
  create("user/bob/s");
  create("user/bob/t");
  ASSERT_EQ(mboxlist_setacl("user/bob/s", "joe", "lr", "bob", auth_dontCheckAcl), 0);
  ASSERT_EQ(mboxlist_setacl("user/bob/s", "group:staff", "lr", "bob", auth_dontCheckAcl), 0);
  ASSERT_EQ(mboxlist_setacl("user/bob/t", "group:other", "lr", "bob", auth_dontCheckAcl), 0);
  auto joe = state("joe", {"staff"});
  EXPECT_EQ(list("*", 0, "joe", joe.get()),
            (std::vector<Entry>{{"INBOX", 5, NOINF}, {"Shared Folders/User/bob/s", 25, NOINFO}}));
  EXPECT_EQ(list("Shared Folders/*", 0, "joe", joe.get()),
            (std::vector<Entry>{{"Shared Folders/User/bob/s", 25, NOINFO}}));
  EXPECT_EQ(list("Shared Folders/User/%", MBOXLIST_FIND_CHILDINFO, "joe", joe.get()),
            (std::vector<Entry>{{"Shared Folders/User/bob/s", 23, HASCH}}));
  // Internal presentation turns the shared listing off.
  EXPECT_EQ(list("*", 0, "joe", joe.get(), -1), (std::vector<Entry>{{"INBOX", 5, NOINF}}));
  // A revoked right hides it even while a list still names it.
  ASSERT_EQ(mboxlist_setacl("user/bob/s", "joe", nullptr, "bob", auth_dontCheckAcl), 0);
  ASSERT_EQ(mboxlist_setacl("user/bob/s", "group:staff", nullptr, "bob", auth_dontCheckAcl), 0);
  EXPECT_EQ(list("Shared Folders/*", 0, "joe", joe.get()), (std::vector<Entry>{}));
}

TEST_F(Listing, SubscriptionsSurviveAUserRename) {
  create("user/bob");
  create("user/bob/a");
  create("user/ann");
  create("user/ann/x");
  ASSERT_EQ(mboxlist_setacl("user/ann/x", "bob", "lr", "ann", auth_dontCheckAcl), 0);
  auto bob = state("bob");
  ASSERT_EQ(mboxlist_changesub("user/bob/a", "bob", bob.get(), 1), 0);
  ASSERT_EQ(mboxlist_changesub("user/bob/a", "bob", bob.get(), 1), 0) << "twice is fine";
  ASSERT_EQ(mboxlist_changesub("user/bob", "bob", bob.get(), 1), 0);
  ASSERT_EQ(mboxlist_changesub("user/ann/x", "bob", bob.get(), 1), 0);
  ASSERT_EQ(mboxlist_changesub("user/ann/gone", "bob", bob.get(), 1), 0);
  ASSERT_EQ(mboxlist_changesub("user/bob/never", "bob", bob.get(), 0), 0) << "never subscribed";
  EXPECT_EQ(mboxlist_lookup_subs("bob", "user/bob/a"), 0);
  EXPECT_EQ(mboxlist_lookup_subs("bob", "user/bob/never"), DB_NOTFOUND);
  EXPECT_EQ(subs("*", "bob", bob.get()), (std::vector<Entry>{{"Shared Folders/User/ann/gone", 28, NOINF},
                                                              {"Shared Folders/User/ann/x", 25, NOINFO},
                                                              {"INBOX", 5, NOINF},
                                                              {"a", 1, NOINFO}}));
  ASSERT_EQ(mboxlist_renamemailbox("user/bob", "user/rob", nullptr, nullptr, auth_dontCheckAcl), 0);
  auto rob = state("rob");
  EXPECT_EQ(mboxlist_lookup_subs("bob", "user/bob/a"), DB_NOTFOUND);
  EXPECT_EQ(mboxlist_lookup_subs("rob", "user/rob/a"), 0);
  EXPECT_EQ(mboxlist_lookup_subs("rob", "user/ann/x"), 0);
  EXPECT_EQ(subs("*", "rob", rob.get()), (std::vector<Entry>{{"Shared Folders/User/ann/gone", 28, NOINF},
                                                              {"Shared Folders/User/ann/x", 25, NOINFO},
                                                              {"INBOX", 5, NOINF},
                                                              {"a", 1, NOINFO}}));
  // The shared list and the ACL follow the renamed user too.
  char* list = nullptr;
  size_t len = 0;
  ASSERT_EQ(mboxlist_lookup_lright("rob", &list, &len, nullptr), 0);
  EXPECT_EQ(std::string(list, len), std::string("user/ann/x\0", 11));
  free(list);
}

TEST_F(Listing, StoreWideFileCheckpointWritesWhatChanged) {
  for (const char* f : {"user/joe", "user/joe/a", "user/ann"}) create(f);
  auto joe = state("joe");
  ASSERT_EQ(mboxlist_changesub("user/joe/a", "joe", joe.get(), 1), 0);
  auto dir = [](const char* name) {
    char* p = nullptr;
    EXPECT_EQ(mboxlist_lookup(name, nullptr, nullptr, &p, nullptr, nullptr), 0);
    std::string d = p ? p : "";
    free(p);
    return d;
  };
  std::string sub = dir("user/joe") + "/store.sub", usr = dir("user/joe/a") + "/store.usr";
  seen_folder f{"user/joe/a", nullptr, 10};
  std::string adir = dir("user/joe/a");
  f.path = adir.c_str();
  seen* sdb = nullptr;
  ASSERT_EQ(seen_open_folder(f, "joe", &sdb), 0);
  time_t lr, lc;
  uint32_t lu;
  char* uids = nullptr;
  ASSERT_EQ(seen_lockread(sdb, &lr, &lu, &lc, &uids), 0);
  free(uids);
  ASSERT_EQ(seen_write(sdb, 1000, 2, 1001, "1:2 "), 0);
  seen_close(sdb);

  // One folder per slice: the third one reaches the end of the list.
  std::string from;
  for (const char* after : {"user/ann", "user/joe", ""}) {
    EXPECT_EQ(mboxlist_checkpoint_files(0, 0, &from, 1), 0);
    EXPECT_EQ(from, after);
  }
  from = "user/bob";  // deleted since the last slice: the walk goes on after it
  EXPECT_EQ(mboxlist_checkpoint_files(0, 0, &from, 1), 0);
  EXPECT_EQ(from, "user/joe");
  EXPECT_EQ(read_text_file(sub), "user/joe/a\n");
  EXPECT_EQ(read_text_file(usr), "joe\t1000 2 1001 1:2 \n");
  EXPECT_NE(access((dir("user/ann") + "/store.sub").c_str(), F_OK), 0) << "ann never subscribed";
  // Nothing changed since this round began: the next writes nothing.
  unlink(sub.c_str());
  unlink(usr.c_str());
  EXPECT_EQ(mboxlist_checkpoint_files(time(nullptr) + 100, time(nullptr) + 100, &from, 100), 0);
  EXPECT_EQ(from, "");
  EXPECT_NE(access(sub.c_str(), F_OK), 0);
  EXPECT_NE(access(usr.c_str(), F_OK), 0);
}

TEST_F(Listing, SubscriptionCheckpointAndRecovery) {
  create("user/joe");
  create("user/joe/a");
  auto joe = state("joe");
  char* p = nullptr;
  ASSERT_EQ(mboxlist_lookup("user/joe", nullptr, nullptr, &p, nullptr, nullptr), 0);
  std::string file = std::string(p) + "/store.sub";
  free(p);
  ASSERT_EQ(mboxlist_changesub("user/joe/a", "joe", joe.get(), 1), 0);
  ASSERT_EQ(mboxlist_checkpointSubs("joe", time(nullptr) + 100, 0), 0);
  EXPECT_NE(access(file.c_str(), F_OK), 0) << "no change since the last checkpoint start";
  ASSERT_EQ(mboxlist_checkpointSubs("joe", 0, time(nullptr) + 100), 0);
  EXPECT_EQ(read_text_file(file), "user/joe/a\n");
  write_text_file(file, "sentinel\n");
  struct timespec times[2] = {{0, UTIME_OMIT}, {time(nullptr) + 50, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, file.c_str(), times, 0), 0);
  ASSERT_EQ(mboxlist_checkpointSubs("joe", 0, time(nullptr) + 100), 0);
  EXPECT_EQ(read_text_file(file), "sentinel\n") << "newer than the change: untouched";

  // The database loses joe's subscriptions; the next operation reloads them.
  write_text_file(file, "user/joe/a\t\nuser/joe/b\n\n" + std::string(300, 'x') + "\nuser/joe/cut");
  ASSERT_EQ(del_raw(mboxlist_subsdb(), std::string("joe\0", 4)), 0);
  ASSERT_EQ(del_raw(mboxlist_subsdb(), std::string("joe\0user/joe/a\0", 15)), 0);
  create("user/joe/b");
  EXPECT_EQ(subs("*", "joe", joe.get()), (std::vector<Entry>{{"a", 1, NOINFO}, {"b", 1, NOINFO}}));
  EXPECT_EQ(get_raw(mboxlist_subsdb(), std::string("joe\0", 4)), std::string(4, '\0'));
}

TEST_F(Listing, ReconstructFromDiskBringsRecordsBackWithTheirAcl) {
  create("user/joe");
  create("user/joe/a");
  create("user/joe/a/b");
  create("user/joe/Sent");
  ASSERT_EQ(mboxlist_setacl("user/joe/a", "ann", "lrs", "joe", auth_dontCheckAcl), 0);
  auto joe = state("joe");
  auto before = list("*", MBOXLIST_FIND_CHILDINFO, "joe", joe.get());
  char* acl_before = nullptr;
  ASSERT_EQ(mboxlist_lookup("user/joe/a", nullptr, nullptr, nullptr, nullptr, &acl_before), 0);
  for (const char* n : {"user/joe", "user/joe/a", "user/joe/a/b", "user/joe/Sent"}) {
    ASSERT_EQ(del_raw(mboxlist_folderdb(), std::string(n) + '\0'), 0) << n;
  }
  EXPECT_EQ(list("*", 0, "joe", joe.get()), (std::vector<Entry>{}));
  EXPECT_EQ(mboxlist_recover_folders_from_disk("nobody"), -1);
  ASSERT_EQ(mboxlist_recover_folders_from_disk("joe"), 0);
  EXPECT_EQ(list("*", MBOXLIST_FIND_CHILDINFO, "joe", joe.get()), before);
  char* acl_after = nullptr;
  ASSERT_EQ(mboxlist_lookup("user/joe/a", nullptr, nullptr, nullptr, nullptr, &acl_after), 0);
  EXPECT_STREQ(acl_after, acl_before);
  free(acl_before);
  free(acl_after);
}

TEST_F(Listing, ReconstructWaitsForARenameUnderWay) {
  create("user/joe");
  create("user/joe/a");
  char* path = nullptr;
  ASSERT_EQ(mboxlist_lookup("user/joe/a", nullptr, nullptr, &path, nullptr, nullptr), 0);
  const std::string dir = path;
  free(path);
  // What a rename of user/joe/a looks like half-way: it holds the user's
  // creation lock, the old record is gone and the old directory not yet.
  MboxlistCreateLock rename_lock;
  ASSERT_EQ(rename_lock.lock("user/joe", nullptr, 1), 0);
  ASSERT_EQ(del_raw(mboxlist_folderdb(), std::string("user/joe/a") + '\0'), 0);
  int result = -2;
  std::thread reconstruct([&] { result = mboxlist_recover_folders_from_disk("joe"); });
  // Room for a reconstruct that does not wait to put the record back.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  std::filesystem::remove_all(dir);
  rename_lock.unlock();
  reconstruct.join();
  EXPECT_EQ(result, 0);
  EXPECT_EQ(mboxlist_lookup("user/joe/a", nullptr, nullptr, nullptr, nullptr, nullptr), IMAP_MAILBOX_NONEXISTENT)
      << "the folder being renamed away came back";
}

}  // namespace
