#include "lmtp/settings.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/config.h"
#include "common/test_util.h"

namespace {

int parse(std::vector<std::string> args, LmtpOptions* out) {
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  return parse_lmtp_options(static_cast<int>(args.size()), argv.data(), out);
}

TEST(LmtpOptions, Parse) {
  LmtpOptions o;
  ASSERT_EQ(parse({"orvlmtpd", "-s", "/run/l", "-p", "2424", "-d", "3"}, &o), 0);
  EXPECT_EQ(*o.socket, "/run/l");
  EXPECT_EQ(o.port, 2424);
  EXPECT_EQ(o.fd, 3);
  EXPECT_EQ(parse({"orvlmtpd", "--help"}, &o), 1);
  EXPECT_EQ(parse({"orvlmtpd", "-h"}, &o), 1);
  EXPECT_EQ(parse({"orvlmtpd", "-p", "65536"}, &o), 64);
  EXPECT_EQ(parse({"orvlmtpd", "-p", "x"}, &o), 64);
  EXPECT_EQ(parse({"orvlmtpd", "-s", ""}, &o), 64);
  EXPECT_EQ(parse({"orvlmtpd", "extra"}, &o), 64);
  EXPECT_EQ(parse({"orvlmtpd", "-q"}, &o), 64);
}

TEST(LmtpSettings, DefaultsAndKeys) {
  TempDir dir;
  std::string base = "local.store.dir = " + dir.path() + "/store\nstore.partition.primary.path = " + dir.path() +
                     "/p1\nstore.partition.second.path = " + dir.path() + "/p2\nlocal.hostname = mx.test\n";
  ASSERT_EQ(configmsg_init_text(base, "test", "orvlmtpd"), 0);
  std::vector<std::string> w;
  LmtpSettings s = load_lmtp_settings(config_getdefaultcache(), LmtpOptions(), &w);
  EXPECT_EQ(s.socket, dir.path() + "/store/lmtp");
  EXPECT_EQ(s.port, 0u);
  EXPECT_EQ(s.max_recipients, 100u);
  EXPECT_EQ(s.max_size, 0u);
  EXPECT_EQ(s.hostname, "mx.test");
  EXPECT_EQ(s.spool_dir, dir.path() + "/p1");
  EXPECT_TRUE(w.empty());
  configmsg_free();

  ASSERT_EQ(configmsg_init_text(base + "service.lmtp.socket = /run/x\nservice.lmtp.port = 24\n"
                                       "service.lmtp.maxrecipients = 0\nservice.lmtp.maxmessagesize = 10M\n",
                                "test", "orvlmtpd"),
            0);
  LmtpOptions o;
  o.port = 2525;
  s = load_lmtp_settings(config_getdefaultcache(), o, &w);
  EXPECT_EQ(s.socket, "/run/x");
  EXPECT_EQ(s.port, 2525u);           // -p wins
  EXPECT_EQ(s.max_recipients, 1u);    // out of range: bounded, with a warning
  EXPECT_EQ(s.max_size, 0u);          // not a number: no limit, with a warning
  EXPECT_EQ(w.size(), 2u);
  configmsg_free();
}

}  // namespace
