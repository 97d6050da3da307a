#include "store/autocreate.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "common/auth.h"
#include "common/config.h"
#include "common/imap_err.h"
#include "common/test_util.h"
#include "store/append.h"
#include "store/mailbox.h"
#include "store/mboxlist.h"
#include "store/quota.h"

namespace {

constexpr uint32_t U = QUOTA_UNLIMITED;
// 2026-12-07 04:12:24 UTC, and two instants near a year's end.
constexpr time_t kNow = 1796616744;
constexpr time_t kNewYearEveUtc22 = 1798754400;  // 2026-12-31 22:00:00 UTC
constexpr time_t kNewYearUtc02 = 1798768800;     // 2027-01-01 02:00:00 UTC

void config(const std::string& text) { ASSERT_EQ(configmsg_init_text(text, "test", "autocreate_test"), 0); }

// Runs with TZ set to zone, restoring the old value after.
class ScopedTz {
 public:
  explicit ScopedTz(const char* zone) {
    if (const char* old = getenv("TZ")) old_ = old;
    had_ = getenv("TZ") != nullptr;
    setenv("TZ", zone, 1);
    tzset();
  }
  ~ScopedTz() {
    if (had_)
      setenv("TZ", old_.c_str(), 1);
    else
      unsetenv("TZ");
    tzset();
  }

 private:
  std::string old_;
  bool had_ = false;
};

UserAttrs attrs(std::initializer_list<std::pair<UserAttr, std::string>> values) {
  UserAttrs a;
  for (const auto& [k, v] : values) a.values[k].push_back(v);
  return a;
}

class AutocreateRules : public ::testing::Test {
 protected:
  void TearDown() override { configmsg_free(); }
};

TEST_F(AutocreateRules, QuotaText) {
  config("");
  struct {
    const char* text;
    uint32_t kb;
    bool warns;
  } cases[] = {
      {"10M", 10240, false},
      {"10m", 10240, false},
      {"1500", 2, false},  // bytes, up to whole KB
      {"1024", 1, false},
      {"0", 0, false},
      {"5k", 5, false},
      {" +7k", 7, false},
      {"2G", 2097152, false},
      {"-1", U, false},
      {"4194303M", 4294966272u, false},
      {"4294967294K", 4294967294u, false},
      // Limits of 0xFFFFFFFF KB and more cannot be stored: no limit.
      {"4294967295K", U, true},
      {"4194304M", U, true},
      {"5000000G", U, true},
      {"99999999999999999999", U, true},
      {"9223372036854775807", U, true},
      // Negative values other than -1 are not "huge".
      {"-5", U, true},
      {"-2", U, true},
      {"10MB", U, true},
      {"10X", U, true},
      {"1 M", U, true},
      {"", U, true},
      {"lots", U, true},
  };
  for (const auto& c : cases) {
    testing::internal::CaptureStderr();
    EXPECT_EQ(quota_to_kb(c.text), c.kb) << '"' << c.text << '"';
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err.find("Invalid mailquota value: ") != std::string::npos, c.warns) << c.text << ": " << err;
  }
}

TEST_F(AutocreateRules, QuotasFromAttributes) {
  config("store.defaultmailboxquota = 20M\nstore.defaultmessagequota = 100\n");
  struct {
    std::vector<std::string> quota, msgquota;
    uint32_t kb, msgs;
  } cases[] = {
      {{}, {}, 20480, 100},
      {{"10M"}, {"500"}, 10240, 500},
      {{""}, {""}, 20480, 100},
      {{"-2"}, {"-2"}, 20480, 100},
      {{"-1"}, {"-1"}, U, U},
      {{"1M", "2M"}, {"7", "8"}, 1024, 7},  // the first value counts
      // A bad message quota must not block mail (a count of 0 would).
      {{"10M"}, {"lots"}, 10240, U},
      {{"10M"}, {"-5"}, 10240, U},
      {{"10M"}, {"4294967295"}, 10240, U},
      {{"10M"}, {"4294967294"}, 10240, 4294967294u},
      // A value with a line break counts as absent.
      {{"1M\r\n"}, {"5\n"}, 20480, 100},
      {{std::string(5000, '1')}, {}, 20480, 100},
  };
  for (const auto& c : cases) {
    UserAttrs a;
    a.values[kAttrMailQuota] = c.quota;
    a.values[kAttrMailMsgQuota] = c.msgquota;
    uint32_t kb = 0, msgs = 0;
    quotas_from_attrs(&a, &kb, &msgs);
    EXPECT_EQ(kb, c.kb) << (c.quota.empty() ? "<none>" : c.quota[0].substr(0, 20));
    EXPECT_EQ(msgs, c.msgs) << (c.msgquota.empty() ? "<none>" : c.msgquota[0]);
  }
  uint32_t kb = 0, msgs = 0;
  quotas_from_attrs(nullptr, &kb, &msgs);
  EXPECT_EQ(kb, 20480u);
  EXPECT_EQ(msgs, 100u);
  UserAttrs lots = attrs({{kAttrMailMsgQuota, "lots"}});
  testing::internal::CaptureStderr();
  quotas_from_attrs(&lots, &kb, &msgs);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("Invalid mailmsgquota value: lots"), std::string::npos);
}

TEST_F(AutocreateRules, PartitionNameFromPath) {
  struct {
    const char* path;
    const char* want;
  } cases[] = {
      {"/var/store/Part_2/", "part2"},
      {"/var/store/Part_2", "part2"},
      {"primary", "primary"},
      {"/", ""},
      {"///", ""},
      {"", ""},
      {"../../etc", "etc"},
      {"a/b-c.D", "bcd"},
      {"/x/..", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(UPGetPNameFromPath(c.path), c.want) << c.path;
}

TEST_F(AutocreateRules, MailHosts) {
  config("local.hostname = mail.example.com, mx1\nlocal.mta.hostnamealiases = alias.example.com\n");
  EXPECT_EQ(islocalhost("MAIL.example.com"), 1);
  EXPECT_EQ(islocalhost("mx1"), 1);
  EXPECT_EQ(islocalhost("alias.example.com"), 1);
  EXPECT_EQ(islocalhost("other.example.com"), 0);
  EXPECT_EQ(islocalhost(""), 0);
  EXPECT_EQ(islocalhost(nullptr), 0);
  struct {
    const char* a;
    const char* b;
    int same;
  } cases[] = {
      {"mail.example.com", "MAIL.EXAMPLE.COM", 1},  // equal ignoring case
      {"mail", "mail.other.org", 1},                // first labels, one name undotted
      {"mail", "mailx.other.org", 0},
      {"mail.example.com", "alias.example.com", 1},  // both local
      {"mail.example.com", "mail.other.org", 0},     // one local
      {"127.0.0.1", "127.1", 1},                     // same address, no lookup needed
      {"127.0.0.1", "127.0.0.2", 0},
  };
  for (const auto& c : cases) EXPECT_EQ(compare_mailhosts(c.a, c.b), c.same) << c.a << " " << c.b;

  EXPECT_EQ(check_mailhost("mail.example.com", nullptr), IMAP_WRONG_MAILHOST);
  UserAttrs none;
  EXPECT_EQ(check_mailhost("mail.example.com", &none), IMAP_WRONG_MAILHOST);
  UserAttrs two;
  two.values[kAttrMailHost] = {"other.example.org", "mx1"};
  EXPECT_EQ(check_mailhost("mail.example.com", &two), 0);
  UserAttrs other = attrs({{kAttrMailHost, "other.example.org"}});
  EXPECT_EQ(check_mailhost("mail.example.com", &other), IMAP_WRONG_MAILHOST);
  UserAttrs broken = attrs({{kAttrMailHost, "mx1\r\n"}});
  EXPECT_EQ(check_mailhost("mail.example.com", &broken), IMAP_WRONG_MAILHOST);
}

TEST_F(AutocreateRules, DatesInSeveralZones) {
  struct {
    const char* zone;
    time_t t;
    const char* want;
  } cases[] = {
      {"UTC", kNow, "Mon, 7 Dec 2026 04:12:24 +0000"},
      {"Asia/Kolkata", kNow, "Mon, 7 Dec 2026 09:42:24 +0530"},
      {"America/St_Johns", kNow, "Mon, 7 Dec 2026 00:42:24 -0330"},
      {"Pacific/Kiritimati", kNow, "Mon, 7 Dec 2026 18:12:24 +1400"},
      // The local date is a day after or before the GMT date.
      {"Asia/Kolkata", kNewYearEveUtc22, "Fri, 1 Jan 2027 03:30:00 +0530"},
      {"Pacific/Kiritimati", kNewYearEveUtc22, "Fri, 1 Jan 2027 12:00:00 +1400"},
      {"America/St_Johns", kNewYearUtc02, "Thu, 31 Dec 2026 22:30:00 -0330"},
      // Summer time; a two-digit day keeps both digits.
      {"America/St_Johns", 1783674303, "Fri, 10 Jul 2026 06:35:03 -0230"},
  };
  for (const auto& c : cases) {
    ScopedTz tz(c.zone);
    EXPECT_EQ(GetRFC822Date(c.t).value_or("<none>"), c.want) << c.zone;
  }
}

TEST_F(AutocreateRules, DecodeTemplate) {
  struct {
    const char* in;
    const char* want;  // null: refused
  } cases[] = {
      {"a$b$", "a\nb\n"}, {"\\41\\62", "Ab"},       {"\\4", "\\4"},    {"\\zz", "\\zz"},    {"50\\%", "50\\%"},
      {"\\0a", "\n"},     {"\\c3\\a9", "\xC3\xA9"}, {"\\00", nullptr}, {"a\\0Db", nullptr}, {"\\0d\\0a", nullptr},
  };
  for (const auto& c : cases) {
    std::optional<std::string> got = DecodeMultiLineMsg(c.in);
    if (c.want) {
      EXPECT_EQ(got.value_or("<none>"), c.want) << c.in;
    } else {
      EXPECT_FALSE(got) << c.in;
    }
  }
}

class Compose : public AutocreateRules {
 protected:
  void SetUp() override { config("local.hostname = mail.example.com\ngen.accounturl = https://mail.example.com/u\n"); }
  std::string parse(const char* tmpl, const char* mail = "joe@example.com", const char* lang = nullptr, int want = 0) {
    std::string out;
    EXPECT_EQ(ParseMsg("joe", mail, tmpl, lang, kNow, &out), want) << tmpl;
    return out;
  }
  ScopedTz tz_{"UTC"};
};

const char kAdded[] =
    "Date: Mon, 7 Dec 2026 04:12:24 +0000\r\n"
    "From: Mail Administrator <Postmaster@mail.example.com>\r\n"
    "MIME-Version: 1.0\r\n";

TEST_F(Compose, TemplateToMessageBytes) {
  EXPECT_EQ(parse("Subject: Welcome$To: someone@else$$Hello,$see [URL] now.$Bye"),
            std::string("Subject: Welcome\r\n"
                        "To: joe@example.com\r\n") +
                kAdded +
                "Content-Type: text/plain; charset=us-ascii\r\n"
                "Content-Transfer-Encoding: 7bit\r\n"
                "\r\n"
                "Hello,\r\n"
                "see https://mail.example.com/u now.\r\n"
                "Bye\r\n");
  // French: the subject as an encoded word, the body in Latin-1.
  EXPECT_EQ(parse("Subject: Bienvenue \xC3\xA0 vous$$Voil\xC3\xA0.$", nullptr, "fr"),
            std::string("Subject: =?iso-8859-1?Q?Bienvenue_=E0_vous?=\r\n"
                        "To: joe\r\n") +
                kAdded +
                "Content-Type: text/plain; charset=iso-8859-1\r\n"
                "Content-Transfer-Encoding: quoted-printable\r\n"
                "\r\n"
                "Voil=E0.\r\n");
  // A first line that is no field ends the header and opens the body.
  EXPECT_EQ(parse("Hello there$Bye"), std::string("To: joe@example.com\r\n") + kAdded +
                                          "Content-Type: text/plain; charset=us-ascii\r\n"
                                          "Content-Transfer-Encoding: 7bit\r\n"
                                          "\r\n"
                                          "Hello there\r\nBye\r\n");
  // The template's own sender and type stay; its body is left as written;
  // a second To: or Date: would contradict the first and is dropped.
  EXPECT_EQ(parse("From: Admin <a@b>$Content-Type: text/plain; charset=utf-8$To: x$Date: y$To: z$$Gr\xC3\xBC\xC3\x9F"
                  "e$"),
            "From: Admin <a@b>\r\n"
            "Content-Type: text/plain; charset=utf-8\r\n"
            "To: joe@example.com\r\n"
            "Date: Mon, 7 Dec 2026 04:12:24 +0000\r\n"
            "MIME-Version: 1.0\r\n"
            "\r\n"
            "Gr\xC3\xBC\xC3\x9F"
            "e\r\n");
  // No body: no content fields.
  EXPECT_EQ(parse("Subject: s$"), std::string("Subject: s\r\nTo: joe@example.com\r\n") + kAdded + "\r\n");
}

TEST_F(Compose, HostileInputs) {
  // An address that would add header lines, or is otherwise not plain,
  // gives way to the user id.
  for (const char* mail : {"jo@example.com\r\nBcc: evil@example.com", "jo@example.com\nBcc: x", "jo @x", "jo\x01@x"}) {
    std::string m = parse("Subject: s$$b", mail);
    EXPECT_NE(m.find("\r\nTo: joe\r\n"), std::string::npos) << m;
    EXPECT_EQ(m.find("Bcc"), std::string::npos) << m;
  }
  parse("Subject: s$From: y", nullptr, nullptr, AUTOCREATE_BAD_TEMPLATE);  // never ends
  parse("Subject: s$$a\\00b", nullptr, nullptr, AUTOCREATE_BAD_TEMPLATE);  // NUL
  parse("Subject: s$$a\\0db", nullptr, nullptr, AUTOCREATE_BAD_TEMPLATE);  // bare CR
  parse("Subject: s$$\xC3", nullptr, nullptr, AUTOCREATE_BAD_TEXT);        // not UTF-8
  parse("Subject: \\01$$b", nullptr, nullptr, AUTOCREATE_BAD_TEXT);        // control in a value
  std::string big = "Subject: s$$" + std::string(70000, 'a');
  parse(big.c_str(), nullptr, nullptr, AUTOCREATE_BAD_TEMPLATE);  // over 64 KB
}

TEST_F(Compose, SenderFallsBackToTheSystemHostName) {
  config("");
  char host[256] = {};
  ASSERT_EQ(gethostname(host, sizeof host - 1), 0);
  std::string m = parse("Subject: s$$b");
  EXPECT_NE(m.find(std::string("From: Mail Administrator <Postmaster@") + host + ">\r\n"), std::string::npos) << m;
}

// ---- Provisioning against a store in a temporary directory ----------------

const char kTemplate[] = "Subject: Welcome$$Hello,$your account: [URL]$";

class Provision : public ::testing::Test {
 protected:
  void SetUp() override { start(""); }
  void TearDown() override {
    mboxlist_close();
    mboxlist_set_fatal_handler(nullptr);
    configmsg_free();
  }
  void start(const std::string& extra) {
    mboxlist_close();
    std::string conf = "local.store.dir = " + dir_.path() + "/store\nlocal.log.target = stderr\n" +
                       "store.partition.primary.path = " + dir_.path() + "/p1\n" +
                       "store.partition.second.path = " + dir_.path() + "/p2\n" +
                       "local.hostname = mail.example.com\n"
                       "gen.accounturl = https://mail.example.com/u\n"
                       "gen.newuserforms = " +
                       std::string(kTemplate) + "\n" + extra;
    ASSERT_EQ(configmsg_init_text(conf, "test", "autocreate_test"), 0);
    mboxlist_set_fatal_handler([](int) {});
    ASSERT_EQ(mboxlist_recover(), 0);
  }
  UserAttrs joe() {
    return attrs({{kAttrMailHost, "mail.example.com"},
                  {kAttrMailMessageStore, "/var/store/Second/"},
                  {kAttrMail, "joe@example.com"},
                  {kAttrMailQuota, "10M"},
                  {kAttrMailMsgQuota, "500"}});
  }
  bool exists(const std::string& name) {
    return mboxlist_lookup(name.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr) == 0;
  }
  std::string partition(const std::string& name) {
    char* p = nullptr;
    if (mboxlist_lookup(name.c_str(), nullptr, &p, nullptr, nullptr, nullptr) != 0) return "<none>";
    std::string s = p;
    free(p);
    return s;
  }
  quotadata quota(const std::string& name) {
    quotadata qd;
    EXPECT_EQ(mboxlist_getquotaroot(name.c_str(), &qd, nullptr), 0) << name;
    return qd;
  }
  // The folder's messages as stored, in order.
  std::vector<std::string> messages(const std::string& name) {
    std::vector<std::string> out;
    mailbox m;
    if (mailbox_open(name.c_str(), 0, auth_dontCheckAcl, &m) != 0) {
      ADD_FAILURE() << "cannot open " << name;
      return out;
    }
    for (unsigned i = 1; i <= m.mbd.exists; ++i) {
      index_record rec;
      EXPECT_EQ(mailbox_read_index_record(&m, i, &rec), 0);
      EXPECT_TRUE(rec.system_flags & INDEX_FLAG_CRLF_NODOT) << "message " << i;
      char rel[MAILBOX_FNAME_LEN];
      mailbox_message_fname(&m, rec.uid, rel);
      out.push_back(read_text_file(std::string(m.msgpath) + "/" + rel));
    }
    mailbox_close(&m);
    return out;
  }
  TempDir dir_;
};

TEST_F(Provision, FreshCreationWithQuotasAndOneWelcome) {
  UserAttrs a = joe();
  char* part = nullptr;
  ASSERT_EQ(autocreate("joe", "mail.example.com", nullptr, &part, &a, 0), 0);
  ASSERT_NE(part, nullptr);
  EXPECT_STREQ(part, "second");  // from mailmessagestore's last component
  free(part);
  quotadata qd = quota("user/joe");
  EXPECT_EQ(qd.qmax, 10240u);
  EXPECT_EQ(qd.msgqmax, 500u);
  std::vector<std::string> msgs = messages("user/joe");
  ASSERT_EQ(msgs.size(), 1u);
  const std::string& m = msgs[0];
  EXPECT_EQ(m.rfind("Subject: Welcome\r\nTo: joe@example.com\r\nDate: ", 0), 0u) << m;
  EXPECT_NE(m.find("\r\nFrom: Mail Administrator <Postmaster@mail.example.com>\r\nMIME-Version: 1.0\r\n"
                   "Content-Type: text/plain; charset=us-ascii\r\nContent-Transfer-Encoding: 7bit\r\n\r\n"
                   "Hello,\r\nyour account: https://mail.example.com/u\r\n"),
            std::string::npos)
      << m;
  for (size_t i = 0; i < m.size(); ++i) {
    if (m[i] == '\n') {
      EXPECT_TRUE(i > 0 && m[i - 1] == '\r') << "bare LF at " << i;
    }
  }

  // Again: nothing added, nothing changed.
  ASSERT_EQ(autocreate("joe", "mail.example.com", nullptr, nullptr, &a, 0), 0);
  ASSERT_EQ(autocreate("joe", nullptr, nullptr, nullptr, nullptr, 0), 0);
  EXPECT_EQ(messages("user/joe").size(), 1u);
  EXPECT_EQ(quota("user/joe").qmax, 10240u);
  // A changed directory quota applies on the next call with attributes.
  a.values[kAttrMailQuota] = {"20M"};
  a.values[kAttrMailMsgQuota] = {"-1"};
  ASSERT_EQ(autocreate("joe", "mail.example.com", nullptr, nullptr, &a, 0), 0);
  EXPECT_EQ(quota("user/joe").qmax, 20480u);
  EXPECT_EQ(quota("user/joe").msgqmax, U);
  EXPECT_EQ(messages("user/joe").size(), 1u);
  a.values[kAttrMailQuota] = {"30M"};
  ASSERT_EQ(update_userquota("joe", a), 0);
  EXPECT_EQ(quota("user/joe").qmax, 30720u);
  EXPECT_EQ(update_userquota("nobody", a), IMAP_MAILBOX_NONEXISTENT);
}

TEST_F(Provision, NoticeThroughTheCallersLockedAppend) {
  // A caller holding the INBOX's index lock (an append in progress) must
  // get the message through its own handle: a second append_setup on the
  // folder would wait for that lock for ever.
  UserAttrs a = joe();
  ASSERT_EQ(autocreate("joe", nullptr, nullptr, nullptr, &a, 0), 0);
  appendmbox ambox;
  ASSERT_EQ(append_setup(&ambox, "user/joe", 0, MBOX_VERSION, auth_dontCheckAcl, APPEND_ACL_NOCHECK, 0), 0);
  EXPECT_EQ(CreateMessage_from_text("joe", "user/joe", "joe@example.com", nullptr, "Subject: notice$$Full.$", &ambox),
            0);
  EXPECT_EQ(CreateMessage("joe", "user/joe", nullptr, nullptr, "gen.newuserforms", &ambox), 0);
  EXPECT_EQ(CreateMessage("joe", "user/joe", nullptr, nullptr, "no.such.option", &ambox), -1);
  append_finish(&ambox);
  std::vector<std::string> msgs = messages("user/joe");
  ASSERT_EQ(msgs.size(), 3u);
  EXPECT_EQ(msgs[1].rfind("Subject: notice\r\n", 0), 0u);
  EXPECT_EQ(msgs[2].rfind("Subject: Welcome\r\nTo: joe\r\n", 0), 0u);
}

TEST_F(Provision, WithoutAttributesUsesDefaults) {
  start("store.defaultmailboxquota = 1M\nstore.defaultmessagequota = 9\n");
  char* part = nullptr;
  ASSERT_EQ(autocreate("ann", "elsewhere.example.org", "/ignored", &part, nullptr, 77), 0);
  EXPECT_STREQ(part, "primary");
  free(part);
  EXPECT_EQ(quota("user/ann").qmax, 1024u);
  EXPECT_EQ(quota("user/ann").msgqmax, 9u);
  mboxdata mbd;
  ASSERT_EQ(mboxlist_lookup("user/ann", &mbd, nullptr, nullptr, nullptr, nullptr), 0);
  EXPECT_EQ(mbd.uid_validity, 77u);
  EXPECT_EQ(messages("user/ann").size(), 1u);
  // A wanted partition wins over the directory's.
  UserAttrs a = joe();
  ASSERT_EQ(autocreate("bob", nullptr, "primary", nullptr, &a, 0), 0);
  EXPECT_EQ(partition("user/bob"), "primary");
}

TEST_F(Provision, OtherMailHostCreatesNothing) {
  UserAttrs a = joe();
  a.values[kAttrMailHost] = {"mail.other.org"};
  char* part = reinterpret_cast<char*>(1);
  EXPECT_EQ(autocreate("joe", "mail.example.com", nullptr, &part, &a, 0), IMAP_WRONG_MAILHOST);
  EXPECT_EQ(part, nullptr);
  a.values[kAttrMailHost].clear();
  EXPECT_EQ(autocreate("joe", "mail.example.com", nullptr, nullptr, &a, 0), IMAP_WRONG_MAILHOST);
  EXPECT_FALSE(exists("user/joe"));
}

TEST_F(Provision, HostileUserIdsAreRefusedBeforeAnything) {
  UserAttrs a = joe();
  std::string longid(129, 'a');
  std::string owner_limit(128, 'b');  // no owner buffer holds it
  for (std::string id : {std::string(""), std::string("a/b"), std::string("*"), std::string("jo*"),
                         std::string("a)(uid=*"), std::string("jo%"), std::string("x\ty"), longid, owner_limit}) {
    EXPECT_EQ(autocreate(id.c_str(), "mail.example.com", nullptr, nullptr, &a, 0), IMAP_INVALID_USER) << id;
  }
  EXPECT_EQ(autocreate(nullptr, nullptr, nullptr, nullptr, nullptr, 0), IMAP_INVALID_USER);
  EXPECT_FALSE(exists("user/a"));
  EXPECT_FALSE(exists("user/a/b"));
  std::string fits(127, 'c');
  EXPECT_EQ(autocreate(fits.c_str(), "mail.example.com", nullptr, nullptr, &a, 0), 0);
  EXPECT_TRUE(exists("user/" + fits));
}

TEST_F(Provision, HostileDirectoryValues) {
  // mailmessagestore naming something outside the partitions: an unknown
  // partition, nothing made.
  UserAttrs a = joe();
  a.values[kAttrMailMessageStore] = {"../../etc"};
  EXPECT_EQ(autocreate("u1", nullptr, nullptr, nullptr, &a, 0), IMAP_PARTITION_UNKNOWN);
  EXPECT_FALSE(exists("user/u1"));
  EXPECT_NE(access((dir_.path() + "/etc").c_str(), F_OK), 0);
  // "/" leaves nothing of a name: the default partition; so does "default".
  for (const char* store : {"/", "///", "DEFAULT", ""}) {
    a.values[kAttrMailMessageStore] = {store};
    std::string id = std::string("u") + std::to_string(strlen(store)) + (store[0] == 'D' ? "d" : "");
    ASSERT_EQ(autocreate(id.c_str(), nullptr, nullptr, nullptr, &a, 0), 0) << store;
    EXPECT_EQ(partition("user/" + id), "primary") << store;
  }
  // A mail address with CR LF is absent: the user id is the recipient and
  // no header line is added.
  a = joe();
  a.values[kAttrMail] = {"jo@example.com\r\nBcc: evil@example.com"};
  ASSERT_EQ(autocreate("u2", nullptr, nullptr, nullptr, &a, 0), 0);
  std::vector<std::string> msgs = messages("user/u2");
  ASSERT_EQ(msgs.size(), 1u);
  EXPECT_NE(msgs[0].find("\r\nTo: u2\r\n"), std::string::npos) << msgs[0];
  EXPECT_EQ(msgs[0].find("Bcc"), std::string::npos);
  // A 64 KB value is ignored.
  a = joe();
  a.values[kAttrMail] = {std::string(65536, 'm') + "@example.com"};
  a.values[kAttrMailQuota] = {std::string(65536, '1')};
  ASSERT_EQ(autocreate("big", nullptr, nullptr, nullptr, &a, 0), 0);
  EXPECT_EQ(quota("user/big").qmax, U);
  ASSERT_EQ(messages("user/big").size(), 1u);
  EXPECT_NE(messages("user/big")[0].find("\r\nTo: big\r\n"), std::string::npos);
}

TEST_F(Provision, LanguageTagsAreUsedOnlyWhenPlain) {
  // Cyrillic text goes out in KOI8-R for "ru"; a tag that is not plain is
  // ignored (UTF-8).
  start("gen.newuserforms = Subject: s$$\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82$\n");
  struct {
    const char* lang;
    const char* id;
    const char* charset;
  } cases[] = {{"RU", "l1", "koi8-r"},
               {"ru,de", "l2", "utf-8"},
               {"ru;binary", "l3", "utf-8"},
               {"", "l4", "utf-8"},
               // Not plain tags, though they start like one: ignored whole.
               {"ru-ru,de", "l5", "utf-8"},
               {"ru-aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa", "l6", "utf-8"},
               {"ru-aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa", "l7", "koi8-r"}};
  for (const auto& c : cases) {
    UserAttrs a = joe();
    a.values[kAttrPreferredLanguage] = {c.lang};
    ASSERT_EQ(autocreate(c.id, nullptr, nullptr, nullptr, &a, 0), 0);
    std::vector<std::string> msgs = messages(std::string("user/") + c.id);
    ASSERT_EQ(msgs.size(), 1u);
    EXPECT_NE(msgs[0].find(std::string("charset=") + c.charset + "\r\n"), std::string::npos) << c.lang << msgs[0];
  }
}

TEST_F(Provision, BadWelcomeTextNeverFailsTheCreation) {
  for (const char* tmpl : {"Subject: s$$a\\00b", "Subject: never ends", ""}) {
    start(std::string("gen.newuserforms = ") + tmpl + "\n");
    std::string id = "w" + std::to_string(strlen(tmpl));
    ASSERT_EQ(autocreate(id.c_str(), nullptr, nullptr, nullptr, nullptr, 0), 0) << tmpl;
    EXPECT_TRUE(exists("user/" + id));
    EXPECT_EQ(messages("user/" + id).size(), 0u) << tmpl;
  }
}

TEST_F(Provision, ConcurrentFirstUseMakesOneInboxAndOneWelcome) {
  UserAttrs a = joe();
  std::vector<int> results(8, -1);
  std::vector<std::thread> threads;
  for (int i = 0; i < 8; ++i)
    threads.emplace_back([&, i] { results[i] = autocreate("joe", "mail.example.com", nullptr, nullptr, &a, 0); });
  for (auto& t : threads) t.join();
  for (int r : results) EXPECT_EQ(r, 0) << error_message(r);
  EXPECT_EQ(messages("user/joe").size(), 1u);
  EXPECT_EQ(quota("user/joe").qmax, 10240u);
}

TEST_F(Provision, LocationOfSharedFolders) {
  UserAttrs a = joe();
  ASSERT_EQ(autocreate("joe", nullptr, nullptr, nullptr, &a, 0), 0);
  char* host = nullptr;
  // Another user whose INBOX is here.
  EXPECT_EQ(mailbox_location("Shared Folders/User/joe/Sent", "ann", nullptr, "mail.example.com", &host), 0);
  EXPECT_EQ(mailbox_location("user/joe/Sent", "ann", nullptr, "mail.example.com", &host), 0);
  EXPECT_EQ(mailbox_location("Shared Folders/User/jo*", "ann", nullptr, "mail.example.com", &host), 2);
  EXPECT_EQ(mailbox_location("public/x", "ann", nullptr, "mail.example.com", &host), 0);
  // Not here and no directory: elsewhere, host unknown.
  EXPECT_EQ(mailbox_location("user/zed/x", "ann", nullptr, "mail.example.com", &host), 1);
  EXPECT_EQ(host, nullptr);
  // The directory names the host.
  auto lookup = [](const char* id, UserAttrs* out) {
    out->values[kAttrMailHost] = {std::string(id) == "zed" ? "mail.other.org" : "mail.example.com"};
    return 0;
  };
  EXPECT_EQ(mailbox_location("user/zed/x", "ann", nullptr, "mail.example.com", &host, lookup), 1);
  ASSERT_NE(host, nullptr);
  EXPECT_STREQ(host, "mail.other.org");
  free(host);
  EXPECT_EQ(mailbox_location("user/kim/x", "ann", nullptr, "mail.example.com", &host, lookup), 0);
  // One's own folders.
  EXPECT_EQ(mailbox_location("user/ann/x", "ann", nullptr, "mail.example.com", &host), 0);
  EXPECT_EQ(mailbox_location("user/ann/x", "ann", "mail.example.com", "mail.example.com", &host), 0);
  EXPECT_EQ(mailbox_location("user/ann/x", "ann", "mail.other.org", "mail.example.com", &host), 1);
  ASSERT_NE(host, nullptr);
  EXPECT_STREQ(host, "mail.other.org");
  free(host);
}

}  // namespace
