// The directory client library missing (a broken installation): built with
// the loader pointed at a library that does not exist, every call fails as
// libldap itself reports failures, and the pool says why, instead of a crash
// at the first lookup.
#include <gtest/gtest.h>
#include <ldap.h>

#include <string>

#include "common/imap_err.h"
#include "common/ldpool.h"

namespace {

TEST(LdapLoad, AMissingLibraryFailsEveryCallCleanly) {
  LDAP* ld = reinterpret_cast<LDAP*>(1);
  EXPECT_EQ(ldap_initialize(&ld, "ldap://127.0.0.1:389"), LDAP_NOT_SUPPORTED);
  EXPECT_EQ(ld, reinterpret_cast<LDAP*>(1)) << "the handle must be left alone";
  const int version = LDAP_VERSION3;
  EXPECT_EQ(ldap_set_option(nullptr, LDAP_OPT_PROTOCOL_VERSION, &version), LDAP_OPT_ERROR);
  ASSERT_NE(ldap_err2string(LDAP_NOT_SUPPORTED), nullptr);
  EXPECT_NE(std::string(ldap_err2string(LDAP_NOT_SUPPORTED)).find("could not be loaded"), std::string::npos);
  LDAPDN dn = nullptr;
  EXPECT_NE(ldap_str2dn("uid=a,o=isp", &dn, LDAP_DN_FORMAT_LDAPV3), LDAP_SUCCESS);
  EXPECT_EQ(dn, nullptr);
  ldap_memfree(nullptr);
  ldap_value_free_len(nullptr);
}

TEST(LdapLoad, APoolWithoutTheLibraryIsRefusedWithAReason) {
  LdPoolConfig cfg;
  cfg.host = "127.0.0.1";
  cfg.port = 389;
  LdPoolPtr pool;
  EXPECT_EQ(ldpool_new(cfg, &pool), IMAP_CONFIG_ERROR);
  EXPECT_EQ(pool, nullptr);
}

}  // namespace
