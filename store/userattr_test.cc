#include "store/userattr.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/config.h"
#include "common/dmap.h"
#include "common/imap_err.h"
#include "common/ldpool.h"
#include "common/slapd_testutil.h"

namespace {

// Two domains besides the default one: other.org joins uids with '+',
// nosep.net keeps the bare local part.  Hostile values are base64.
constexpr const char kLdif[] =
    "dn: o=internet\nobjectClass: organization\no: internet\n\n"
    "dn: dc=com,o=internet\nobjectClass: domain\ndc: com\n\n"
    "dn: dc=example,dc=com,o=internet\nobjectClass: domain\nobjectClass: inetDomain\ndc: example\n"
    "inetDomainBaseDN: o=example,o=isp\n\n"
    "dn: dc=org,o=internet\nobjectClass: domain\ndc: org\n\n"
    "dn: dc=other,dc=org,o=internet\nobjectClass: domain\nobjectClass: inetDomain\ndc: other\n"
    "inetDomainBaseDN: o=other,o=isp\ndomainUidSeparator: +\n\n"
    "dn: dc=net,o=internet\nobjectClass: domain\ndc: net\n\n"
    "dn: dc=nosep,dc=net,o=internet\nobjectClass: domain\nobjectClass: inetDomain\ndc: nosep\n"
    "inetDomainBaseDN: o=nosep,o=isp\n\n"
    "dn: o=isp\nobjectClass: organization\no: isp\n\n"
    "dn: o=example,o=isp\nobjectClass: organization\no: example\n\n"
    "dn: o=other,o=isp\nobjectClass: organization\no: other\n\n"
    "dn: o=nosep,o=isp\nobjectClass: organization\no: nosep\n\n"
    "dn: uid=joe,o=example,o=isp\nobjectClass: inetOrgPerson\nobjectClass: corvaneMailUser\nuid: joe\ncn: J\nsn: J\n"
    "mailhost: mail1.example.com\nmailhost: mail2.example.com\nmailmessagestore: /var/store/Part_2/\n"
    "preferredLanguage: FR-ca\n"
    "mail:: am9AZXhhbXBsZS5jb20NCkJjYzogZXZpbEBleGFtcGxlLmNvbQ==\n"  // "jo@example.com\r\nBcc: evil@..."
    "mailquota: 10M\nmailmsgquota: 500\nmailuserstatus: active\naclGroupAddr: staff@example.com\n\n"
    "dn: uid=jo\\+other.org,o=other,o=isp\nobjectClass: inetOrgPerson\nobjectClass: corvaneMailUser\n"
    "uid: jo+other.org\ncn: J\nsn: J\nmailhost: other-host\nmail: jo@other.org\n\n"
    "dn: uid=ann,o=nosep,o=isp\nobjectClass: inetOrgPerson\nobjectClass: corvaneMailUser\nuid: ann\ncn: A\nsn: A\n"
    "mailquota: 1G\n\n"
    "dn: cn=dup1,o=example,o=isp\nobjectClass: inetOrgPerson\nuid: dup\ncn: dup1\nsn: D\n\n"
    "dn: cn=dup2,o=example,o=isp\nobjectClass: inetOrgPerson\nuid: dup\ncn: dup2\nsn: D\n\n"
    "dn: uid=bin,o=example,o=isp\nobjectClass: inetOrgPerson\nobjectClass: corvaneMailUser\nuid: bin\ncn: B\nsn: B\n"
    "mailhost:: bWFpbABldmls\nmailhost: good-host\n"  // "mail\0evil"
    "preferredLanguage: en,de\nmail: bin@example.com\n";

class UserattrSlapd : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(slapd_.start({"o=internet", "o=isp"}));
    ASSERT_TRUE(slapd_.load(kLdif));
    ASSERT_EQ(configmsg_init_text("service.defaultdomain = example.com\n", "test", "uatest"), 0);
    LdPoolConfig cfg;
    cfg.host = "127.0.0.1";
    cfg.port = std::stoi(slapd_.port());
    cfg.op_timeout_s = 5;
    ASSERT_EQ(ldpool_new(cfg, &pool_), 0);
    DmapConfig dcfg;
    dcfg.dcroot = "o=internet";
    ASSERT_EQ(dmap_new(pool_.get(), dcfg, &dmap_), 0);
    ASSERT_EQ(userattr_init(pool_.get(), dmap_.get()), 0);
  }
  void TearDown() override {
    userattr_exit();
    configmsg_free();
  }
  TestSlapd slapd_;
  LdPoolPtr pool_;
  DmapPtr dmap_;
};

using Values = std::vector<std::string>;

TEST_F(UserattrSlapd, ReadsTheAttributesInOrderAndDropsUnsafeValues) {
  UserAttrs a;
  ASSERT_EQ(userattr_get("joe", &a), 0);
  EXPECT_EQ(a.dn, "uid=joe,o=example,o=isp");
  EXPECT_EQ(a.values[kAttrMailHost], (Values{"mail1.example.com", "mail2.example.com"}));
  EXPECT_EQ(a.values[kAttrMailMessageStore], (Values{"/var/store/Part_2/"}));
  EXPECT_EQ(a.values[kAttrPreferredLanguage], (Values{"FR-ca"}));
  EXPECT_TRUE(a.values[kAttrMail].empty());  // CR LF: a header injection, absent
  EXPECT_EQ(a.first(kAttrMail), nullptr);
  EXPECT_EQ(a.values[kAttrMailQuota], (Values{"10M"}));
  EXPECT_EQ(a.values[kAttrMailMsgQuota], (Values{"500"}));
  EXPECT_EQ(a.values[kAttrMailUserStatus], (Values{"active"}));
  EXPECT_EQ(a.values[kAttrAclGroupAddr], (Values{"staff@example.com"}));
  EXPECT_EQ(userattr_pref_lang(&a), "fr-ca");
  // The default domain may also be spelled out.
  UserAttrs b;
  EXPECT_EQ(userattr_get("joe@EXAMPLE.com", &b), IMAP_MAILBOX_NONEXISTENT);  // uid is "joe", not "joe@..."

  ASSERT_EQ(userattr_get("bin", &a), 0);
  EXPECT_EQ(a.values[kAttrMailHost], (Values{"good-host"}));  // the value with NUL is gone
  EXPECT_EQ(userattr_pref_lang(&a), std::nullopt);            // "en,de" is no language tag

  userattr_free(&a);
  EXPECT_TRUE(a.dn.empty());
  EXPECT_EQ(a.first(kAttrMail), nullptr);
}

TEST_F(UserattrSlapd, OversizedValuesReadAsAbsent) {
  ASSERT_TRUE(
      slapd_.modify("dn: uid=ann,o=nosep,o=isp\nchangetype: modify\nreplace: mailmessagestore\n"
                    "mailmessagestore: " +
                    std::string(USERATTR_MAX_VALUE + 1, 'p') + "\n"));
  UserAttrs a;
  ASSERT_EQ(userattr_get("ann@nosep.net", &a), 0);
  EXPECT_TRUE(a.values[kAttrMailMessageStore].empty());
  EXPECT_EQ(a.values[kAttrMailQuota], (Values{"1G"}));
}

TEST_F(UserattrSlapd, OtherDomainsUseTheirBaseAndSeparator) {
  UserAttrs a;
  ASSERT_EQ(userattr_get("jo@other.org", &a), 0);        // uid=jo+other.org
  EXPECT_EQ(a.dn, "uid=jo\\2Bother.org,o=other,o=isp");  // as the server spells it
  EXPECT_EQ(a.values[kAttrMail], (Values{"jo@other.org"}));
  ASSERT_EQ(userattr_get("ann@nosep.net", &a), 0);  // uid=ann
  EXPECT_EQ(a.dn, "uid=ann,o=nosep,o=isp");
  EXPECT_EQ(userattr_get("ann", &a), IMAP_MAILBOX_NONEXISTENT);  // not under the default domain
  EXPECT_EQ(userattr_get("ann@unknown.net", &a), IMAP_MAILBOX_NONEXISTENT);

  std::vector<std::vector<std::string>> vals;
  std::string dn;
  ASSERT_EQ(userattr_get_attrs("ann@nosep.net", {"mailquota", "cn", "nosuchattr"}, &vals, &dn), 0);
  EXPECT_EQ(vals, (std::vector<Values>{{"1G"}, {"A"}, {}}));
  EXPECT_EQ(dn, "uid=ann,o=nosep,o=isp");
}

TEST_F(UserattrSlapd, NoneOrSeveralEntriesMeanNoSuchUserAndAnOutageIsTemporary) {
  UserAttrs a;
  EXPECT_EQ(userattr_get("nobody", &a), IMAP_MAILBOX_NONEXISTENT);
  EXPECT_EQ(userattr_get("dup", &a), IMAP_MAILBOX_NONEXISTENT);
  // Filter syntax in an id is matched literally.
  EXPECT_EQ(userattr_get("x)(|(uid=joe)", &a), IMAP_MAILBOX_NONEXISTENT);
  EXPECT_EQ(userattr_get("joe)(uid=joe", &a), IMAP_MAILBOX_NONEXISTENT);
  ASSERT_TRUE(slapd_.stop());
  const int r = userattr_get("joe", &a);
  EXPECT_EQ(r, IMAP_TEMP_AUTH_FAILURE);
  EXPECT_TRUE(error_is_temporary(r));
  EXPECT_EQ(userattr_get("jo@other.org", &a), IMAP_TEMP_AUTH_FAILURE);  // the domain lookup too
  EXPECT_TRUE(a.dn.empty());
}

TEST_F(UserattrSlapd, BadUserIdsAreRefusedBeforeAnyLookup) {
  userattr_exit();  // no directory at all: only the id check can answer
  UserAttrs a;
  for (const std::string& id :
       {std::string(""), std::string("a/b"), std::string("jo*"), std::string("*"), std::string("a)(uid=*"),
        std::string("x\r\nBcc: y"), std::string("n\0ul", 4), std::string(129, 'u'), std::string("@example.com")}) {
    EXPECT_EQ(userattr_get(id, &a), IMAP_INVALID_USER) << id;
  }
  EXPECT_EQ(userattr_get("joe", &a), IMAP_CONFIG_ERROR);
}

TEST_F(UserattrSlapd, TheDirectoryComesFromTheConfiguration) {
  userattr_exit();
  configmsg_free();
  ASSERT_EQ(configmsg_init_text("local.ugldaphost = 127.0.0.1\nlocal.ugldapport = " + slapd_.port() +
                                    "\nlocal.ugldapbinddn = " + slapd_.rootdn() +
                                    "\nlocal.ugldapbindcred = " + slapd_.rootpw() +
                                    "\nservice.dcroot = o=internet\nservice.defaultdomain = example.com\n",
                                "test", "uatest"),
            0);
  ASSERT_EQ(userattr_init(nullptr, nullptr), 0);
  UserAttrs a;
  ASSERT_EQ(userattr_get("joe", &a), 0);
  EXPECT_EQ(a.values[kAttrMailQuota], (Values{"10M"}));
  ASSERT_EQ(ldpool_replace(userattr_pool(), a.dn, store_ldapattrs[kAttrMailUserStatus], {"overquota"}), 0);
  ASSERT_EQ(userattr_get("joe", &a), 0);
  EXPECT_EQ(a.values[kAttrMailUserStatus], (Values{"overquota"}));

  // Without a host there is no directory, and later calls say so again.
  userattr_exit();
  configmsg_free();
  ASSERT_EQ(configmsg_init_text("service.dcroot = o=internet\n", "test", "uatest"), 0);
  EXPECT_EQ(userattr_init(nullptr, nullptr), IMAP_CONFIG_ERROR);
  EXPECT_EQ(userattr_init(nullptr, nullptr), IMAP_CONFIG_ERROR);
  EXPECT_EQ(userattr_get("joe", &a), IMAP_CONFIG_ERROR);
}

TEST(Userattr, AttributeNamesInTheirFixedOrder) {
  const char* expected[] = {"mailhost",  "mailmessagestore", "preferredlanguage", "mail",
                            "mailquota", "mailmsgquota",     "mailuserstatus",    "aclGroupAddr"};
  ASSERT_EQ(static_cast<int>(std::size(expected)), kUserAttrCount);
  for (int i = 0; i < kUserAttrCount; ++i) EXPECT_STREQ(store_ldapattrs[i], expected[i]);
  UserAttrs a;
  a.values[kAttrPreferredLanguage] = {"fr;binary"};
  EXPECT_EQ(userattr_pref_lang(&a), std::nullopt);
  a.values[kAttrPreferredLanguage] = {std::string(36, 'a')};
  EXPECT_EQ(userattr_pref_lang(&a), std::nullopt);
  a.values[kAttrPreferredLanguage] = {"DE-at", "fr"};
  EXPECT_EQ(userattr_pref_lang(&a), "de-at");
  EXPECT_EQ(userattr_pref_lang(nullptr), std::nullopt);
}

}  // namespace
