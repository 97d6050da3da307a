#include "common/saslglue.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sasl/sasl.h>
#include <sys/socket.h>

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "common/bvlog.h"
#include "common/config.h"
#include "common/dmap.h"
#include "common/ldpool.h"
#include "common/slapd_testutil.h"
#include "common/test_util.h"
#include "common/unique_fd.h"

namespace {

// The library stores every callback as int (*)(void); the detour through
// void (*)() is the cast the language allows between function types.
using CallbackFn = int (*)(void);
template <class F>
CallbackFn as_callback(F* f) {
  return reinterpret_cast<CallbackFn>(reinterpret_cast<void (*)()>(f));
}

constexpr const char* kRealm = "example.com";

bool run_sh(const std::string& cmd) { return std::system(("timeout 30 sh -c '" + cmd + "'").c_str()) == 0; }

std::set<std::string> words(const std::string& s) {
  std::set<std::string> out;
  size_t i = 0;
  while (i < s.size()) {
    size_t j = s.find(' ', i);
    if (j == std::string::npos) j = s.size();
    if (j > i) out.insert(s.substr(i, j - i));
    i = j + 1;
  }
  return out;
}

// The client side of an exchange, through the library's client API.
struct Client {
  std::string authz, authn, pass;
  std::vector<unsigned char> secret;

  static int simple(void* ctx, int id, const char** result, unsigned* len) {
    auto* c = static_cast<Client*>(ctx);
    const std::string& v = id == SASL_CB_USER ? c->authz : c->authn;
    *result = v.c_str();
    if (len) *len = static_cast<unsigned>(v.size());
    return SASL_OK;
  }
  static int getsecret(sasl_conn_t*, void* ctx, int, sasl_secret_t** psecret) {
    auto* c = static_cast<Client*>(ctx);
    c->secret.assign(sizeof(sasl_secret_t) + c->pass.size(), 0);
    auto* s = reinterpret_cast<sasl_secret_t*>(c->secret.data());
    s->len = c->pass.size();
    memcpy(s->data, c->pass.data(), c->pass.size());
    *psecret = s;
    return SASL_OK;
  }

  // Runs mech against the server connection sc; the server's last result.
  int exchange(saslglue_conn* sc, const char* mech) {
    static std::once_flag once;
    std::call_once(once, [] { ASSERT_EQ(sasl_client_init(nullptr), SASL_OK); });
    sasl_callback_t cbs[] = {
        {SASL_CB_USER, as_callback(&simple), this},
        {SASL_CB_AUTHNAME, as_callback(&simple), this},
        {SASL_CB_PASS, as_callback(&getsecret), this},
        {SASL_CB_LIST_END, nullptr, nullptr},
    };
    sasl_conn_t* cc = nullptr;
    if (sasl_client_new("pop", "localhost", nullptr, nullptr, cbs, 0, &cc) != SASL_OK) return -1000;
    std::unique_ptr<sasl_conn_t, void (*)(sasl_conn_t*)> owner(cc, [](sasl_conn_t* p) { sasl_dispose(&p); });
    const char* out = nullptr;
    unsigned outlen = 0;
    const char* chosen = nullptr;
    int cr = sasl_client_start(cc, mech, nullptr, &out, &outlen, &chosen);
    if (cr != SASL_OK && cr != SASL_CONTINUE) return -1001;
    std::string sout;
    std::string initial = out ? std::string(out, outlen) : std::string();
    int sr = saslglue_server_start(sc, mech, out ? &initial : nullptr, &sout);
    for (int round = 0; sr == SASL_CONTINUE && round < 10; ++round) {
      cr = sasl_client_step(cc, sout.data(), static_cast<unsigned>(sout.size()), nullptr, &out, &outlen);
      if (cr != SASL_OK && cr != SASL_CONTINUE) return -1002;
      sr = saslglue_server_step(sc, std::string_view(out ? out : "", out ? outlen : 0), &sout);
    }
    if (sr == SASL_OK && !sout.empty()) {
      // The server's final message (SCRAM's signature) must satisfy the client.
      cr = sasl_client_step(cc, sout.data(), static_cast<unsigned>(sout.size()), nullptr, &out, &outlen);
      if (cr != SASL_OK) return -1003;
    }
    return sr;
  }
};

// A temporary sasldb with users of the realm, and a configuration naming it.
class SaslDb : public ::testing::Test {
 protected:
  void SetUp() override {
    db_ = dir_ / "sasldb2";
    for (const auto& [user, pass] :
         {std::pair<std::string, std::string>{"joe", "s3cret"}, {"mary", "other-pw"}, {"mrose", "tanstaaf"}}) {
      ASSERT_TRUE(run_sh("printf %s " + pass + " | saslpasswd2 -p -c -f " + db_ + " -u " + kRealm + " " + user))
          << user;
    }
    configure("");
  }
  void TearDown() override { configmsg_free(); }

  // Reads the configuration with extra lines and makes a fresh context.
  void configure(const std::string& extra) {
    const std::string text = "service.defaultdomain = " + std::string(kRealm) + "\nsasl.pop.sasldb_path = " + db_ +
                             "\nlocal.log.target = stderr\n" + extra;
    ASSERT_EQ(configmsg_init_text(text, "test", "saslglue_test"), 0);
    ctx_.reset();
    saslglue_ctx* c = nullptr;
    ASSERT_EQ(saslglue_init("saslglue_test", "pop", nullptr, nullptr, nullptr, {}, &c), SASL_OK);
    ctx_.reset(c);
  }
  SaslGlueConnPtr conn(bool refuse_plaintext = false, unsigned ssf = 0) {
    SaslConnParams p;
    p.clienthost = "127.0.0.1";
    p.iplocalport = "127.0.0.1;110";
    p.ipremoteport = "127.0.0.1;40000";
    p.serverfqdn = "mail.example.com";
    p.user_realm = kRealm;
    p.refuse_plaintext = refuse_plaintext;
    p.external_ssf = ssf;
    saslglue_conn* c = nullptr;
    EXPECT_EQ(saslglue_conn_new(ctx_.get(), p, &c), SASL_OK);
    return SaslGlueConnPtr(c);
  }
  std::set<std::string> mechs(saslglue_conn* c) {
    std::string list;
    EXPECT_EQ(saslglue_listmech(c, "", " ", "", &list), SASL_OK);
    return words(list);
  }

  TempDir dir_;
  std::string db_;
  SaslGlueCtxPtr ctx_;
};

// The response-code table of the authentication chapter, by the library's
// numeric codes.
TEST(SaslGlueClass, ResultCodesMapToTheResponseCodeTable) {
  for (int r : {-1, -23, -26}) EXPECT_EQ(saslglue_respclass(r), SaslRespClass::kSysPerm) << r;
  for (int r : {-2, -8, -24}) EXPECT_EQ(saslglue_respclass(r), SaslRespClass::kSysTemp) << r;
  for (int r : {-13, -14, -18, -19, -20}) EXPECT_EQ(saslglue_respclass(r), SaslRespClass::kAuth) << r;
  for (int r : {0, 1, -4, -5, -7, -17}) EXPECT_EQ(saslglue_respclass(r), SaslRespClass::kNone) << r;
  EXPECT_STREQ(saslglue_respcode(-13), "[AUTH] ");
  EXPECT_STREQ(saslglue_respcode(-24), "[SYS/TEMP] ");
  EXPECT_STREQ(saslglue_respcode(-1), "[SYS/PERM] ");
  EXPECT_STREQ(saslglue_respcode(-4), "");
}

TEST_F(SaslDb, CheckpassGoodWrongAndUnknownUser) {
  auto c = conn();
  EXPECT_EQ(saslglue_checkpass(c.get(), "joe", "s3cret"), SASL_OK);
  std::string user;
  ASSERT_EQ(saslglue_username(c.get(), &user), SASL_OK);
  EXPECT_EQ(user, "joe@example.com");
  std::vector<std::vector<std::string>> vals;
  ASSERT_EQ(saslglue_attrs(c.get(), &vals), SASL_OK);
  EXPECT_EQ(vals.size(), 9u);

  auto c2 = conn();
  const int wrong = saslglue_checkpass(c2.get(), "joe", "s3cre");
  const int unknown = saslglue_checkpass(c2.get(), "nobody", "s3cret");
  EXPECT_NE(wrong, SASL_OK);
  EXPECT_NE(unknown, SASL_OK);
  // Both answer with the same class, whatever the detail says.
  EXPECT_EQ(saslglue_respclass(wrong), SaslRespClass::kAuth);
  EXPECT_EQ(saslglue_respclass(unknown), SaslRespClass::kAuth);
  EXPECT_NE(saslglue_checkpass(c2.get(), "", "s3cret"), SASL_OK);
  EXPECT_NE(saslglue_checkpass(c2.get(), std::string("joe\0x", 5), "s3cret"), SASL_OK);
  EXPECT_NE(saslglue_checkpass(c2.get(), "joe", ""), SASL_OK);
}

TEST_F(SaslDb, EveryDefaultMechanismCompletesAnExchange) {
  for (const char* mech : {"SCRAM-SHA-256", "SCRAM-SHA-1", "PLAIN", "LOGIN"}) {
    auto c = conn();
    Client good{"", "joe", "s3cret", {}};
    EXPECT_EQ(good.exchange(c.get(), mech), SASL_OK) << mech << ": " << saslglue_errdetail(c.get());
    std::string user;
    EXPECT_EQ(saslglue_username(c.get(), &user), SASL_OK) << mech;
    EXPECT_EQ(user, "joe@example.com") << mech;

    auto c2 = conn();
    Client bad{"", "joe", "wrong", {}};
    const int r = bad.exchange(c2.get(), mech);
    EXPECT_EQ(saslglue_respclass(r), SaslRespClass::kAuth) << mech << " " << r;
    EXPECT_NE(saslglue_username(c2.get(), &user), SASL_OK) << mech;
  }
}

TEST_F(SaslDb, PlainForAnotherAuthorizationIdFails) {
  auto c = conn();
  Client proxy{"mary", "joe", "s3cret", {}};
  const int r = proxy.exchange(c.get(), "PLAIN");
  EXPECT_NE(r, SASL_OK);
  EXPECT_EQ(saslglue_respclass(r), SaslRespClass::kAuth) << r;
  std::string user;
  EXPECT_NE(saslglue_username(c.get(), &user), SASL_OK);
}

TEST_F(SaslDb, RefusedMechanismsAreNeverListedNorStarted) {
  auto c = conn();
  EXPECT_EQ(mechs(c.get()), (std::set<std::string>{"SCRAM-SHA-256", "SCRAM-SHA-1", "PLAIN", "LOGIN"}));

  configure("sasl.pop.mech_list = ANONYMOUS NTLM DIGEST-MD5 OTP CRAM-MD5 PLAIN SCRAM-SHA-256\n");
  c = conn();
  EXPECT_EQ(mechs(c.get()), (std::set<std::string>{"CRAM-MD5", "PLAIN", "SCRAM-SHA-256"}));
  std::string capa;
  ASSERT_EQ(saslglue_listmech(c.get(), "SASL ", " ", "\r\n", &capa), SASL_OK);
  EXPECT_EQ(capa.rfind("SASL ", 0), 0u);
  EXPECT_EQ(capa.substr(capa.size() - 2), "\r\n");
  // Not even the library itself lists or starts them on our connections.
  const char* raw_list = nullptr;
  ASSERT_EQ(sasl_listmech(saslglue_sasl(c.get()), nullptr, "", " ", "", &raw_list, nullptr, nullptr), SASL_OK);
  EXPECT_EQ(words(raw_list), (std::set<std::string>{"CRAM-MD5", "PLAIN", "SCRAM-SHA-256"}));
  for (const char* mech : {"ANONYMOUS", "anonymous", "NTLM", "DIGEST-MD5", "digest-md5", "OTP", "EXTERNAL"}) {
    std::string out;
    const std::string initial = "anonymous@example.com";
    EXPECT_EQ(saslglue_server_start(c.get(), mech, &initial, &out), SASL_NOMECH) << mech;
    EXPECT_EQ(saslglue_server_start(c.get(), mech, nullptr, &out), SASL_NOMECH) << mech;
    const char* sout = nullptr;
    unsigned len = 0;
    auto raw = conn();
    const int r = sasl_server_start(saslglue_sasl(raw.get()), mech, nullptr, 0, &sout, &len);
    EXPECT_TRUE(r != SASL_OK && r != SASL_CONTINUE) << mech << " " << r;
  }
}

// A list naming only refused mechanisms offers nothing (the library would
// read a missing list as "all of them").
TEST_F(SaslDb, AListOfOnlyRefusedMechanismsOffersNone) {
  configure("sasl.pop.mech_list = ANONYMOUS NTLM DIGEST-MD5\n");
  auto c = conn();
  std::string list;
  (void)saslglue_listmech(c.get(), "", " ", "", &list);
  EXPECT_EQ(list, "");
  Client good{"", "joe", "s3cret", {}};
  for (const char* mech : {"PLAIN", "SCRAM-SHA-256", "CRAM-MD5"}) EXPECT_NE(good.exchange(conn().get(), mech), SASL_OK);
  // Plaintext checks do not depend on the mechanisms.
  EXPECT_EQ(saslglue_checkpass(c.get(), "joe", "s3cret"), SASL_OK);
}

TEST_F(SaslDb, NoPlaintextHidesPlainAndLoginUntilTls) {
  auto c = conn(/*refuse_plaintext=*/true);
  EXPECT_EQ(mechs(c.get()), (std::set<std::string>{"SCRAM-SHA-256", "SCRAM-SHA-1"}));
  Client good{"", "joe", "s3cret", {}};
  EXPECT_NE(good.exchange(c.get(), "PLAIN"), SASL_OK);
  EXPECT_NE(good.exchange(conn(true).get(), "LOGIN"), SASL_OK);
  EXPECT_EQ(good.exchange(conn(true).get(), "SCRAM-SHA-256"), SASL_OK);

  auto tls = conn(/*refuse_plaintext=*/true, /*ssf=*/256);
  EXPECT_EQ(mechs(tls.get()), (std::set<std::string>{"SCRAM-SHA-256", "SCRAM-SHA-1", "PLAIN", "LOGIN"}));
  EXPECT_EQ(good.exchange(tls.get(), "PLAIN"), SASL_OK);
}

// EXTERNAL only where configured and a client certificate named a user.
TEST_F(SaslDb, ExternalNeedsTheConfigurationAndAMappedCertificate) {
  configure("sasl.pop.mech_list = EXTERNAL PLAIN\n");
  EXPECT_EQ(mechs(conn().get()), (std::set<std::string>{"PLAIN"}));
  SaslConnParams p;
  p.user_realm = kRealm;
  p.external_ssf = 256;
  p.external_id = "joe@example.com";
  saslglue_conn* raw = nullptr;
  ASSERT_EQ(saslglue_conn_new(ctx_.get(), p, &raw), SASL_OK);
  SaslGlueConnPtr c(raw);
  EXPECT_EQ(mechs(c.get()), (std::set<std::string>{"EXTERNAL", "PLAIN"}));
  std::string out;
  const std::string empty;
  ASSERT_EQ(saslglue_server_start(c.get(), "EXTERNAL", &empty, &out), SASL_OK) << saslglue_errdetail(c.get());
  std::string user;
  ASSERT_EQ(saslglue_username(c.get(), &user), SASL_OK);
  EXPECT_EQ(user, "joe@example.com");
  // Asking to act as someone else is refused.
  raw = nullptr;
  ASSERT_EQ(saslglue_conn_new(ctx_.get(), p, &raw), SASL_OK);
  c.reset(raw);
  const std::string other = "mary@example.com";
  EXPECT_NE(saslglue_server_start(c.get(), "EXTERNAL", &other, &out), SASL_OK);
}

// With the default mechanism list a client certificate's user can log in;
// a connection without one is offered nothing more than before.
TEST_F(SaslDb, DefaultListOffersExternalOnlyWithAnExternalIdentity) {
  EXPECT_EQ(mechs(conn(false, 256).get()), (std::set<std::string>{"SCRAM-SHA-256", "SCRAM-SHA-1", "PLAIN", "LOGIN"}));
  SaslConnParams p;
  p.user_realm = kRealm;
  p.external_ssf = 256;
  p.external_id = "joe";
  saslglue_conn* raw = nullptr;
  ASSERT_EQ(saslglue_conn_new(ctx_.get(), p, &raw), SASL_OK);
  SaslGlueConnPtr c(raw);
  EXPECT_EQ(mechs(c.get()), (std::set<std::string>{"SCRAM-SHA-256", "SCRAM-SHA-1", "PLAIN", "LOGIN", "EXTERNAL"}));
  std::string out;
  ASSERT_EQ(saslglue_server_start(c.get(), "external", nullptr, &out), SASL_CONTINUE);
  EXPECT_EQ(out, "");
  ASSERT_EQ(saslglue_server_step(c.get(), "", &out), SASL_OK) << saslglue_errdetail(c.get());
  std::string user;
  ASSERT_EQ(saslglue_username(c.get(), &user), SASL_OK);
  EXPECT_EQ(user, "joe@example.com");
}

// RFC 1939's own example: challenge, secret and digest.
TEST_F(SaslDb, ApopChecksTheDigestOfTheChallenge) {
  EXPECT_TRUE(saslglue_apop_available(ctx_.get()));
  const std::string chal = "<1896.697170952@dbc.mtview.ca.us>";
  auto c = conn();
  EXPECT_EQ(saslglue_checkapop(c.get(), chal, "mrose c4c9334bac560ecc979e58001b3e22fb"), SASL_OK)
      << saslglue_errdetail(c.get());
  std::string user;
  ASSERT_EQ(saslglue_username(c.get(), &user), SASL_OK);
  EXPECT_EQ(user, "mrose@example.com");

  auto c2 = conn();
  EXPECT_EQ(saslglue_respclass(saslglue_checkapop(c2.get(), chal, "mrose c4c9334bac560ecc979e58001b3e22fc")),
            SaslRespClass::kAuth);
  EXPECT_EQ(saslglue_respclass(saslglue_checkapop(c2.get(), "<1.2@x>", "mrose c4c9334bac560ecc979e58001b3e22fb")),
            SaslRespClass::kAuth);
  EXPECT_EQ(saslglue_respclass(saslglue_checkapop(c2.get(), chal, "nobody c4c9334bac560ecc979e58001b3e22fb")),
            SaslRespClass::kAuth);
  EXPECT_NE(saslglue_checkapop(c2.get(), chal, "mrose xyz"), SASL_OK);
  EXPECT_NE(saslglue_checkapop(c2.get(), chal, ""), SASL_OK);
  EXPECT_NE(saslglue_checkapop(c2.get(), "", "mrose c4c9334bac560ecc979e58001b3e22fb"), SASL_OK);
}

// The library shares plug-in state between connections: with the mutexes
// installed, concurrent exchanges all give their own right answer.
TEST_F(SaslDb, ConcurrentExchangesOnManyThreads) {
  constexpr int kThreads = 8;
  constexpr int kRounds = 6;
  std::atomic<int> good{0}, refused{0}, wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kRounds; ++i) {
        SaslConnParams p;
        p.user_realm = kRealm;
        saslglue_conn* raw = nullptr;
        if (saslglue_conn_new(ctx_.get(), p, &raw) != SASL_OK) {
          ++wrong;
          continue;
        }
        SaslGlueConnPtr c(raw);
        const bool right = (i + t) % 3 != 0;
        Client cl{"", (t % 2) ? "joe" : "mary", right ? ((t % 2) ? "s3cret" : "other-pw") : "nope", {}};
        const int r = cl.exchange(c.get(), (i % 2) ? "SCRAM-SHA-256" : "PLAIN");
        if (r == SASL_OK && right) {
          ++good;
        } else if (r != SASL_OK && !right) {
          ++refused;
        } else {
          ++wrong;
        }
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(good.load() + refused.load(), kThreads * kRounds);
  EXPECT_GT(refused.load(), 0);
}

// ---------------------------------------------------------------------------
// The directory back-end against a private slapd.

constexpr const char* kDirPass = "dir-Pass1";
constexpr const char* kPlainPass = "plain-Pass2";

class SaslDir : public ::testing::Test {
 public:
  // An {SSHA} hash of pw, made by the directory's own tool.
  static std::string hash_of(const std::string& pw);

 protected:
  void SetUp() override {
    ASSERT_TRUE(slapd_.start({"o=isp"}));
    const std::string hash = hash_of(kDirPass);
    ASSERT_FALSE(hash.empty());
    ASSERT_TRUE(
        slapd_.load("dn: o=isp\nobjectClass: organization\no: isp\n\n"
                    "dn: uid=dirjoe,o=isp\nobjectClass: inetOrgPerson\nobjectClass: corvaneMailUser\n"
                    "uid: dirjoe\ncn: J\nsn: J\nuserPassword: " +
                    hash +
                    "\nmailhost: mail.example.com\nmailquota: 10M\nmail: dirjoe@example.com\n\n"
                    "dn: uid=plainuser,o=isp\nobjectClass: inetOrgPerson\nobjectClass: corvaneMailUser\n"
                    "uid: plainuser\ncn: P\nsn: P\nuserPassword: " +
                    std::string(kPlainPass) + "\nmailhost: mail.example.com\n"));
    cfg_.host = "127.0.0.1";
    cfg_.port = std::stoi(slapd_.port());
    cfg_.binddn = slapd_.rootdn();
    cfg_.bindcred = slapd_.rootpw();
    cfg_.basedn = "o=isp";
    cfg_.op_timeout_s = 5;
    cfg_.connect_timeout_s = 5;
    ASSERT_EQ(ldpool_new(cfg_, &pool_), 0);
    configure("");
  }
  void TearDown() override {
    ctx_.reset();
    configmsg_free();
  }
  void configure(const std::string& extra) {
    const std::string text = "service.defaultdomain = " + std::string(kRealm) + "\nlocal.log.target = stderr\n" + extra;
    ASSERT_EQ(configmsg_init_text(text, "test", "saslglue_test"), 0);
    ctx_.reset();
    saslglue_ctx* c = nullptr;
    ASSERT_EQ(saslglue_init("saslglue_test", "pop", nullptr, pool_.get(), &cfg_, {}, &c), SASL_OK);
    ctx_.reset(c);
  }
  SaslGlueConnPtr conn() {
    SaslConnParams p;
    p.clienthost = "127.0.0.1";
    p.user_realm = kRealm;
    p.external_ssf = 256;  // as over TLS: PLAIN allowed
    p.refuse_plaintext = true;
    saslglue_conn* c = nullptr;
    EXPECT_EQ(saslglue_conn_new(ctx_.get(), p, &c), SASL_OK);
    return SaslGlueConnPtr(c);
  }

  TestSlapd slapd_;
  LdPoolConfig cfg_;
  LdPoolPtr pool_;
  SaslGlueCtxPtr ctx_;
};

std::string SaslDir::hash_of(const std::string& pw) {
  FILE* f = popen(("timeout 30 slappasswd -h '{SSHA}' -s '" + pw + "'").c_str(), "r");
  if (!f) return "";
  char buf[256] = {};
  const bool ok = fgets(buf, sizeof buf, f) != nullptr;
  pclose(f);
  std::string s = ok ? buf : "";
  while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
  return s;
}

TEST_F(SaslDir, BindAsTheUserWithAHashedPassword) {
  auto c = conn();
  ASSERT_EQ(saslglue_checkpass(c.get(), "dirjoe", kDirPass), SASL_OK) << saslglue_errdetail(c.get());
  std::string user;
  ASSERT_EQ(saslglue_username(c.get(), &user), SASL_OK);
  EXPECT_EQ(user, "dirjoe@example.com");
  std::vector<std::vector<std::string>> vals;
  ASSERT_EQ(saslglue_attrs(c.get(), &vals), SASL_OK);
  EXPECT_EQ(vals[0], std::vector<std::string>{"mail.example.com"});    // mailhost
  EXPECT_EQ(vals[3], std::vector<std::string>{"dirjoe@example.com"});  // mail
  EXPECT_EQ(vals[4], std::vector<std::string>{"10M"});                 // mailquota
  EXPECT_TRUE(vals[6].empty());                                        // mailuserstatus
  EXPECT_EQ(vals[SASLGLUE_ATTR_DN], std::vector<std::string>{"uid=dirjoe,o=isp"});

  // The realm may be given, in any case.
  EXPECT_EQ(saslglue_checkpass(conn().get(), "dirjoe@EXAMPLE.com", kDirPass), SASL_OK);
  // PLAIN goes through the same check.
  Client good{"", "dirjoe", kDirPass, {}};
  EXPECT_EQ(good.exchange(conn().get(), "PLAIN"), SASL_OK);
  // APOP needs cleartext secrets, which this directory does not hand out.
  EXPECT_FALSE(saslglue_apop_available(ctx_.get()));
}

TEST_F(SaslDir, WrongPasswordUnknownAndHostileUsersAreAuthFailures) {
  auto c = conn();
  const int wrong = saslglue_checkpass(c.get(), "dirjoe", "dir-Pass");
  EXPECT_EQ(saslglue_respclass(wrong), SaslRespClass::kAuth) << wrong;
  const int unknown = saslglue_checkpass(c.get(), "nobody", kDirPass);
  EXPECT_EQ(saslglue_respclass(unknown), SaslRespClass::kAuth) << unknown;
  // An empty password would be an unauthenticated bind, which succeeds.
  const int empty = saslglue_checkpass(c.get(), "dirjoe", "");
  EXPECT_EQ(saslglue_respclass(empty), SaslRespClass::kAuth) << empty;
  // Filter syntax in a user name matches nothing: "dirjo*" unescaped would
  // find dirjoe, whose password would then log it in.
  for (const char* hostile : {"dirjo*", "a)(uid=*", "*", "dirjoe)(uid=plainuser"}) {
    const int r = saslglue_checkpass(c.get(), hostile, kDirPass);
    EXPECT_EQ(saslglue_respclass(r), SaslRespClass::kAuth) << hostile << " " << r;
  }
  Client bad{"", "dirjoe", "nope", {}};
  EXPECT_EQ(saslglue_respclass(bad.exchange(conn().get(), "PLAIN")), SaslRespClass::kAuth);
}

TEST_F(SaslDir, DirectoryDownIsATemporaryFailure) {
  ASSERT_TRUE(slapd_.stop());
  // The glue's own auxprop plug-in, and a site that also names sasldb:
  // the library then answers from sasldb ("no such user"), which must not
  // hide that the directory could not be asked.
  for (const std::string extra : {"", "sasl.pop.auxprop_plugin = sasldb\nsasl.pop.sasldb_path = /nonexistent/db\n"}) {
    configure(extra);
    auto c = conn();
    const int r = saslglue_checkpass(c.get(), "dirjoe", kDirPass);
    EXPECT_EQ(saslglue_respclass(r), SaslRespClass::kSysTemp) << extra << r;
    Client good{"", "dirjoe", kDirPass, {}};
    const int e = good.exchange(conn().get(), "PLAIN");
    EXPECT_EQ(saslglue_respclass(e), SaslRespClass::kSysTemp) << extra << e;
  }
}

TEST_F(SaslDir, CleartextPasswordsServeScramAndApopWhenConfigured) {
  configure("sasl.default.ldap.has_plain_passwords = on\n");
  EXPECT_TRUE(saslglue_apop_available(ctx_.get()));
  Client good{"", "plainuser", kPlainPass, {}};
  auto c = conn();
  EXPECT_EQ(good.exchange(c.get(), "SCRAM-SHA-256"), SASL_OK) << saslglue_errdetail(c.get());
  std::vector<std::vector<std::string>> vals;
  ASSERT_EQ(saslglue_attrs(c.get(), &vals), SASL_OK);
  EXPECT_EQ(vals[0], std::vector<std::string>{"mail.example.com"});
  EXPECT_EQ(vals[SASLGLUE_ATTR_DN], std::vector<std::string>{"uid=plainuser,o=isp"});
  Client bad{"", "plainuser", "nope", {}};
  EXPECT_EQ(saslglue_respclass(bad.exchange(conn().get(), "SCRAM-SHA-256")), SaslRespClass::kAuth);

  // md5("<1.2@host>plain-Pass2"), computed outside the code under test.
  auto a = conn();
  EXPECT_EQ(saslglue_checkapop(a.get(), "<1.2@host>", "plainuser 69821c15c2e3d7beedf8f8c5b9cd37df"), SASL_OK)
      << saslglue_errdetail(a.get());
}

// The glue's own lookup over the domain map: users of the default domain
// under its base DN, users of other hosted domains under theirs, with the
// domain's uid separator.
TEST(SaslDirDomains, UsersAreFoundUnderTheirDomainsBaseDn) {
  TestSlapd slapd;
  ASSERT_TRUE(slapd.start({"o=internet", "o=isp"}));
  const std::string ann = SaslDir::hash_of("ann-pw");
  const std::string bob = SaslDir::hash_of("bob-pw");
  ASSERT_TRUE(
      slapd.load("dn: o=internet\nobjectClass: organization\no: internet\n\n"
                 "dn: dc=com,o=internet\nobjectClass: domain\ndc: com\n\n"
                 "dn: dc=example,dc=com,o=internet\nobjectClass: domain\nobjectClass: inetDomain\ndc: example\n"
                 "inetDomainBaseDN: o=example,o=isp\n\n"
                 "dn: dc=org,o=internet\nobjectClass: domain\ndc: org\n\n"
                 "dn: dc=other,dc=org,o=internet\nobjectClass: domain\nobjectClass: inetDomain\ndc: other\n"
                 "inetDomainBaseDN: o=other,o=isp\ndomainUidSeparator: +\n\n"
                 "dn: o=isp\nobjectClass: organization\no: isp\n\n"
                 "dn: o=example,o=isp\nobjectClass: organization\no: example\n\n"
                 "dn: o=other,o=isp\nobjectClass: organization\no: other\n\n"
                 "dn: uid=ann,o=example,o=isp\nobjectClass: inetOrgPerson\nuid: ann\ncn: A\nsn: A\nuserPassword: " +
                 ann +
                 "\n\n"
                 "dn: uid=ann,o=other,o=isp\nobjectClass: inetOrgPerson\nuid: ann\ncn: A\nsn: A\nuserPassword: " +
                 ann +
                 "\n\n"
                 "dn: uid=bob\\+other.org,o=other,o=isp\nobjectClass: inetOrgPerson\nuid: bob+other.org\ncn: B\nsn: B\n"
                 "userPassword: " +
                 bob + "\n"));
  LdPoolConfig cfg;
  cfg.host = "127.0.0.1";
  cfg.port = std::stoi(slapd.port());
  cfg.binddn = slapd.rootdn();
  cfg.bindcred = slapd.rootpw();
  cfg.op_timeout_s = 5;
  cfg.connect_timeout_s = 5;
  LdPoolPtr pool;
  ASSERT_EQ(ldpool_new(cfg, &pool), 0);
  DmapConfig dcfg;
  dcfg.dcroot = "o=internet";
  DmapPtr dmap;
  ASSERT_EQ(dmap_new(pool.get(), dcfg, &dmap), 0);
  ASSERT_EQ(configmsg_init_text("service.defaultdomain = example.com\nlocal.log.target = stderr\n", "test", "t"), 0);
  saslglue_ctx* raw = nullptr;
  ASSERT_EQ(saslglue_init("saslglue_test", "pop", dmap.get(), pool.get(), &cfg, {}, &raw), SASL_OK);
  SaslGlueCtxPtr ctx(raw);
  auto check = [&](const char* user, const char* pass, std::string* dn) {
    SaslConnParams p;
    p.user_realm = kRealm;
    saslglue_conn* c = nullptr;
    EXPECT_EQ(saslglue_conn_new(ctx.get(), p, &c), SASL_OK);
    SaslGlueConnPtr conn(c);
    const int r = saslglue_checkpass(conn.get(), user, pass);
    std::vector<std::vector<std::string>> vals;
    dn->clear();
    if (r == SASL_OK && saslglue_attrs(conn.get(), &vals) == SASL_OK && !vals[SASLGLUE_ATTR_DN].empty()) {
      *dn = vals[SASLGLUE_ATTR_DN][0];
    }
    return r;
  };
  std::string dn;
  EXPECT_EQ(check("ann", "ann-pw", &dn), SASL_OK);
  EXPECT_EQ(dn, "uid=ann,o=example,o=isp");
  EXPECT_EQ(check("ann@example.com", "ann-pw", &dn), SASL_OK);
  EXPECT_EQ(dn, "uid=ann,o=example,o=isp");
  EXPECT_EQ(check("bob@other.org", "bob-pw", &dn), SASL_OK);
  EXPECT_EQ(dn, "uid=bob\\2Bother.org,o=other,o=isp");  // as the server spells it
  // In other.org uids carry the domain: a bare "ann" there is nobody.
  EXPECT_EQ(saslglue_respclass(check("ann@other.org", "ann-pw", &dn)), SaslRespClass::kAuth);
  EXPECT_EQ(saslglue_respclass(check("bob", "bob-pw", &dn)), SaslRespClass::kAuth);
  EXPECT_EQ(saslglue_respclass(check("ann@unknown.test", "ann-pw", &dn)), SaslRespClass::kAuth);
  configmsg_free();
}

// A directory that grants every simple bind, an empty password included
// (servers configured with "allow bind_anon_dn" answer an unauthenticated
// bind with success).  Answers each connection's first request with a
// successful BindResponse (RFC 4511 4.2.2) and records the password length.
class GrantingDirectory {
 public:
  GrantingDirectory() {
    fd_.reset(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (bind(fd_.get(), reinterpret_cast<sockaddr*>(&a), len) != 0 || listen(fd_.get(), 8) != 0 ||
        getsockname(fd_.get(), reinterpret_cast<sockaddr*>(&a), &len) != 0) {
      return;
    }
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] { serve(); });
  }
  ~GrantingDirectory() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }
  int port() const { return port_; }
  int binds() const { return binds_; }

 private:
  void serve() {
    // Bounded: at most 20 connections, each poll at most 100 ms, 10 s in all.
    for (int i = 0; i < 100 && !stop_ && binds_ < 20; ++i) {
      pollfd p{fd_.get(), POLLIN, 0};
      if (poll(&p, 1, 100) != 1) continue;
      UniqueFd c(accept4(fd_.get(), nullptr, nullptr, SOCK_CLOEXEC));
      if (!c) continue;
      pollfd q{c.get(), POLLIN, 0};
      if (poll(&q, 1, 2000) != 1) continue;
      unsigned char buf[512];
      const ssize_t n = read(c.get(), buf, sizeof buf);
      // SEQUENCE, short length, INTEGER msgid (one byte), [APPLICATION 0].
      if (n < 7 || buf[0] != 0x30 || buf[1] >= 0x80 || buf[2] != 0x02 || buf[3] != 1 || buf[5] != 0x60) continue;
      const unsigned char resp[] = {0x30, 0x0c, 0x02, 0x01, buf[4], 0x61, 0x07,
                                    0x0a, 0x01, 0x00, 0x04, 0x00,   0x04, 0x00};
      // Counted before the answer goes out: the client may look at the
      // count as soon as it has read the answer.
      ++binds_;
      if (write(c.get(), resp, sizeof resp) != static_cast<ssize_t>(sizeof resp)) continue;
      (void)poll(&q, 1, 500);  // the client's unbind, or nothing
    }
  }
  UniqueFd fd_;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> binds_{0};
  std::thread thread_;
};

TEST(SaslDirGranting, AnEmptyPasswordIsNeverABind) {
  GrantingDirectory dir;
  ASSERT_NE(dir.port(), 0);
  ASSERT_EQ(configmsg_init_text("service.defaultdomain = example.com\nlocal.log.target = stderr\n", "test", "t"), 0);
  LdPoolConfig cfg;
  cfg.host = "127.0.0.1";
  cfg.port = dir.port();
  cfg.op_timeout_s = 5;
  cfg.connect_timeout_s = 5;
  // Every user exists.
  SaslDirLookup lookup = [](std::string_view user, const std::vector<std::string>& attrs,
                            std::vector<std::vector<std::string>>* values, std::string* dn) {
    values->assign(attrs.size(), {});
    *dn = "uid=" + std::string(user) + ",o=isp";
    return 0;
  };
  saslglue_ctx* raw = nullptr;
  ASSERT_EQ(saslglue_init("saslglue_test", "pop", nullptr, nullptr, &cfg, lookup, &raw), SASL_OK);
  SaslGlueCtxPtr ctx(raw);
  SaslConnParams p;
  p.user_realm = kRealm;
  saslglue_conn* c = nullptr;
  ASSERT_EQ(saslglue_conn_new(ctx.get(), p, &c), SASL_OK);
  SaslGlueConnPtr conn(c);
  // The fake grants a real password (so it would grant an empty one too)...
  ASSERT_EQ(saslglue_checkpass(conn.get(), "joe", "anything"), SASL_OK);
  EXPECT_EQ(dir.binds(), 1);
  // ...but an empty password never reaches it.
  EXPECT_EQ(saslglue_respclass(saslglue_checkpass(conn.get(), "joe", "")), SaslRespClass::kAuth);
  EXPECT_EQ(dir.binds(), 1);
  configmsg_free();
}

}  // namespace
