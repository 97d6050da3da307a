#include "common/ldpool.h"

#include <gtest/gtest.h>
#include <ldap.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "common/bvlog.h"
#include "common/config.h"
#include "common/imap_err.h"
#include "common/slapd_testutil.h"
#include "common/test_util.h"
#include "common/unique_fd.h"

namespace {

// RFC 4515 section 4 examples, and the characters it names.
TEST(LdapEscape, FilterValuesFollowRfc4515) {
  const struct {
    std::string in, out;
  } cases[] = {
      {"Parens R Us (for all your parenthetical needs)", "Parens R Us \\28for all your parenthetical needs\\29"},
      {"*", "\\2a"},
      {"C:\\MyFile", "C:\\5cMyFile"},
      {std::string("\0\0\0\4", 4), std::string("\\00\\00\\00\4")},
      {"jo*", "jo\\2a"},
      {"a)(uid=*", "a\\29\\28uid=\\2a"},
      {"Lu\xc4\x8di\xc4\x87", "Lu\xc4\x8di\xc4\x87"},  // UTF-8 needs no escape
      {"", ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ldap_filter_escape(c.in), c.out) << c.in;
    // libldap's own escaper agrees on what must be escaped.
    berval in{c.in.size(), const_cast<char*>(c.in.data())};
    berval out{};
    ASSERT_EQ(ldap_bv2escaped_filter_value(&in, &out), 0);
    std::string theirs(out.bv_val, out.bv_len);
    ber_memfree(out.bv_val);
    std::string ours = ldap_filter_escape(c.in);
    for (auto* s : {&theirs, &ours}) {
      for (char& ch : *s) ch = static_cast<char>(tolower(static_cast<unsigned char>(ch)));
    }
    // libldap also escapes bytes outside ASCII, which RFC 4515 allows.
    const bool ascii = std::all_of(c.in.begin(), c.in.end(), [](char ch) { return ch >= 0x20 || ch == 0; });
    if (ascii) {
      EXPECT_EQ(ours, theirs) << c.in;
    }
  }
}

// RFC 4514 section 4 examples; every escaped value parses back (libldap's
// DN parser) to exactly the value given.
TEST(LdapEscape, DnValuesFollowRfc4514AndParseBack) {
  EXPECT_EQ(ldap_dn_escape("James \"Jim\" Smith, III"), "James \\\"Jim\\\" Smith\\, III");
  EXPECT_EQ(ldap_dn_escape("Before\rAfter"), "Before\\0dAfter");
  EXPECT_EQ(ldap_dn_escape("#lead"), "\\#lead");
  EXPECT_EQ(ldap_dn_escape(" both "), "\\ both\\ ");
  EXPECT_EQ(ldap_dn_escape("mid#dle"), "mid#dle");
  const std::string hostile[] = {
      "a,dc=evil", "x+cn=y", "semi;colon", "<>\\", "\"q\"", " sp", "sp ", "#x", std::string("n\0ul", 4), "plain-label"};
  for (const auto& v : hostile) {
    const std::string dn = "dc=" + ldap_dn_escape(v) + ",o=isp";
    LDAPDN parsed = nullptr;
    ASSERT_EQ(ldap_str2dn(dn.c_str(), &parsed, LDAP_DN_FORMAT_LDAPV3), LDAP_SUCCESS) << dn;
    ASSERT_NE(parsed, nullptr);
    int rdns = 0;
    while (parsed[rdns]) ++rdns;
    EXPECT_EQ(rdns, 2) << dn;
    EXPECT_EQ(parsed[0][1], nullptr) << dn;  // one value: no '+' leaked through
    EXPECT_EQ(std::string(parsed[0][0]->la_value.bv_val, parsed[0][0]->la_value.bv_len), v) << dn;
    ldap_dnfree(parsed);
  }
}

// A directory that is down, busy or slow must never read as "no such user".
TEST(LdpoolError, TransportFailuresAreTemporary) {
  for (int rc : {LDAP_SERVER_DOWN, LDAP_CONNECT_ERROR, LDAP_TIMEOUT, LDAP_TIMELIMIT_EXCEEDED, LDAP_BUSY,
                 LDAP_UNAVAILABLE, LDAP_UNWILLING_TO_PERFORM, LDAP_ADMINLIMIT_EXCEEDED, LDAP_INVALID_CREDENTIALS,
                 LDAP_LOCAL_ERROR, LDAP_NO_MEMORY, LDAP_OTHER}) {
    const int code = ldpool_error(rc);
    EXPECT_EQ(code, IMAP_TEMP_AUTH_FAILURE) << ldap_err2string(rc);
    EXPECT_TRUE(error_is_temporary(code)) << ldap_err2string(rc);
    EXPECT_EQ(error_exit_status(code), 75) << ldap_err2string(rc);
  }
  EXPECT_EQ(ldpool_error(LDAP_SUCCESS), 0);
  EXPECT_EQ(ldpool_error(LDAP_NO_SUCH_OBJECT), IMAP_MAILBOX_NONEXISTENT);
  EXPECT_FALSE(error_is_temporary(IMAP_MAILBOX_NONEXISTENT));
  EXPECT_EQ(ldpool_error(LDAP_FILTER_ERROR), IMAP_CONFIG_ERROR);
  EXPECT_EQ(ldpool_error(LDAP_INVALID_DN_SYNTAX), IMAP_CONFIG_ERROR);
}

TEST(Ldpool, ConfigurationWithoutHostIsRefused) {
  LdPoolPtr pool;
  EXPECT_EQ(ldpool_new(LdPoolConfig{}, &pool), IMAP_CONFIG_ERROR);
  LdPoolConfig cfg;
  cfg.host = "bad host/";
  EXPECT_EQ(ldpool_new(cfg, &pool), IMAP_CONFIG_ERROR);
  EXPECT_EQ(pool, nullptr);
}

constexpr const char kLdif[] =
    "dn: o=isp\nobjectClass: organization\no: isp\n\n"
    "dn: uid=joe,o=isp\nobjectClass: inetOrgPerson\nobjectClass: corvaneMailUser\n"
    "uid: joe\ncn: Joe\nsn: Joe\nmailuserstatus: active\nmail:: am9AZXhhbXBsZS5jb20AQmNjOiB4\n\n"
    "dn: uid=jo,o=isp\nobjectClass: inetOrgPerson\nuid: jo\ncn: Jo\nsn: Jo\n\n"
    "dn: uid=x*,o=isp\nobjectClass: inetOrgPerson\nuid: x*\ncn: X\nsn: X\n\n"
    "dn: uid=y1,o=isp\nobjectClass: inetOrgPerson\nuid: y1\ncn: Y\nsn: Y\n";

class LdpoolSlapd : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(slapd_.start({"o=isp"}));
    ASSERT_TRUE(slapd_.load(kLdif));
    cfg_.host = "127.0.0.1";
    cfg_.port = std::stoi(slapd_.port());
    cfg_.binddn = slapd_.rootdn();
    cfg_.bindcred = slapd_.rootpw();
    cfg_.op_timeout_s = 5;
    cfg_.connect_timeout_s = 5;
  }
  int search(LdPool* pool, const std::string& filter, std::vector<LdEntry>* out) {
    return ldpool_search(pool, "o=isp", LdScope::kSubtree, filter, {"uid", "mail", "mailuserstatus"}, 0, out);
  }
  std::vector<std::string> uids(const std::vector<LdEntry>& entries) {
    std::vector<std::string> out;
    for (const auto& e : entries) out.push_back(e.values("UID") ? e.values("uid")->at(0) : "?");
    std::sort(out.begin(), out.end());
    return out;
  }
  TestSlapd slapd_;
  LdPoolConfig cfg_;
};

TEST_F(LdpoolSlapd, EscapedValuesMatchOnlyThemselvesAndBinaryValuesSurvive) {
  LdPoolPtr pool;
  ASSERT_EQ(ldpool_new(cfg_, &pool), 0);
  std::vector<LdEntry> found;
  // Unescaped, "jo*" is a substring filter matching joe and jo.
  ASSERT_EQ(search(pool.get(), "(uid=jo*)", &found), 0);
  EXPECT_EQ(uids(found), (std::vector<std::string>{"jo", "joe"}));
  ASSERT_EQ(search(pool.get(), "(uid=" + ldap_filter_escape("jo*") + ")", &found), 0);
  EXPECT_TRUE(found.empty());
  ASSERT_EQ(search(pool.get(), "(uid=" + ldap_filter_escape("x*") + ")", &found), 0);
  EXPECT_EQ(uids(found), (std::vector<std::string>{"x*"}));
  ASSERT_EQ(search(pool.get(), "(uid=" + ldap_filter_escape("joe)(uid=jo") + ")", &found), 0);
  EXPECT_TRUE(found.empty());
  // A malformed filter is a configuration mistake, not an outage.
  EXPECT_EQ(search(pool.get(), "(uid=joe)(uid=jo)", &found), IMAP_CONFIG_ERROR);

  ASSERT_EQ(search(pool.get(), "(uid=joe)", &found), 0);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].dn, "uid=joe,o=isp");
  ASSERT_NE(found[0].values("mail"), nullptr);
  EXPECT_EQ(found[0].values("mail")->at(0), std::string("jo@example.com\0Bcc: x", 21));

  // A size limit of 2 tells "more than one" without reading them all.
  ASSERT_EQ(ldpool_search(pool.get(), "o=isp", LdScope::kSubtree, "(uid=*)", {"uid"}, 2, &found), 0);
  EXPECT_EQ(found.size(), 2u);
  EXPECT_EQ(ldpool_search(pool.get(), "o=nowhere", LdScope::kSubtree, "(uid=*)", {"uid"}, 0, &found),
            IMAP_MAILBOX_NONEXISTENT);
}

TEST_F(LdpoolSlapd, ReplaceChangesOneAttribute) {
  LdPoolPtr pool;
  ASSERT_EQ(ldpool_new(cfg_, &pool), 0);
  ASSERT_EQ(ldpool_replace(pool.get(), "uid=joe,o=isp", "mailuserstatus", {"overquota"}), 0);
  std::vector<LdEntry> found;
  ASSERT_EQ(search(pool.get(), "(uid=joe)", &found), 0);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(*found[0].values("mailuserstatus"), std::vector<std::string>{"overquota"});
  EXPECT_EQ(ldpool_replace(pool.get(), "uid=nobody,o=isp", "mailuserstatus", {"x"}), IMAP_MAILBOX_NONEXISTENT);
}

TEST_F(LdpoolSlapd, OversizedValuesAreLeftOut) {
  const std::string big(LDPOOL_MAX_VALUE + 1, 'q');
  ASSERT_TRUE(slapd_.modify("dn: uid=jo,o=isp\nchangetype: modify\nadd: description\ndescription: " + big +
                            "\ndescription: small\n"));
  LdPoolPtr pool;
  ASSERT_EQ(ldpool_new(cfg_, &pool), 0);
  std::vector<LdEntry> found;
  ASSERT_EQ(ldpool_search(pool.get(), "o=isp", LdScope::kSubtree, "(uid=jo)", {"description"}, 0, &found), 0);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(*found[0].values("description"), std::vector<std::string>{"small"});
}

TEST_F(LdpoolSlapd, OutageIsTemporaryAndARestartedServerIsPickedUp) {
  LdPoolPtr pool;
  ASSERT_EQ(ldpool_new(cfg_, &pool), 0);
  std::vector<LdEntry> found;
  ASSERT_EQ(search(pool.get(), "(uid=joe)", &found), 0);  // leaves an idle connection
  ASSERT_TRUE(slapd_.restart());
  // The pooled connection died with the old server; the pool reconnects.
  ASSERT_EQ(search(pool.get(), "(uid=joe)", &found), 0);
  EXPECT_EQ(found.size(), 1u);
  ASSERT_TRUE(slapd_.stop());
  const int r = search(pool.get(), "(uid=joe)", &found);
  EXPECT_EQ(r, IMAP_TEMP_AUTH_FAILURE);
  EXPECT_TRUE(error_is_temporary(r));
}

TEST_F(LdpoolSlapd, ThreadsShareAFewConnections) {
  cfg_.max_connections = 2;
  LdPoolPtr pool;
  ASSERT_EQ(ldpool_new(cfg_, &pool), 0);
  std::atomic<int> ok{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 20; ++i) {
        std::vector<LdEntry> found;
        if (ldpool_search(pool.get(), "o=isp", LdScope::kSubtree, "(uid=joe)", {"uid"}, 0, &found) == 0 &&
            found.size() == 1) {
          ++ok;
        }
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(ok.load(), 160);
}

TEST_F(LdpoolSlapd, StartTlsFailureNeverFallsBackToPlainText) {
  // The test server offers no TLS: a pool that requires it must not bind.
  cfg_.tls = LdTls::kStartTls;
  LdPoolPtr pool;
  ASSERT_EQ(ldpool_new(cfg_, &pool), 0);
  std::vector<LdEntry> found;
  EXPECT_EQ(search(pool.get(), "(uid=joe)", &found), IMAP_TEMP_AUTH_FAILURE);
  cfg_.tls = LdTls::kLdaps;  // a TLS handshake against a plain port
  ASSERT_EQ(ldpool_new(cfg_, &pool), 0);
  EXPECT_EQ(search(pool.get(), "(uid=joe)", &found), IMAP_TEMP_AUTH_FAILURE);
}

TEST_F(LdpoolSlapd, ARefusedBindIsTemporaryAndTheCredentialIsNeverLogged) {
  TempDir logdir;
  ASSERT_EQ(configmsg_init_text("local.store.dir = " + logdir.path() + "\nlocal.log.level = 7\n", "test", "ldtest"), 0);
  ASSERT_EQ(configmsg_initlog("unit", "ldtest"), 0);
  cfg_.bindcred = "Wr0ng-S3cret-Value";
  LdPoolPtr pool;
  ASSERT_EQ(ldpool_new(cfg_, &pool), 0);
  std::vector<LdEntry> found;
  EXPECT_EQ(search(pool.get(), "(uid=joe)", &found), IMAP_TEMP_AUTH_FAILURE);
  ASSERT_TRUE(slapd_.stop());
  EXPECT_EQ(search(pool.get(), "(uid=joe)", &found), IMAP_TEMP_AUTH_FAILURE);
  const std::string log = read_text_file(logdir.path() + "/log/unit.log");
  configmsg_free();
  bvlog_to_stderr(LOG_SEV_DEBUG);
  EXPECT_NE(log.find("Cannot bind to the directory at ldap://127.0.0.1:" + slapd_.port() + " as " + cfg_.binddn),
            std::string::npos)
      << log;
  EXPECT_EQ(log.find("Wr0ng-S3cret-Value"), std::string::npos) << log;
}

// A server that takes the connection and never answers: the operation
// time-out ends the wait with a temporary failure.
TEST(Ldpool, ASilentServerTimesOut) {
  UniqueFd sock(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  ASSERT_TRUE(sock);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(sock.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(listen(sock.get(), 8), 0);  // the kernel completes handshakes; nobody reads
  socklen_t len = sizeof addr;
  ASSERT_EQ(getsockname(sock.get(), reinterpret_cast<sockaddr*>(&addr), &len), 0);
  LdPoolConfig cfg;
  cfg.host = "127.0.0.1";
  cfg.port = ntohs(addr.sin_port);
  cfg.binddn = "cn=admin,o=isp";
  cfg.bindcred = "x";
  cfg.op_timeout_s = 1;
  cfg.connect_timeout_s = 1;
  LdPoolPtr pool;
  ASSERT_EQ(ldpool_new(cfg, &pool), 0);
  std::vector<LdEntry> found;
  EXPECT_EQ(ldpool_search(pool.get(), "o=isp", LdScope::kSubtree, "(uid=joe)", {}, 0, &found), IMAP_TEMP_AUTH_FAILURE);
}

}  // namespace
