// How clients are named in log lines, from what accept() returns; what the
// supervisor keeps open for its children.
#include "pop/session.h"
#include "pop/supervisor.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/un.h>

#include <cstring>

namespace {

ClientAddr v6(const char* text, unsigned port) {
  sockaddr_in6 in6{};
  in6.sin6_family = AF_INET6;
  in6.sin6_port = htons(static_cast<uint16_t>(port));
  EXPECT_EQ(inet_pton(AF_INET6, text, &in6.sin6_addr), 1);
  return ClientAddr::from_sockaddr(reinterpret_cast<sockaddr*>(&in6), sizeof in6);
}

TEST(ClientHost, MappedAddressesBecomeIpv4) {
  // A dual-stack listener reports IPv4 clients as ::ffff:a.b.c.d: they must
  // look (and be treated) like the IPv4 client they are.
  ClientAddr a = v6("::ffff:127.0.0.1", 40000);
  EXPECT_EQ(a.family, AF_INET);
  EXPECT_TRUE(a.is_loopback());
  EXPECT_EQ(client_host_text(a, ""), "[127.0.0.1:40000]");
  EXPECT_EQ(client_host_text(v6("::ffff:192.0.2.7", 110), "client.example.com"),
            "client.example.com[192.0.2.7:110]");
}

TEST(ClientHost, Ipv6AndOthers) {
  ClientAddr one = v6("::1", 5678);
  EXPECT_TRUE(one.is_loopback());
  EXPECT_EQ(client_host_text(one, ""), "[::1]:5678");
  ClientAddr doc = v6("2001:db8::1", 5678);
  EXPECT_FALSE(doc.is_loopback());
  EXPECT_EQ(client_host_text(doc, ""), "[2001:db8::1]:5678");

  sockaddr_un un{};
  un.sun_family = AF_UNIX;
  ClientAddr local = ClientAddr::from_sockaddr(reinterpret_cast<sockaddr*>(&un), sizeof un);
  EXPECT_EQ(client_host_text(local, ""), "[local]");
  EXPECT_FALSE(local.is_loopback());
}

TEST(ClientHost, LongNamesAreCut) {
  ClientAddr a = v6("::ffff:10.1.2.3", 1);
  std::string name(300, 'n');
  EXPECT_EQ(client_host_text(a, name), std::string(200, 'n') + "[10.1.2.3:1]");
}

}  // namespace

namespace {

TEST(Supervisor, KeepsTheTlsSessionCacheDescriptor) {
  EXPECT_EQ(tls_inherited_fds("EPxRAAMAAAA=,8:1"), std::vector<int>{8});
  EXPECT_EQ(tls_inherited_fds("3AB=,12:1,4:3"), (std::vector<int>{4, 12}));
  EXPECT_TRUE(tls_inherited_fds(nullptr).empty());
  EXPECT_TRUE(tls_inherited_fds("garbage").empty());
  EXPECT_TRUE(tls_inherited_fds("AB=,x:1").empty());
}

}  // namespace
