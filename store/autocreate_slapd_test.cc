// Provisioning from a real directory (the test slapd): what the callers of
// autocreate_from_directory rely on when many of them arrive at once.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "common/auth.h"
#include "common/config.h"
#include "common/imap_err.h"
#include "common/slapd_testutil.h"
#include "common/test_util.h"
#include "store/autocreate.h"
#include "store/mailbox.h"
#include "store/mboxlist.h"
#include "store/quota.h"
#include "store/userattr.h"

namespace {

constexpr const char kLdif[] =
    "dn: o=internet\nobjectClass: organization\no: internet\n\n"
    "dn: dc=com,o=internet\nobjectClass: domain\ndc: com\n\n"
    "dn: dc=example,dc=com,o=internet\nobjectClass: domain\nobjectClass: inetDomain\ndc: example\n"
    "inetDomainBaseDN: o=example,o=isp\n\n"
    "dn: o=isp\nobjectClass: organization\no: isp\n\n"
    "dn: o=example,o=isp\nobjectClass: organization\no: example\n\n"
    "dn: uid=joe,o=example,o=isp\nobjectClass: inetOrgPerson\nobjectClass: corvaneMailUser\nuid: joe\ncn: J\nsn: J\n"
    "mail: joe@example.com\nmailhost: mail.example.com\nmailmessagestore: /var/store/second/\n"
    "mailquota: 2M\nmailmsgquota: 50\n";

class ProvisionFromDirectory : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(slapd_.start({"o=internet", "o=isp"}));
    ASSERT_TRUE(slapd_.load(kLdif));
    const std::string conf = "local.store.dir = " + dir_.path() + "/store\nlocal.log.target = stderr\n" +
                             "store.partition.primary.path = " + dir_.path() + "/p1\n" +
                             "store.partition.second.path = " + dir_.path() + "/p2\n" +
                             "local.hostname = mail.example.com\n"
                             "local.ugldaphost = 127.0.0.1\nlocal.ugldapport = " +
                             slapd_.port() + "\nlocal.ugldapbinddn = " + slapd_.rootdn() +
                             "\nlocal.ugldapbindcred = " + slapd_.rootpw() +
                             "\nlocal.ugldapconnecttimeout = 5\nlocal.ugldaptimeout = 5\n"
                             "service.dcroot = o=internet\nservice.defaultdomain = example.com\n"
                             "gen.newuserforms = Subject: Welcome$$Your mailbox is ready.$\n";
    ASSERT_EQ(configmsg_init_text(conf, "test", "autocreate_slapd_test"), 0);
    mboxlist_set_fatal_handler([](int) {});
    ASSERT_EQ(mboxlist_recover(), 0);
  }
  void TearDown() override {
    userattr_exit();
    mboxlist_close();
    mboxlist_set_fatal_handler(nullptr);
    configmsg_free();
  }
  TempDir dir_;
  TestSlapd slapd_;
};

// The first use of an account often comes from several places at once (a
// burst of deliveries, a login): every caller succeeds, and the account
// gets one INBOX, the directory's quotas and one welcome message.  The
// threads share the process's directory set-up, made by whichever of them
// comes first.
TEST_F(ProvisionFromDirectory, EightThreadsAtOnceMakeOneInboxAndOneWelcome) {
  constexpr int kThreads = 8;
  std::vector<int> results(kThreads, -1);
  std::vector<std::string> partitions(kThreads);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] {
      char* part = nullptr;
      results[i] = autocreate_from_directory("joe", &part);
      if (part) partitions[i] = part;
      std::free(part);
    });
  }
  for (auto& t : threads) t.join();
  for (int i = 0; i < kThreads; ++i) {
    EXPECT_EQ(results[i], 0) << "thread " << i << ": " << error_message(results[i]);
    EXPECT_EQ(partitions[i], "second") << "thread " << i;
  }

  // One folder on disk: one index, on the partition the entry names.
  std::vector<std::string> indexes;
  for (const auto& e : std::filesystem::recursive_directory_iterator(dir_.path()))
    if (e.path().filename() == "store.idx") indexes.push_back(e.path().string());
  ASSERT_EQ(indexes.size(), 1u) << ::testing::PrintToString(indexes);
  EXPECT_EQ(indexes[0].rfind(dir_.path() + "/p2/", 0), 0u) << indexes[0];
  mailbox m;
  ASSERT_EQ(mailbox_open("user/joe", 0, auth_dontCheckAcl, &m), 0);
  EXPECT_EQ(m.mbd.exists, 1u) << "exactly the welcome message";
  mailbox_close(&m);
  quotadata qd;
  ASSERT_EQ(mboxlist_getquotaroot("user/joe", &qd, nullptr), 0);
  EXPECT_EQ(qd.qmax, 2048u);
  EXPECT_EQ(qd.msgqmax, 50u);
}

}  // namespace
