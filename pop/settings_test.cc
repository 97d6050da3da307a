// Options and settings as read from a configuration.
#include "pop/settings.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/config.h"

namespace {

std::shared_ptr<const PopSettings> settings_from(const std::string& text, std::vector<std::string>* warnings) {
  EXPECT_EQ(configmsg_init_text(text, "test", "poptest"), 0);
  return load_settings(config_getdefaultcache(), "sys.example.com", warnings);
}

PopStartup startup_from(const std::string& text, const PopOptions& opts = PopOptions()) {
  EXPECT_EQ(configmsg_init_text(text, "test", "poptest"), 0);
  std::vector<std::string> w;
  return load_startup(config_getdefaultcache(), opts, &w);
}

TEST(PopSettings, Defaults) {
  PopStartup s = startup_from("");
  EXPECT_EQ(s.plain_port, 110u);
  EXPECT_EQ(s.tls_port, 995u);  // POP3 over TLS, not the telnet port 992
  EXPECT_EQ(s.numprocesses, 1u);
  EXPECT_EQ(s.maxsessions, 1000u);
  EXPECT_TRUE(s.listenaddr.empty());
  ASSERT_EQ(s.tls.nicknames.size(), 1u);
  EXPECT_EQ(s.tls.nicknames[0], "Server-Cert");
  EXPECT_FALSE(s.tls.tls13_only);

  std::vector<std::string> w;
  auto p = settings_from("", &w);
  EXPECT_TRUE(w.empty());
  EXPECT_EQ(p->idle_timeout_s, 600u);
  EXPECT_EQ(p->hostname, "sys.example.com");
  EXPECT_EQ(p->banner.rfind("sys.example.com POP3 service (Corvane ", 0), 0u) << p->banner;
  EXPECT_FALSE(p->apop_offered);
  EXPECT_EQ(p->max_bad_commands, 20u);
  EXPECT_FALSE(p->allow.has_value());
  EXPECT_FALSE(p->deny.has_value());
}

TEST(PopSettings, ValuesAndOptions) {
  PopOptions o;
  o.port = 1110;
  o.sslport = 992;
  o.listenaddr = "127.0.0.1";
  o.single = true;
  PopStartup s = startup_from(
      "service.pop.sslport = 1995\nservice.pop.numprocesses = 4\nservice.listenaddr = INADDR_ANY\n"
      "local.ssl.certnickname = EC-Cert, RSA-Cert\nlocal.ssl.minversion = tls1.3\n",
      o);
  EXPECT_EQ(s.plain_port, 1110u);
  EXPECT_EQ(s.tls_port, 992u);  // sites that used 992 keep it through the option or the key
  EXPECT_EQ(s.listenaddr, "127.0.0.1");
  EXPECT_EQ(s.numprocesses, 1u);  // -1 serves one session in one process
  EXPECT_EQ(s.tls.nicknames, (std::vector<std::string>{"EC-Cert", "RSA-Cert"}));
  EXPECT_TRUE(s.tls.tls13_only);
  EXPECT_EQ(startup_from("service.pop.sslport = 1995\nservice.listenaddr = INADDR_ANY\n").tls_port, 1995u);
  EXPECT_TRUE(startup_from("service.listenaddr = INADDR_ANY\n").listenaddr.empty());
}

TEST(PopSettings, MinimumTlsVersionIsClamped) {
  EXPECT_EQ(configmsg_init_text("local.ssl.minversion = tls1.0\n", "test", "poptest"), 0);
  std::vector<std::string> w;
  PopStartup s = load_startup(config_getdefaultcache(), PopOptions(), &w);
  EXPECT_FALSE(s.tls.tls13_only);
  ASSERT_EQ(w.size(), 1u);
  EXPECT_EQ(w[0], "local.ssl.minversion tls1.0 is not supported, using tls1.2");
}

TEST(PopSettings, IdleTimeoutAtLeastTenMinutes) {
  std::vector<std::string> w;
  auto p = settings_from("service.pop.idletimeout = 5\n", &w);
  EXPECT_EQ(p->idle_timeout_s, 600u);
  EXPECT_EQ(w, std::vector<std::string>{"Idle timeout too short, using 10 minutes"});
  w.clear();
  p = settings_from("service.pop.idletimeout = 15\n", &w);
  EXPECT_EQ(p->idle_timeout_s, 900u);
  EXPECT_TRUE(w.empty());
}

TEST(PopSettings, HostnameBannerAndChallengeSwitch) {
  std::vector<std::string> w;
  auto p = settings_from(
      "local.hostname = mail.example.com, other.example.com\n"
      "service.pop.banner = %h ready\n"
      "sasl.default.ldap.has_plain_passwords = on\n"
      "service.pop.maxbadcommands = 0\n",
      &w);
  EXPECT_EQ(p->hostname, "mail.example.com");
  EXPECT_EQ(p->banner, "mail.example.com ready");
  EXPECT_TRUE(p->apop_offered);
  EXPECT_EQ(p->max_bad_commands, 0u);
  p = settings_from("local.hostname = " + std::string(300, 'h') + "\n", &w);
  EXPECT_EQ(p->hostname.size(), 256u);
}

TEST(PopSettings, Filters) {
  std::vector<std::string> w;
  auto p = settings_from(
      "service.pop.domainallowed = 127.0.0.0/8, ::1\nservice.pop.domainnotallowed = 10.0.0.1\n"
      "service.pop.connlimits = 127.0.0.1:2\n",
      &w);
  EXPECT_TRUE(w.empty());
  ASSERT_TRUE(p->allow.has_value());
  ASSERT_TRUE(p->deny.has_value());
  ASSERT_TRUE(p->connlimits.has_value());
  sockaddr_in in{};
  in.sin_family = AF_INET;
  in.sin_addr.s_addr = htonl(0x7f000001);
  ClientAddr local = ClientAddr::from_sockaddr(reinterpret_cast<sockaddr*>(&in), sizeof in);
  EXPECT_TRUE(p->allow->matches(local, ""));
  EXPECT_FALSE(p->deny->matches(local, ""));
  EXPECT_EQ(p->connlimits->limit_for(local, ""), 2u);
}

TEST(PopOptions, Parse) {
  auto parse = [](std::vector<const char*> args, PopOptions* o) {
    args.insert(args.begin(), "orvpopd");
    return parse_pop_options(static_cast<int>(args.size()), const_cast<char**>(args.data()), o);
  };
  PopOptions o;
  EXPECT_EQ(parse({"-0", "-d", "0", "-D", "1", "-x"}, &o), 0);
  EXPECT_TRUE(o.slave);
  EXPECT_TRUE(o.strict);
  EXPECT_EQ(o.plain_fd, 0);
  EXPECT_EQ(o.tls_fd, 1);
  EXPECT_EQ(parse({"-1", "-p", "1110", "-P", "1995", "-a", "::1"}, &o), 0);
  EXPECT_TRUE(o.single);
  EXPECT_FALSE(o.slave);
  EXPECT_EQ(o.port, 1110);
  EXPECT_EQ(o.sslport, 1995);
  EXPECT_EQ(*o.listenaddr, "::1");
  EXPECT_EQ(parse({"--help"}, &o), 1);
  for (auto bad : std::vector<std::vector<const char*>>{
           {"-q"}, {"-p", "x"}, {"-p", "70000"}, {"-d", "-1"}, {"-d"}, {"extra"}, {"-p", "110x"}})
    EXPECT_EQ(parse(bad, &o), 64) << bad[0];
}

}  // namespace
