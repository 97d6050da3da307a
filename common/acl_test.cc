// Tests of the rights layer (acl) and the identities it relies on (auth).
#include "common/acl.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "common/auth.h"
#include "common/config.h"
#include "common/imap_err.h"
#include "common/xmalloc.h"

namespace {

class AclTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(configmsg_init_text("service.defaultdomain = example.com\n"
                                  "store.admins =  root group:admins\tBoss@EXAMPLE.com anyone \n",
                                  "test", "orvtest"),
              0);
  }
  void TearDown() override { configmsg_free(); }

  static AuthStatePtr state(const char* user, const char* const* groups = nullptr) {
    auth_state* s = nullptr;
    EXPECT_EQ(auth_newstate(user, groups, &s), 0) << user;
    return AuthStatePtr(s);
  }
};

struct AclText {
  char* text;
  explicit AclText(const char* s) : text(xstrdup(s)) {}
  ~AclText() { free(text); }
  std::string str() const { return text; }
};

TEST_F(AclTest, RightsLettersAndBits) {
  struct {
    const char* letters;
    long mask;
  } cases[] = {
      {"", 0},      {"l", 0x1},   {"lrs", 0x7}, {"a", 0x100},    {"c", 0x40}, {"lrswipcda", 0x1ff},
      {"kx", 0x40}, {"te", 0x80}, {"l1z", 0x1}, {"aaal", 0x101},
  };
  for (const auto& c : cases) EXPECT_EQ(acl_strtomask(c.letters), c.mask) << c.letters;
  EXPECT_EQ(acl_strtomask(nullptr), 0);

  char buf[ACL_RIGHTS_BUF];
  EXPECT_STREQ(acl_masktostr(0x1ff, buf), "lrswipcda");
  EXPECT_STREQ(acl_masktostr(0x141, buf), "lca");
  EXPECT_STREQ(acl_masktostr(0, buf), "");
  EXPECT_STREQ(acl_masktostr(0xfe00 | 0x7, buf), "lrs");
}

TEST_F(AclTest, CanonicalIdentifiers) {
  struct {
    const char* in;
    const char* out;  // null: refused
  } cases[] = {
      {"joe", "joe"},
      {"ANYONE", "anyone"},
      {"Group:Staff", "group:Staff"},
      {"Joe@EXAMPLE.com", "Joe"},          // the default domain goes
      {"Joe@Other.ORG", "Joe@other.org"},  // any other is lower-cased
      {"a@b@Other.ORG", "a@b@other.org"},
      {"group:a/b", "group:a/b"},
      {"", nullptr},
      {"-joe", nullptr},  // marks negative rights
      {"a/b", nullptr},   // a user id is a name component
      {"..", nullptr},
      {".", nullptr},
      {"@example.com", nullptr},
      {"joe@", nullptr},
      {"group:", nullptr},
      {"jo\te", nullptr},
      {"jo\ne", nullptr},
      {"jo\x7f", nullptr},
  };
  for (const auto& c : cases) {
    char buf[AUTH_ID_MAX];
    int rc = auth_canonifyid(c.in, buf, sizeof buf);
    if (c.out) {
      EXPECT_EQ(rc, 0) << c.in;
      EXPECT_STREQ(buf, c.out) << c.in;
    } else {
      EXPECT_EQ(rc, IMAP_INVALID_IDENTIFIER) << c.in;
      EXPECT_STREQ(buf, "") << c.in;
    }
  }
  char buf[AUTH_ID_MAX];
  EXPECT_EQ(auth_canonifyid(std::string(127, 'u').c_str(), buf, sizeof buf), 0);
  EXPECT_EQ(auth_canonifyid(std::string(128, 'u').c_str(), buf, sizeof buf), IMAP_INVALID_IDENTIFIER);
  EXPECT_EQ(auth_canonifyid("joe", buf, 3), IMAP_INVALID_IDENTIFIER);  // no room for the NUL
  EXPECT_EQ(auth_canonifyid(nullptr, buf, sizeof buf), IMAP_INVALID_IDENTIFIER);
}

TEST_F(AclTest, StatesAndAdministrators) {
  const char* groups[] = {"staff", "group:Admins", nullptr};
  const char* admin_groups[] = {"admins", nullptr};
  auto joe = state("joe", groups);
  const char* const* ids = auth_getgroups(joe.get());
  ASSERT_STREQ(ids[0], "joe");
  ASSERT_STREQ(ids[1], "anyone");
  ASSERT_STREQ(ids[2], "group:staff");
  ASSERT_STREQ(ids[3], "group:Admins");
  EXPECT_EQ(ids[4], nullptr);
  EXPECT_EQ(auth_memberof(joe.get(), "group:staff"), 1);
  EXPECT_EQ(auth_memberof(joe.get(), "group:Staff"), 0);
  EXPECT_EQ(auth_memberof(joe.get(), "bob"), 0);

  EXPECT_EQ(auth_adminFor(joe.get(), "bob"), 0);  // group names keep their case
  EXPECT_EQ(auth_adminFor(state("root").get(), nullptr), 2);
  EXPECT_EQ(auth_adminFor(state("boss@example.COM").get(), "x"), 0);  // "boss" is not "Boss"
  EXPECT_EQ(auth_adminFor(state("Boss@example.COM").get(), "x"), 2);
  EXPECT_EQ(auth_adminFor(state("joe", admin_groups).get(), nullptr), 2);
  EXPECT_EQ(auth_adminFor(auth_dontCheckAcl, nullptr), 2);
  EXPECT_EQ(auth_adminFor(nullptr, nullptr), 0);
  EXPECT_STREQ(auth_userid(joe.get()), "joe");

  // A user may not pose as everyone or as a group.
  auth_state* s = nullptr;
  EXPECT_EQ(auth_newstate("Anyone", nullptr, &s), IMAP_INVALID_IDENTIFIER);
  EXPECT_EQ(auth_newstate("group:admins", nullptr, &s), IMAP_INVALID_IDENTIFIER);
  const char* empty_group[] = {"", nullptr};
  EXPECT_EQ(auth_newstate("joe", empty_group, &s), IMAP_INVALID_IDENTIFIER);
  EXPECT_EQ(s, nullptr);
  auth_freestate(auth_dontCheckAcl);  // harmless
}

TEST_F(AclTest, MyRights) {
  const char* groups[] = {"staff", nullptr};
  auto joe = state("joe", groups);
  auto bob = state("bob");
  struct {
    const char* acl;
    long joe;
    long bob;
  } cases[] = {
      {"", 0, 0},
      {"anyone\tl\tjoe\trs\tgroup:staff\tw\t", 0xf, 0x1},
      {"joe\tlrs\t-anyone\tr\t", 0x5, 0},
      {"-group:staff\tl\tjoe\tlr\tbob\tlr\t", 0x2, 0x3},
      {"JOE\tlrs\t", 0, 0},      // identifiers compare exactly
      {"joe\tlr", 0x3, 0},       // last TAB lost
      {"joe", 0, 0},             // rights lost
      {"\t\tjoe\tl\t", 0x1, 0},  // empty identifier skipped
      {"bob\tlrswipcda\t", 0, 0x1ff},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(acl_myrights(joe.get(), c.acl), c.joe) << c.acl;
    EXPECT_EQ(acl_myrights(bob.get(), c.acl), c.bob) << c.acl;
  }
  EXPECT_EQ(acl_myrights(auth_dontCheckAcl, ""), ACL_ALL);
  EXPECT_EQ(acl_myrights(nullptr, "anyone\tl\t"), 0);
  EXPECT_EQ(acl_myrights(joe.get(), nullptr), 0);
}

TEST_F(AclTest, ModifyKeepsOrderAndDropsEmptyEntries) {
  struct Step {
    const char* id;
    int mode;
    const char* rights;  // null: acl_remove
    const char* want;
  };
  const Step steps[] = {
      {"joe", ACL_MODE_SET, "lrs", "joe\tlrs\t"},
      {"ANYONE", ACL_MODE_SET, "l", "joe\tlrs\tanyone\tl\t"},
      {"joe", ACL_MODE_ADD, "wi", "joe\tlrswi\tanyone\tl\t"},
      {"joe", ACL_MODE_REMOVE, "l", "joe\trswi\tanyone\tl\t"},
      {"-Bob@Example.COM", ACL_MODE_SET, "r", "joe\trswi\tanyone\tl\t-Bob\tr\t"},
      {"joe", ACL_MODE_SET, "kxte", "joe\tcd\tanyone\tl\t-Bob\tr\t"},
      {"anyone", ACL_MODE_REMOVE, "l", "joe\tcd\t-Bob\tr\t"},
      {"-Bob", ACL_MODE_SET, nullptr, "joe\tcd\t"},
      {"nobody", ACL_MODE_SET, nullptr, "joe\tcd\t"},
      {"joe", ACL_MODE_SET, "", ""},
  };
  AclText acl("");
  for (const auto& s : steps) {
    int rc = s.rights ? acl_modify(&acl.text, s.id, s.mode, acl_strtomask(s.rights), nullptr, nullptr)
                      : acl_remove(&acl.text, s.id, nullptr, nullptr);
    ASSERT_EQ(rc, 0) << s.id;
    EXPECT_EQ(acl.str(), s.want) << s.id;
  }
}

TEST_F(AclTest, ModifyRefusesBadIdentifiersAndLeavesTheAclAlone) {
  const std::string long_id(200, 'x');
  const char* bad[] = {"", "-", "a\tb", "x/y", "group:", long_id.c_str(), "--joe"};
  AclText acl("anyone\tlrs\t");
  for (const char* id : bad) {
    EXPECT_EQ(acl_modify(&acl.text, id, ACL_MODE_SET, ACL_ALL, nullptr, nullptr), IMAP_INVALID_IDENTIFIER) << id;
    EXPECT_EQ(acl.str(), "anyone\tlrs\t");
  }
  EXPECT_EQ(acl_remove(&acl.text, nullptr, nullptr, nullptr), IMAP_INVALID_IDENTIFIER);
}

TEST_F(AclTest, CanonprocSeesTheNewRights) {
  // Keeps lookup, create and administer for "joe", as the store does for
  // the owner of a folder.
  auto keep_owner = [](const void* rock, const char* id, long rights) -> long {
    return strcmp(id, static_cast<const char*>(rock)) == 0 ? rights | 0x141 : rights;
  };
  AclText acl("joe\tlrswipcda\tbob\tl\t");
  ASSERT_EQ(acl_remove(&acl.text, "joe", keep_owner, "joe"), 0);
  EXPECT_EQ(acl.str(), "joe\tlca\tbob\tl\t");
  ASSERT_EQ(acl_modify(&acl.text, "joe", ACL_MODE_REMOVE, ACL_ALL, keep_owner, "joe"), 0);
  EXPECT_EQ(acl.str(), "joe\tlca\tbob\tl\t");
  ASSERT_EQ(acl_remove(&acl.text, "bob", keep_owner, "joe"), 0);
  EXPECT_EQ(acl.str(), "joe\tlca\t");
}

TEST_F(AclTest, Shared) {
  struct {
    const char* acl;
    int shared;
  } cases[] = {
      {"", 0},
      {"joe\tlrswipcda\t", 0},
      {"joe\tlrs\tbob\trs\t", 0},  // bob cannot see it
      {"joe\tlrs\tbob\tl\t", 1},
      {"joe\tlrs\t-bob\tl\t", 0},
      {"anyone\tlrs\t", 1},
      {"group:staff\tl\t", 1},
  };
  for (const auto& c : cases) EXPECT_EQ(acl_isshared(c.acl, "joe"), c.shared) << c.acl;
}

TEST_F(AclTest, IdentifiersMatchAsWholeEntries) {
  struct {
    const char* acl;
    const char* id;
    int found;
  } cases[] = {
      {"b\tlrswipcda\t", "a", 0},  // the rights hold an 'a', no entry is "a"
      {"ann\tlrs\tbob\tl\t", "a", 0},
      {"ann\tlrs\tbob\tl\t", "an", 0},
      {"ann\tlrs\tbob\tl\t", "bob", 1},
      {"ann\tlrs\ta\tl\t", "a", 1},
      {"-a\tl\t", "a", 0},
      {"-a\tl\t", "-a", 1},
      {"joe\tlrs", "joe", 1},  // a stored entry that lost its last TAB
      {"joe\tlrs\t", "", 0},
      {"", "a", 0},
  };
  for (const auto& c : cases) EXPECT_EQ(acl_has_identifier(c.acl, c.id), c.found) << c.acl << " / " << c.id;
}

}  // namespace
