// Over-quota warnings appended to an INBOX and the over-quota status kept in
// the owner's directory entry, against a private slapd.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "common/auth.h"
#include "common/config.h"
#include "common/imap_err.h"
#include "common/ldpool.h"
#include "common/slapd_testutil.h"
#include "common/test_util.h"
#include "store/append.h"
#include "store/mailbox.h"
#include "store/mboxlist.h"
#include "store/quota.h"
#include "store/storenotify.h"
#include "store/userattr.h"

namespace {

// joe reads French; kim's account was put on hold by an administrator;
// ann has no mail address.
constexpr const char kLdif[] =
    "dn: o=internet\nobjectClass: organization\no: internet\n\n"
    "dn: dc=com,o=internet\nobjectClass: domain\ndc: com\n\n"
    "dn: dc=example,dc=com,o=internet\nobjectClass: domain\nobjectClass: inetDomain\ndc: example\n"
    "inetDomainBaseDN: o=example,o=isp\n\n"
    "dn: o=isp\nobjectClass: organization\no: isp\n\n"
    "dn: o=example,o=isp\nobjectClass: organization\no: example\n\n"
    "dn: uid=joe,o=example,o=isp\nobjectClass: inetOrgPerson\nobjectClass: corvaneMailUser\nuid: joe\ncn: J\nsn: J\n"
    "mailhost: mail.example.com\nmail: joe@example.com\nmail: joe.other@example.com\npreferredLanguage: fr\n"
    "mailuserstatus: Active\n\n"
    "dn: uid=kim,o=example,o=isp\nobjectClass: inetOrgPerson\nobjectClass: corvaneMailUser\nuid: kim\ncn: K\nsn: K\n"
    "mailhost: mail.example.com\nmail: kim@example.com\nmailuserstatus: hold\n\n"
    "dn: uid=ann,o=example,o=isp\nobjectClass: inetOrgPerson\nobjectClass: corvaneMailUser\nuid: ann\ncn: A\nsn: A\n"
    "mailhost: mail.example.com\n";

constexpr const char kNotice[] = "Subject: Mailbox full$$Your mailbox is almost full.$";
constexpr const char kNoticeFr[] = "Subject: Boite pleine$$Votre boite est presque pleine.$";

class OverQuota : public ::testing::Test {
 protected:
  void SetUp() override {
    // Every wait below is bounded by the directory time-outs; an append
    // that waited on its own index lock would never return: the alarm
    // turns such a hang into a failure.
    alarm(60);
    ASSERT_TRUE(slapd_.start({"o=internet", "o=isp"}));
    ASSERT_TRUE(slapd_.load(kLdif));
    LdPoolConfig cfg;
    cfg.host = "127.0.0.1";
    cfg.port = std::stoi(slapd_.port());
    cfg.op_timeout_s = 5;
    ASSERT_EQ(ldpool_new(cfg, &reader_), 0);
    start("");
  }
  void TearDown() override {
    userattr_exit();
    storenotify_shutdown();
    mboxlist_close();
    mboxlist_set_fatal_handler(nullptr);
    configmsg_free();
    alarm(0);
  }
  std::string directory_config() const {
    return "local.ugldaphost = 127.0.0.1\nlocal.ugldapport = " + slapd_.port() +
           "\nlocal.ugldapbinddn = " + slapd_.rootdn() + "\nlocal.ugldapbindcred = " + slapd_.rootpw() +
           "\nlocal.ugldaptimeout = 5\nlocal.ugldapconnecttimeout = 5\n"
           "service.dcroot = o=internet\nservice.defaultdomain = example.com\n";
  }
  // (Re)starts the store with the directory, the warning texts and extra.
  void start(const std::string& extra, bool with_directory = true, bool with_text = true) {
    userattr_exit();
    storenotify_shutdown();
    mboxlist_close();
    std::string conf = "local.store.dir = " + dir_.path() + "/store\nlocal.log.target = stderr\n" +
                       "store.partition.primary.path = " + dir_.path() + "/p1\n" +
                       "local.hostname = mail.example.com\n" +
                       (with_text ? std::string("store.quotaexceededmsg = ") + kNotice +
                                        "\nstore.quotaexceededmsg;lang-fr = " + kNoticeFr + "\n"
                                  : "") +
                       (with_directory ? directory_config() : "") + extra;
    ASSERT_EQ(configmsg_init_text(conf, "test", "overquota_test"), 0);
    mboxlist_set_fatal_handler([](int) {});
    ASSERT_EQ(mboxlist_recover(), 0);
  }
  void inbox(const char* user, uint32_t qmax_kb) {
    const std::string name = std::string("user/") + user;
    ASSERT_EQ(mboxlist_createmailbox(name.c_str(), MBOX_VERSION, "primary", user, auth_dontCheckAcl, qmax_kb,
                                     QUOTA_UNLIMITED, 0),
              0);
  }
  // Delivers one message of about size bytes as the delivery program does
  // (quota checked for the message's size).
  int deliver(const char* name, size_t size, const char* subject = "x") {
    std::string text = std::string("Subject: ") + subject + "\r\n\r\n";
    text += std::string(size > text.size() + 2 ? size - text.size() - 2 : 1, 'a') + "\r\n";
    appendmbox a;
    int r =
        append_setup(&a, name, 0, MBOX_VERSION, auth_dontCheckAcl, APPEND_ACL_NOCHECK, -static_cast<long>(text.size()));
    if (r) return r;
    r = append_fromstring(&a, text.data(), text.size(), time(nullptr), nullptr, 0, nullptr, nullptr);
    append_finish(&a);
    return r;
  }
  std::vector<std::string> messages(const char* name) {
    std::vector<std::string> out;
    mailbox m;
    if (mailbox_open(name, 0, auth_dontCheckAcl, &m) != 0) {
      ADD_FAILURE() << "cannot open " << name;
      return out;
    }
    for (unsigned i = 1; i <= m.mbd.exists; ++i) {
      index_record rec;
      EXPECT_EQ(mailbox_read_index_record(&m, i, &rec), 0);
      char rel[MAILBOX_FNAME_LEN];
      mailbox_message_fname(&m, rec.uid, rel);
      out.push_back(read_text_file(std::string(m.msgpath) + "/" + rel));
    }
    mailbox_close(&m);
    return out;
  }
  // The first line of each message.
  std::vector<std::string> subjects(const char* name) {
    std::vector<std::string> out;
    for (const std::string& m : messages(name)) out.push_back(m.substr(0, m.find("\r\n")));
    return out;
  }
  quotadata quota(const char* name) {
    quotadata qd;
    EXPECT_EQ(mboxlist_getquotaroot(name, &qd, nullptr), 0) << name;
    return qd;
  }
  // mailuserstatus as the directory holds it, read on a connection of our own.
  std::string status(const char* uid) {
    std::vector<LdEntry> entries;
    int r = ldpool_search(reader_.get(), std::string("uid=") + uid + ",o=example,o=isp", LdScope::kBase,
                          "(objectClass=*)", {"mailuserstatus"}, 0, &entries);
    if (r || entries.size() != 1) return "<error " + std::to_string(r) + ">";
    const auto* v = entries[0].values("mailuserstatus");
    return v && v->size() == 1 ? (*v)[0] : "<none>";
  }
  void expunge_all(const char* name) {
    mailbox m;
    ASSERT_EQ(mailbox_open(name, 0, auth_dontCheckAcl, &m), 0);
    EXPECT_EQ(mailbox_expunge(&m, 0, 0, expungeall, nullptr), 0);
    mailbox_close(&m);
  }

  TestSlapd slapd_;
  LdPoolPtr reader_;
  TempDir dir_;
};

using Lines = std::vector<std::string>;

// Over 90 % of a 100 KB quota, with room left for a few small messages.
constexpr size_t kBig = 92 * 1024 + 100;

TEST_F(OverQuota, OneWarningInTheOwnersLanguageThenNoneWithinTheInterval) {
  inbox("joe", 100);  // the warning is due from 90 KB (90 %)
  ASSERT_EQ(deliver("user/joe", kBig, "big"), 0);
  // The check runs before each append: the one that crossed sent nothing.
  EXPECT_EQ(subjects("user/joe"), (Lines{"Subject: big"}));
  EXPECT_EQ(quota("user/joe").qwarn, 0u);

  const time_t before = time(nullptr);
  ASSERT_EQ(deliver("user/joe", 100, "second"), 0);
  EXPECT_EQ(subjects("user/joe"), (Lines{"Subject: big", "Subject: Boite pleine", "Subject: second"}));
  const std::vector<std::string> msgs = messages("user/joe");
  ASSERT_EQ(msgs.size(), 3u);
  // Addressed to the first of joe's addresses, a complete message in CRLF.
  EXPECT_NE(msgs[1].find("\r\nTo: joe@example.com\r\n"), std::string::npos) << msgs[1];
  EXPECT_NE(msgs[1].find("\r\nFrom: Mail Administrator <Postmaster@mail.example.com>\r\n"), std::string::npos)
      << msgs[1];
  EXPECT_NE(msgs[1].find("\r\n\r\nVotre boite est presque pleine.\r\n"), std::string::npos) << msgs[1];
  EXPECT_GE(quota("user/joe").qwarn, static_cast<uint32_t>(before));
  EXPECT_EQ(quota("user/joe").msgqrused, 3u);

  // Within the interval (7 days by default): nothing more.
  ASSERT_EQ(deliver("user/joe", 100, "third"), 0);
  EXPECT_EQ(subjects("user/joe").size(), 4u);
  EXPECT_EQ(subjects("user/joe").back(), "Subject: third");

  // With an interval of 0 days the next append warns again.
  start("store.quotaexceededmsginterval = 0\n");
  ASSERT_EQ(deliver("user/joe", 100, "fourth"), 0);
  EXPECT_EQ(subjects("user/joe"), (Lines{"Subject: big", "Subject: Boite pleine", "Subject: second", "Subject: third",
                                         "Subject: Boite pleine", "Subject: fourth"}));
}

TEST_F(OverQuota, PlainTextForOtherLanguagesAndTheUserIdWithoutAnAddress) {
  inbox("ann", 100);
  ASSERT_EQ(deliver("user/ann", kBig, "big"), 0);
  ASSERT_EQ(deliver("user/ann", 10, "next"), 0);
  const std::vector<std::string> msgs = messages("user/ann");
  ASSERT_EQ(msgs.size(), 3u);
  EXPECT_EQ(msgs[1].rfind("Subject: Mailbox full\r\nTo: ann\r\n", 0), 0u) << msgs[1];
  EXPECT_NE(msgs[1].find("\r\n\r\nYour mailbox is almost full.\r\n"), std::string::npos) << msgs[1];
}

TEST_F(OverQuota, NoWarningWithoutDirectoryOrTextAndTheAppendStillSucceeds) {
  inbox("joe", 100);
  inbox("nobody", 100);
  ASSERT_EQ(deliver("user/joe", kBig, "big"), 0);
  ASSERT_EQ(deliver("user/nobody", kBig, "big"), 0);

  // No entry for the owner.
  ASSERT_EQ(deliver("user/nobody", 10, "next"), 0);
  EXPECT_EQ(subjects("user/nobody"), (Lines{"Subject: big", "Subject: next"}));
  EXPECT_EQ(quota("user/nobody").qwarn, 0u);

  // No text configured.
  start("", true, false);
  ASSERT_EQ(deliver("user/joe", 10, "a"), 0);
  EXPECT_EQ(subjects("user/joe"), (Lines{"Subject: big", "Subject: a"}));

  // No directory configured.
  start("", false);
  ASSERT_EQ(deliver("user/joe", 10, "b"), 0);
  EXPECT_EQ(subjects("user/joe"), (Lines{"Subject: big", "Subject: a", "Subject: b"}));

  // The directory down: the append goes on, and the warning waits for the
  // next append (qwarn unset).
  start("");
  ASSERT_TRUE(slapd_.stop());
  ASSERT_EQ(deliver("user/joe", 10, "c"), 0);
  EXPECT_EQ(subjects("user/joe"), (Lines{"Subject: big", "Subject: a", "Subject: b", "Subject: c"}));
  EXPECT_EQ(quota("user/joe").qwarn, 0u);
  ASSERT_TRUE(slapd_.restart());
  ASSERT_EQ(deliver("user/joe", 10, "d"), 0);
  EXPECT_EQ(subjects("user/joe"),
            (Lines{"Subject: big", "Subject: a", "Subject: b", "Subject: c", "Subject: Boite pleine", "Subject: d"}));
  EXPECT_NE(quota("user/joe").qwarn, 0u);
}

TEST_F(OverQuota, DirectoryStatusFollowsTheUsageBothWays) {
  start("local.store.overquotastatus = on\n");  // warnings at 100 %, overdraft on
  inbox("joe", 10);
  inbox("kim", 10);
  ASSERT_EQ(deliver("user/joe", 6 * 1024, "a"), 0);
  EXPECT_EQ(status("joe"), "Active");
  ASSERT_EQ(deliver("user/joe", 6 * 1024, "b"), 0);  // 12 KB of 10: over
  EXPECT_EQ(status("joe"), "overquota");
  expunge_all("user/joe");  // back to nothing
  EXPECT_EQ(status("joe"), "active");

  // A status an administrator set is left alone.
  ASSERT_EQ(deliver("user/kim", 6 * 1024, "a"), 0);
  ASSERT_EQ(deliver("user/kim", 6 * 1024, "b"), 0);
  ASSERT_NE(quota("user/kim").qwhen, 0u);
  EXPECT_EQ(status("kim"), "hold");
  expunge_all("user/kim");
  EXPECT_EQ(status("kim"), "hold");

  // Directly: the status compares in any case; no entry, or the directory
  // down, is -1 and changes nothing.
  EXPECT_EQ(set_overquotastatus("user/joe", "ACTIVE", "overquota"), 0);
  EXPECT_EQ(status("joe"), "overquota");
  EXPECT_EQ(set_overquotastatus("user/nobody", "active", "overquota"), -1);
  EXPECT_EQ(set_overquotastatus("noowner", "active", "overquota"), -1);
  ASSERT_TRUE(slapd_.stop());
  EXPECT_EQ(set_overquotastatus("user/joe", "overquota", "active"), -1);
  ASSERT_TRUE(slapd_.restart());
  EXPECT_EQ(status("joe"), "overquota");
}

}  // namespace
