#include "store/mboxlist_lright.h"

#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/auth.h"
#include "common/imap_err.h"
#include "store/mboxlist_test_util.h"
#include "store/mboxlist_walk.h"
#include "store/mboxlist_internal.h"
#include "store/quota_record.h"

namespace {

std::string L(std::initializer_list<const char*> names) {
  std::string s;
  for (const char* n : names) {
    s += n;
    s += '\0';
  }
  return s;
}

struct EditCase {
  const char* what;
  std::string before;
  const char* mbox;
  const char* newname;
  int type;
  std::string after;
};

TEST(Lright, ListEditing) {
  const EditCase cases[] = {
      {"add to empty", "", "user/joe/x", nullptr, TYPE_ADD, L({"user/joe/x"})},
      {"add twice changes nothing", L({"user/joe/x"}), "user/joe/x", nullptr, TYPE_ADD, L({"user/joe/x"})},
      {"add appends", L({"a"}), "b", nullptr, TYPE_ADD, L({"a", "b"})},
      {"delete moves the rest up", L({"a", "b", "c"}), "b", nullptr, TYPE_DELETE, L({"a", "c"})},
      {"delete missing", L({"a"}), "ab", nullptr, TYPE_DELETE, L({"a"})},
      {"prefix is not equal", L({"ab"}), "a", nullptr, TYPE_DELETE, L({"ab"})},
      {"rename", L({"a", "b"}), "a", "z", TYPE_RENAME, L({"b", "z"})},
      {"rename missing adds new", L({"b"}), "a", "z", TYPE_RENAME, L({"b", "z"})},
  };
  for (const EditCase& c : cases) {
    char* list = c.before.empty() ? nullptr : static_cast<char*>(malloc(c.before.size()));
    if (list) memcpy(list, c.before.data(), c.before.size());
    size_t len = c.before.size();
    size_t n = mboxlist_modifylright(c.mbox, c.newname, c.type, &list, &len);
    EXPECT_EQ(n, len) << c.what;
    EXPECT_EQ(std::string(list ? list : "", len), c.after) << c.what;
    free(list);
  }
}

TEST(Lright, AclRenameUser) {
  char* r = acl_renameuser("anyone\tlr\tbob\tlrs\tbob\tl\t", "bob", "rob");
  EXPECT_STREQ(r, "anyone\tlr\trob\tlrs\tbob\tl\t") << "only the first entry";
  free(r);
  r = acl_renameuser("bobby\tl\t", "bob", "rob");
  EXPECT_STREQ(r, "bobby\tl\t");
  free(r);
}

class LrightDb : public StoreFixture {
 protected:
  void create(const char* name) {
    ASSERT_EQ(mboxlist_createmailbox(name, MBOX_VERSION, nullptr, nullptr, auth_dontCheckAcl, QUOTA_UNLIMITED,
                                     QUOTA_UNLIMITED, 0),
              0)
        << name;
  }
  using Lists = std::map<std::string, std::set<std::string>>;
  // What the lists must be: every user folder, every identifier other than
  // the owner (and not negative) whose ACL entry holds 'l'.
  static Lists recompute() {
    Lists want;
    DB* db = mboxlist_folderdb();
    DbCursor cur;
    EXPECT_EQ(db->cursor(db, nullptr, cur.out(), 0), 0);
    DbWalk w;
    for (int r = w.first(cur.get(), ""); r == 0; r = w.next(cur.get())) {
      std::string name(w.key().substr(0, w.key().size() - 1));
      if (name.compare(0, 5, "user/") != 0) continue;
      std::string owner = name.substr(5, name.find('/', 5) - 5);
      std::string_view rest = w.data().substr(MBOXDATA_SIZE);
      std::string acl(rest.substr(rest.find('\0') + 1));
      acl = acl.c_str();
      for (size_t p = 0; p < acl.size();) {
        size_t t1 = acl.find('\t', p), t2 = acl.find('\t', t1 + 1);
        std::string id = acl.substr(p, t1 - p), rights = acl.substr(t1 + 1, t2 - t1 - 1);
        if (id != owner && id[0] != '-' && rights.find('l') != std::string::npos) want[id].insert(name);
        p = t2 + 1;
      }
    }
    return want;
  }
  static Lists stored() {
    Lists got;
    EXPECT_EQ(mboxlist_findlright(
                  [](const char* id, const char* list, size_t len, void* rock) {
                    auto& g = (*static_cast<Lists*>(rock))[id];
                    for (size_t off = 0; off < len; off += strlen(list + off) + 1) {
                      EXPECT_TRUE(g.insert(list + off).second) << "listed twice: " << list + off;
                    }
                    EXPECT_GT(len, 0u) << "empty list stored for " << id;
                    return 0;
                  },
                  &got),
              0);
    return got;
  }
};

TEST_F(LrightDb, ListsFollowTheAclsThroughGrantRevokeRenameDelete) {
  create("user/joe");
  create("user/ann");
  create("user/joe/x");
  create("user/joe/x/y");
  create("user/joe/z");
  struct Step {
    const char* what;
    std::function<int()> run;
  };
  const Step steps[] = {
      {"grant", [] { return mboxlist_setacl("user/joe/x", "ann", "lr", "joe", auth_dontCheckAcl); }},
      {"grant again", [] { return mboxlist_setacl("user/joe/x", "ann", "+l", "joe", auth_dontCheckAcl); }},
      {"group", [] { return mboxlist_setacl("user/joe/z", "group:staff", "lrs", "joe", auth_dontCheckAcl); }},
      {"child", [] { return mboxlist_setacl("user/joe/x/y", "ann", "lr", "joe", auth_dontCheckAcl); }},
      {"read only", [] { return mboxlist_setacl("user/joe/z", "ann", "r", "joe", auth_dontCheckAcl); }},
      {"rename", [] { return mboxlist_renamemailbox("user/joe/x", "user/joe/w", nullptr, nullptr, auth_dontCheckAcl); }},
      {"revoke", [] { return mboxlist_setacl("user/joe/w/y", "ann", "-l", "joe", auth_dontCheckAcl); }},
      {"delete", [] { return mboxlist_deletemailbox("user/joe/z", nullptr, auth_dontCheckAcl); }},
      {"rename user", [] { return mboxlist_renamemailbox("user/joe", "user/jim", nullptr, nullptr, auth_dontCheckAcl); }},
      {"rename grantee", [] { return mboxlist_renamemailbox("user/ann", "user/amy", nullptr, nullptr, auth_dontCheckAcl); }},
  };
  for (const Step& s : steps) {
    ASSERT_EQ(s.run(), 0) << s.what;
    EXPECT_EQ(stored(), recompute()) << "after " << s.what;
  }
  EXPECT_EQ(stored(), (Lists{{"amy", {"user/jim/w"}}}));
}

TEST_F(LrightDb, FixlrightKeepsOnlyFoldersStillShared) {
  create("user/joe");
  create("user/joe/x");
  create("user/joe/y");
  ASSERT_EQ(mboxlist_setacl("user/joe/x", "ann", "lr", "joe", auth_dontCheckAcl), 0);
  put_raw(mboxlist_lrightdb(), std::string("ann\0", 4), L({"user/joe/x", "user/joe/y", "user/gone"}));
  ASSERT_EQ(mboxlist_fixlright("ann", L({"user/n"}).data(), 7), 0);
  EXPECT_EQ(get_raw(mboxlist_lrightdb(), std::string("ann\0", 4)), L({"user/n", "user/joe/x"}));
  ASSERT_EQ(mboxlist_fixlright("ann", nullptr, 0), 0);
  ASSERT_EQ(mboxlist_setacl("user/joe/x", "ann", nullptr, "joe", auth_dontCheckAcl), 0);
  ASSERT_EQ(mboxlist_fixlright("ann", nullptr, 0), 0);
  EXPECT_EQ(get_raw(mboxlist_lrightdb(), std::string("ann\0", 4)), "<none>") << "an empty list is deleted";
}

TEST_F(LrightDb, AccessTimes) {
  create("user/joe");
  ASSERT_EQ(mboxlist_setaccesstime("joe", 1000, "imap"), 0);
  ASSERT_EQ(mboxlist_setaccesstime("user/joe", 2000, "http"), 0);
  ASSERT_EQ(mboxlist_setaccesstime("joe", 3000, "pop"), 0);
  EXPECT_EQ(mboxlist_setaccesstime("nobody", 1, "imap"), IMAP_QUOTAROOT_NONEXISTENT);
  char name[] = "joe";
  quotadata qd;
  ASSERT_EQ(mboxlist_getlastaccess(name, &qd), 0);
  EXPECT_EQ(qd.lastimapaccess, 1000u);
  EXPECT_EQ(qd.lasthttpaccess, 2000u);
  EXPECT_EQ(qd.lastuse, 3000u);
  // POP: a lower UID under the same UIDVALIDITY keeps the stored one.
  ASSERT_EQ(mboxlist_setlastuse("joe", 7, 50), 0);
  ASSERT_EQ(mboxlist_setlastuse("joe", 7, 40), 0);
  ASSERT_EQ(mboxlist_getlastaccess(name, &qd), 0);
  EXPECT_EQ(qd.pop_last_uid, 50u);
  ASSERT_EQ(mboxlist_setlastuse("joe", 8, 3), 0);
  ASSERT_EQ(mboxlist_getlastaccess(name, &qd), 0);
  EXPECT_EQ(qd.pop_last_uidvalidity, 8u);
  EXPECT_EQ(qd.pop_last_uid, 3u);
  EXPECT_GT(qd.lastuse, 3000u);
  EXPECT_EQ(mboxlist_setlastuse("nobody", 1, 1), IMAP_QUOTAROOT_NONEXISTENT);
  std::vector<std::string> roots;
  EXPECT_EQ(mboxlist_getallaccess(
                [](const char* root, uint32_t, uint32_t imap, uint32_t, void* rock) {
                  static_cast<std::vector<std::string>*>(rock)->push_back(root + std::string(":") +
                                                                            std::to_string(imap));
                },
                &roots),
            DB_NOTFOUND);
  EXPECT_EQ(roots, (std::vector<std::string>{"user/joe:1000"}));
  DB_TXN_STAT* ts = nullptr;
  EXPECT_EQ(mboxlist_getstat(nullptr, nullptr, nullptr, &ts), 0);
  free(ts);
}

}  // namespace
