#include "common/dmap.h"

#include <gtest/gtest.h>

#include "common/config.h"
#include "common/imap_err.h"
#include "common/slapd_testutil.h"
#include "common/test_util.h"

namespace {

DmapConfig config(const std::string& dcroot) {
  DmapConfig cfg;
  cfg.dcroot = dcroot;
  return cfg;
}

TEST(Dmap, DomainNamesBecomeEscapedDcNames) {
  LdPoolConfig pcfg;
  pcfg.host = "127.0.0.1";
  LdPoolPtr pool;
  ASSERT_EQ(ldpool_new(pcfg, &pool), 0);
  DmapPtr map;
  ASSERT_EQ(dmap_new(pool.get(), config("o=internet"), &map), 0);
  const struct {
    const char* domain;
    const char* dn;  // null: refused
  } cases[] = {
      {"example.com", "dc=example,dc=com,o=internet"},
      {"host", "dc=host,o=internet"},
      {"a+b.c,d", "dc=a\\+b,dc=c\\,d,o=internet"},
      {"x=y.#z", "dc=x=y,dc=\\#z,o=internet"},
      {"", nullptr},
      {"a..b", nullptr},
      {".a", nullptr},
      {"a.", nullptr},
      {"a b.c", nullptr},
      {"a\r\nb", nullptr},
  };
  for (const auto& c : cases) {
    std::string dn;
    const int r = dmap_domain_dn(map.get(), c.domain, &dn);
    if (c.dn) {
      EXPECT_EQ(r, 0) << c.domain;
      EXPECT_EQ(dn, c.dn);
    } else {
      EXPECT_EQ(r, IMAP_INVALID_USER) << c.domain;
    }
  }
  std::string dn;
  EXPECT_EQ(dmap_domain_dn(map.get(), std::string(63, 'a') + ".com", &dn), 0);
  EXPECT_EQ(dmap_domain_dn(map.get(), std::string(64, 'a') + ".com", &dn), IMAP_INVALID_USER);
  std::string longest;
  for (int i = 0; i < 63; ++i) longest += "abc.";
  EXPECT_EQ(dmap_domain_dn(map.get(), longest + "abc", &dn), 0);                   // 255 bytes
  EXPECT_EQ(dmap_domain_dn(map.get(), longest + "abcd", &dn), IMAP_INVALID_USER);  // 256

  // Only schema level 1, a real dcroot and a parenthesised filter.
  DmapConfig bad = config("o=internet");
  bad.schema_level = 2;
  EXPECT_EQ(dmap_new(pool.get(), bad, &map), IMAP_CONFIG_ERROR);
  EXPECT_EQ(dmap_new(pool.get(), config(""), &map), IMAP_CONFIG_ERROR);
  EXPECT_EQ(dmap_new(pool.get(), config("not a dn"), &map), IMAP_CONFIG_ERROR);
  bad = config("o=internet");
  bad.filter = "objectClass=inetDomain";
  EXPECT_EQ(dmap_new(pool.get(), bad, &map), IMAP_CONFIG_ERROR);
}

TEST(Dmap, SettingsComeFromTheConfigurationAndOptionFile) {
  TempDir root;
  ASSERT_EQ(system(("mkdir -p '" + root.path() + "/config'").c_str()), 0);
  write_text_file(root / "config/option.dat",
                  "LDAP_DOMAIN_FILTER_SCHEMA1 = (objectClass=domain)\nLDAP_DOMAIN_ATTR_BASEDN = seeAlso\n");
  ASSERT_EQ(configmsg_init_text(
                "local.serverroot = " + root.path() + "\nservice.dcroot = o=internet\nlocal.domainmap.debuglevel = 2\n",
                "test", "dmtest"),
            0);
  DmapConfig cfg;
  const int r = dmap_config_from_settings(&cfg);
  configmsg_free();
  ASSERT_EQ(r, 0);
  EXPECT_EQ(cfg.dcroot, "o=internet");
  EXPECT_EQ(cfg.schema_level, 1);
  EXPECT_EQ(cfg.filter, "(objectClass=domain)");
  EXPECT_EQ(cfg.basedn_attr, "seeAlso");
  EXPECT_EQ(cfg.debuglevel, 2);
}

constexpr const char kLdif[] =
    "dn: o=internet\nobjectClass: organization\no: internet\n\n"
    "dn: dc=com,o=internet\nobjectClass: domain\ndc: com\n\n"
    "dn: dc=example,dc=com,o=internet\nobjectClass: domain\nobjectClass: inetDomain\ndc: example\n"
    "inetDomainBaseDN: o=example,o=isp\npreferredLanguage: fr\ndomainUidSeparator: +\n"
    "mailDomainWelcomeMessage: Welcome\nmailDomainWelcomeMessage;lang-fr: Bienvenue\n\n"
    "dn: dc=self,dc=com,o=internet\nobjectClass: domain\nobjectClass: inetDomain\ndc: self\n\n"
    "dn: dc=plain,dc=com,o=internet\nobjectClass: domain\ndc: plain\n\n"
    "dn: o=isp\nobjectClass: organization\no: isp\n";

class DmapSlapd : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(slapd_.start({"o=internet", "o=isp"}));
    ASSERT_TRUE(slapd_.load(kLdif));
    LdPoolConfig pcfg;
    pcfg.host = "127.0.0.1";
    pcfg.port = std::stoi(slapd_.port());
    pcfg.op_timeout_s = 5;
    ASSERT_EQ(ldpool_new(pcfg, &pool_), 0);  // anonymous
  }
  TestSlapd slapd_;
  LdPoolPtr pool_;
};

TEST_F(DmapSlapd, LocatesDomainsAndTheirBaseDn) {
  DmapPtr map;
  ASSERT_EQ(dmap_new(pool_.get(), config("o=internet"), &map), 0);
  DmapDomain d;
  ASSERT_EQ(dmap_locate_domain(map.get(), "example.com", &d), 0);
  EXPECT_EQ(d.entry.dn, "dc=example,dc=com,o=internet");
  EXPECT_EQ(d.basedn, "o=example,o=isp");
  ASSERT_NE(d.first("domainUidSeparator"), nullptr);
  EXPECT_EQ(*d.first("domainUidSeparator"), "+");
  ASSERT_NE(d.first("mailDomainWelcomeMessage;lang-fr"), nullptr);
  EXPECT_EQ(*d.first("maildomainwelcomemessage;LANG-FR"), "Bienvenue");
  EXPECT_EQ(*d.first("mailDomainWelcomeMessage"), "Welcome");

  ASSERT_EQ(dmap_locate_domain(map.get(), "SELF.com", &d), 0);
  EXPECT_EQ(d.basedn, "dc=self,dc=com,o=internet");  // no inetDomainBaseDN: the entry itself

  EXPECT_EQ(dmap_locate_domain(map.get(), "plain.com", &d), IMAP_MAILBOX_NONEXISTENT);  // not an inetDomain
  EXPECT_EQ(dmap_locate_domain(map.get(), "nowhere.com", &d), IMAP_MAILBOX_NONEXISTENT);
  // A label that would add an RDN if it were not escaped.
  EXPECT_EQ(dmap_locate_domain(map.get(), "example,dc=com", &d), IMAP_MAILBOX_NONEXISTENT);
  EXPECT_EQ(dmap_locate_domain(map.get(), "a<b>.com", &d), IMAP_MAILBOX_NONEXISTENT);  // no DN syntax error

  DmapConfig other = config("o=internet");
  other.filter = "(objectClass=domain)";
  ASSERT_EQ(dmap_new(pool_.get(), other, &map), 0);
  EXPECT_EQ(dmap_locate_domain(map.get(), "plain.com", &d), 0);

  ASSERT_TRUE(slapd_.stop());
  EXPECT_EQ(dmap_locate_domain(map.get(), "example.com", &d), IMAP_TEMP_AUTH_FAILURE);
}

// A domain found is read again only after the cache time: every user lookup
// starts with its domain, so without it provisioning costs two round trips.
TEST_F(DmapSlapd, FoundDomainsAreKeptForTheCacheTime) {
  DmapPtr cached, fresh;
  ASSERT_EQ(dmap_new(pool_.get(), config("o=internet"), &cached), 0);
  DmapConfig nocache = config("o=internet");
  nocache.cache_seconds = 0;
  ASSERT_EQ(dmap_new(pool_.get(), nocache, &fresh), 0);
  DmapDomain d;
  ASSERT_EQ(dmap_locate_domain(cached.get(), "example.com", &d), 0);
  EXPECT_EQ(dmap_locate_domain(cached.get(), "nowhere.com", &d), IMAP_MAILBOX_NONEXISTENT);
  ASSERT_TRUE(slapd_.stop());
  ASSERT_EQ(dmap_locate_domain(cached.get(), "Example.COM", &d), 0);
  EXPECT_EQ(d.name, "Example.COM");
  EXPECT_EQ(d.basedn, "o=example,o=isp");
  EXPECT_EQ(*d.first("domainUidSeparator"), "+");
  // Failures were not kept, and a map without a cache asks every time.
  EXPECT_EQ(dmap_locate_domain(cached.get(), "nowhere.com", &d), IMAP_TEMP_AUTH_FAILURE);
  EXPECT_EQ(dmap_locate_domain(fresh.get(), "example.com", &d), IMAP_TEMP_AUTH_FAILURE);
}

}  // namespace
