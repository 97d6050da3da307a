#include "pop/login.h"

#include <gtest/gtest.h>
#include <sasl/sasl.h>

#include "common/config.h"

// A wrong password, an unknown user and a refused authorization id must
// look the same to a client; only trouble on our side reads otherwise.
TEST(LoginResponses, OneTextPerClassOfFailure) {
  for (int r : {SASL_BADAUTH, SASL_NOUSER, SASL_NOAUTHZ, SASL_EXPIRED, SASL_DISABLED, SASL_BADPROT, SASL_NOMECH})
    EXPECT_EQ(auth_failure_response(r), "-ERR [AUTH] Authentication failed.") << r;
  for (int r : {SASL_NOMEM, SASL_TRYAGAIN, SASL_UNAVAIL})
    EXPECT_EQ(auth_failure_response(r), "-ERR [SYS/TEMP] Temporary authentication failure.") << r;
  for (int r : {SASL_FAIL, SASL_BADVERS, SASL_NOVERIFY})
    EXPECT_EQ(auth_failure_response(r), "-ERR [SYS/PERM] Authentication failed.") << r;
}

TEST(LoginPolicy, PlaintextOnlyWhenProtectedOrLocal) {
  EXPECT_FALSE(plaintext_allowed(PlaintextLogin::kTls, false, false));
  EXPECT_TRUE(plaintext_allowed(PlaintextLogin::kTls, true, false));
  EXPECT_TRUE(plaintext_allowed(PlaintextLogin::kTls, false, true));
  EXPECT_TRUE(plaintext_allowed(PlaintextLogin::kAlways, false, false));
}

TEST(LoginUserid, DefaultDomainIsCutAndOthersRefused) {
  ASSERT_EQ(configmsg_init_text("service.defaultdomain = example.com\n", "test", "t"), 0);
  EXPECT_EQ(login_userid("joe"), "joe");
  EXPECT_EQ(login_userid("joe@EXAMPLE.com"), "joe");
  EXPECT_EQ(login_userid("joe@Other.Org"), "joe@other.org");
  for (const char* bad : {"", "a/b", "..", "anyone", "Anyone", "group:staff", "-x", "joe@"})
    EXPECT_FALSE(login_userid(bad).has_value()) << bad;
  EXPECT_FALSE(login_userid(std::string("jo\0e", 4)).has_value());
  EXPECT_FALSE(login_userid(std::string(200, 'a')).has_value());
}

TEST(LoginLogText, ControlCharactersAreEscapedAndLengthBounded) {
  EXPECT_EQ(printable("joe"), "joe");
  EXPECT_EQ(printable("a\r\nb\x1b\\"), "a\\x0D\\x0Ab\\x1B\\x5C");
  EXPECT_EQ(printable("\xc3\xa9"), "\\xC3\\xA9");
  EXPECT_EQ(printable(std::string(300, 'x')), std::string(128, 'x') + "...");
}

// A certificate's UID names the account; failing that, its first e-mail
// address, the default domain cut off.  A UID that is no valid user id
// does not fall back to the address.
TEST(LoginCertificate, UidThenFirstEmailAddress) {
  ASSERT_EQ(configmsg_init_text("service.defaultdomain = example.com\n", "test", "t"), 0);
  using V = std::vector<std::string>;
  EXPECT_EQ(cert_userid("ann", V{"joe@example.com"}), "ann");
  EXPECT_EQ(cert_userid("", V{"joe@example.com", "ann@example.com"}), "joe");
  EXPECT_EQ(cert_userid("", V{"joe@other.org"}), "joe@other.org");
  EXPECT_EQ(cert_userid("ann@EXAMPLE.COM", V{}), "ann");
  EXPECT_FALSE(cert_userid("", V{}).has_value());
  for (const char* bad : {"anyone", "group:staff", "a/b", "..", "-x", "jo\ne"})
    EXPECT_FALSE(cert_userid(bad, V{"joe@example.com"}).has_value()) << bad;
  EXPECT_FALSE(cert_userid("", V{"anyone"}).has_value());
}
