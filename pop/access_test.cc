#include "pop/access.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/un.h>

#include <cstring>
#include <string>

namespace {

// The client address as accept() would give it for text ("1.2.3.4",
// "::ffff:1.2.3.4", "2001:db8::1"), through from_sockaddr.
ClientAddr peer(const std::string& text, unsigned port = 40000) {
  if (text.find(':') != std::string::npos) {
    sockaddr_in6 in6{};
    in6.sin6_family = AF_INET6;
    in6.sin6_port = htons(static_cast<uint16_t>(port));
    EXPECT_EQ(inet_pton(AF_INET6, text.c_str(), &in6.sin6_addr), 1) << text;
    return ClientAddr::from_sockaddr(reinterpret_cast<sockaddr*>(&in6), sizeof in6);
  }
  sockaddr_in in{};
  in.sin_family = AF_INET;
  in.sin_port = htons(static_cast<uint16_t>(port));
  EXPECT_EQ(inet_pton(AF_INET, text.c_str(), &in.sin_addr), 1) << text;
  return ClientAddr::from_sockaddr(reinterpret_cast<sockaddr*>(&in), sizeof in);
}

AccessFilter filter(const std::string& text) {
  std::string err;
  auto f = AccessFilter::parse(text, &err);
  EXPECT_TRUE(f.has_value()) << text << ": " << err;
  return f ? *f : AccessFilter();
}

TEST(ClientAddr, NormalisesAndPrints) {
  struct Case {
    const char* in;
    int family;
    const char* text;
    const char* host_port;
    bool loopback;
  } cases[] = {
      {"192.0.2.7", AF_INET, "192.0.2.7", "192.0.2.7:40000", false},
      // A dual-stack listener sees IPv4 clients as mapped addresses.
      {"::ffff:192.0.2.7", AF_INET, "192.0.2.7", "192.0.2.7:40000", false},
      {"::ffff:127.0.0.1", AF_INET, "127.0.0.1", "127.0.0.1:40000", true},
      {"127.0.0.1", AF_INET, "127.0.0.1", "127.0.0.1:40000", true},
      {"127.255.0.9", AF_INET, "127.255.0.9", "127.255.0.9:40000", true},
      {"128.0.0.1", AF_INET, "128.0.0.1", "128.0.0.1:40000", false},
      {"126.255.255.255", AF_INET, "126.255.255.255", "126.255.255.255:40000", false},
      {"::1", AF_INET6, "::1", "[::1]:40000", true},
      {"::2", AF_INET6, "::2", "[::2]:40000", false},
      {"::", AF_INET6, "::", "[::]:40000", false},
      // Not mapped (the compatible form and a near miss of the prefix).
      {"::127.0.0.1", AF_INET6, "::127.0.0.1", "[::127.0.0.1]:40000", false},
      {"::fffe:127.0.0.1", AF_INET6, "::fffe:7f00:1", "[::fffe:7f00:1]:40000", false},
      {"2001:db8::1", AF_INET6, "2001:db8::1", "[2001:db8::1]:40000", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.in);
    ClientAddr a = peer(c.in);
    EXPECT_EQ(a.family, c.family);
    EXPECT_EQ(a.to_string(), c.text);
    EXPECT_EQ(a.host_port(), c.host_port);
    EXPECT_EQ(a.is_loopback(), c.loopback);
    EXPECT_EQ(a.port, 40000u);
  }
}

TEST(ClientAddr, OtherFamiliesAndShortLengths) {
  sockaddr_un un{};
  un.sun_family = AF_UNIX;
  ClientAddr local = ClientAddr::from_sockaddr(reinterpret_cast<sockaddr*>(&un), sizeof un);
  EXPECT_EQ(local.family, AF_UNIX);
  EXPECT_FALSE(local.is_loopback());
  EXPECT_EQ(local.host_port(), "local");

  sockaddr_in6 in6{};
  in6.sin6_family = AF_INET6;
  ClientAddr cut = ClientAddr::from_sockaddr(reinterpret_cast<sockaddr*>(&in6), sizeof(sockaddr_in));
  EXPECT_EQ(cut.family, 0);
  EXPECT_FALSE(cut.is_loopback());
  EXPECT_EQ(cut.to_string(), "unknown");
  EXPECT_EQ(ClientAddr::from_sockaddr(nullptr, 0).family, 0);
}

TEST(AccessFilter, Matches) {
  struct Case {
    const char* filter;
    const char* addr;
    const char* host;
    bool match;
  } cases[] = {
      // Single addresses.
      {"192.0.2.7", "192.0.2.7", "", true},
      {"192.0.2.7", "192.0.2.8", "", false},
      {"192.0.2.7", "::ffff:192.0.2.7", "", true},
      {"::ffff:192.0.2.7", "192.0.2.7", "", true},
      {"2001:db8::1", "2001:db8::1", "", true},
      {"2001:db8::1", "2001:db8::2", "", false},
      {"::1", "::1", "", true},
      {"::1", "127.0.0.1", "", false},
      // A v4 item never matches a v6 client whose low bytes look alike.
      {"192.0.2.7", "::c000:207", "", false},
      // Prefix edges.
      {"0.0.0.0/0", "203.0.113.9", "", true},
      {"0.0.0.0/0", "2001:db8::1", "", false},
      {"::/0", "2001:db8::1", "", true},
      {"::/0", "203.0.113.9", "", false},
      {"192.0.2.7/32", "192.0.2.7", "", true},
      {"192.0.2.7/32", "192.0.2.6", "", false},
      {"2001:db8::1/128", "2001:db8::1", "", true},
      {"2001:db8::1/128", "2001:db8::3", "", false},
      {"192.0.2.0/24", "192.0.2.255", "", true},
      {"192.0.2.0/24", "192.0.3.0", "", false},
      {"192.0.2.128/25", "192.0.2.127", "", false},
      {"192.0.2.128/25", "192.0.2.128", "", true},
      {"10.0.0.0/7", "11.255.255.255", "", true},
      {"10.0.0.0/7", "12.0.0.0", "", false},
      {"2001:db8::/32", "2001:db8:ffff::1", "", true},
      {"2001:db8::/32", "2001:db9::1", "", false},
      {"2001:db8::/33", "2001:db8:7fff::1", "", true},
      {"2001:db8::/33", "2001:db8:8000::1", "", false},
      // Host bits below the prefix are ignored.
      {"10.1.2.3/8", "10.200.0.1", "", true},
      {"10.1.2.3/8", "11.1.2.3", "", false},
      {"2001:db8::ffff/32", "2001:db8:1::", "", true},
      // A mapped block is its IPv4 block.
      {"::ffff:10.0.0.0/104", "10.9.9.9", "", true},
      {"::ffff:10.0.0.0/104", "11.0.0.1", "", false},
      {"::ffff:10.0.0.0/104", "::ffff:10.1.1.1", "", true},
      // Everything.
      {"*", "203.0.113.9", "", true},
      {"ALL", "2001:db8::1", "", true},
      {"all", "::ffff:1.2.3.4", "", true},
      // Names: only when resolved, case-insensitive, whole name.
      {"*.example.com", "192.0.2.7", "", false},
      {"*.example.com", "192.0.2.7", "mail.example.com", true},
      {"*.example.com", "192.0.2.7", "MAIL.Example.COM", true},
      {"*.EXAMPLE.com", "192.0.2.7", "a.b.example.com", true},
      {"*.example.com", "192.0.2.7", "mail.example.com.", true},
      {"*.example.com", "192.0.2.7", "example.com", false},
      {"*.example.com", "192.0.2.7", "mail.example.com.evil.net", false},
      {"*.example.com", "192.0.2.7", "mailexample.com", false},
      {"mail?.example.com", "192.0.2.7", "mail1.example.com", true},
      {"mail?.example.com", "192.0.2.7", "mail.example.com", false},
      {"mail?.example.com", "192.0.2.7", "mail12.example.com", false},
      {"host.example.com", "192.0.2.7", "host.example.com", true},
      {"host.example.com", "192.0.2.7", "host.example.co", false},
      {"*a*b*", "192.0.2.7", "xxaxxbxx", true},
      {"*a*b*", "192.0.2.7", "xxbxxaxx", false},
      // A name item never matches the address text.
      {"localhost", "127.0.0.1", "", false},
      // Lists: any item; separators are commas and blanks in any mix.
      {"192.0.2.1, 192.0.2.7", "192.0.2.7", "", true},
      {"192.0.2.1,192.0.2.2 ,\t2001:db8::/32", "2001:db8::5", "", true},
      {"192.0.2.1 192.0.2.2", "192.0.2.3", "", false},
      {"*.example.com 10.0.0.0/8", "10.2.3.4", "", true},
      {"", "192.0.2.7", "", false},
      {" , ,", "192.0.2.7", "", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.filter) + " vs " + c.addr + " / " + c.host);
    EXPECT_EQ(filter(c.filter).matches(peer(c.addr), c.host), c.match);
  }
}

TEST(AccessFilter, RefusesInvalidItemsWithAClearText) {
  const std::string long_name(256, 'a');
  struct Case {
    const char* filter;
    const char* error;
  } cases[] = {
      {"192.0.2.256", "\"192.0.2.256\": not a valid IPv4 address"},
      {"192.0.2", "\"192.0.2\": not a valid IPv4 address"},
      {"10.0.0.0/8, 10.0.0/8", "\"10.0.0/8\": not a valid IPv4 address"},
      {"10.0.0.0/33", "\"10.0.0.0/33\": prefix length must be a number from 0 to 32"},
      {"10.0.0.0/", "\"10.0.0.0/\": prefix length must be a number from 0 to 32"},
      {"10.0.0.0/-1", "\"10.0.0.0/-1\": prefix length must be a number from 0 to 32"},
      {"10.0.0.0/+8", "\"10.0.0.0/+8\": prefix length must be a number from 0 to 32"},
      {"10.0.0.0/99999999999", "\"10.0.0.0/99999999999\": prefix length must be a number from 0 to 32"},
      {"2001:db8::/129", "\"2001:db8::/129\": prefix length must be a number from 0 to 128"},
      {"2001:db8:::1", "\"2001:db8:::1\": not a valid IPv6 address"},
      {"fe80::1%eth0", "\"fe80::1%eth0\": not a valid IPv6 address"},
      {"10.0.*", "\"10.0.*\": address patterns are written as CIDR blocks (a.b.c.d/n), not with wildcards"},
      {"192.168.?.1", "\"192.168.?.1\": address patterns are written as CIDR blocks (a.b.c.d/n), not with wildcards"},
      {"mail;example.com", "\"mail;example.com\": invalid character in host-name pattern"},
      {"[::1]", "\"[::1]\": not a valid IPv6 address"},
      {long_name.c_str(), nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.filter);
    std::string err;
    EXPECT_FALSE(AccessFilter::parse(c.filter, &err).has_value());
    if (c.error) {
      EXPECT_EQ(err, c.error);
    } else {
      EXPECT_NE(err.find("longer than 255"), std::string::npos) << err;
    }
  }
}

TEST(AccessPermitted, AllowAndDenyLists) {
  AccessFilter none = filter("");
  AccessFilter lan = filter("10.0.0.0/8");
  AccessFilter bad = filter("10.6.6.6, *.spam.example");
  EXPECT_TRUE(access_permitted(none, none, peer("203.0.113.9"), ""));
  EXPECT_TRUE(access_permitted(lan, none, peer("10.1.1.1"), ""));
  EXPECT_FALSE(access_permitted(lan, none, peer("203.0.113.9"), ""));
  EXPECT_TRUE(access_permitted(none, bad, peer("10.1.1.1"), ""));
  EXPECT_FALSE(access_permitted(none, bad, peer("10.6.6.6"), ""));
  EXPECT_FALSE(access_permitted(none, bad, peer("::ffff:10.6.6.6"), ""));
  EXPECT_FALSE(access_permitted(none, bad, peer("192.0.2.1"), "Host.SPAM.example"));
  // Deny wins over allow.
  EXPECT_FALSE(access_permitted(lan, bad, peer("10.6.6.6"), ""));
  EXPECT_TRUE(access_permitted(lan, bad, peer("10.6.6.7"), ""));
}

ConnLimits limits(const std::string& text) {
  std::string err;
  auto l = ConnLimits::parse(text, &err);
  EXPECT_TRUE(l.has_value()) << text << ": " << err;
  return l ? *l : ConnLimits();
}

TEST(ConnLimits, FirstMatchingRuleWins) {
  struct Case {
    const char* rules;
    const char* addr;
    const char* host;
    unsigned limit;
  } cases[] = {
      {"", "192.0.2.7", "", 0},
      {"192.0.2.7:3", "192.0.2.7", "", 3},
      {"192.0.2.7:3", "192.0.2.8", "", 0},
      {"192.0.2.7:3", "::ffff:192.0.2.7", "", 3},
      // The first match gives the limit, even when a later rule is tighter.
      {"10.0.0.0/8:5, 10.1.0.0/16:1, *:2", "10.1.2.3", "", 5},
      {"10.1.0.0/16:1, 10.0.0.0/8:5, *:2", "10.1.2.3", "", 1},
      {"10.1.0.0/16:1, 10.0.0.0/8:5, *:2", "10.2.0.1", "", 5},
      {"10.1.0.0/16:1, 10.0.0.0/8:5, *:2", "192.0.2.1", "", 2},
      // N = 0 is unlimited and still ends the search.
      {"127.0.0.0/8:0, *:1", "127.0.0.1", "", 0},
      {"127.0.0.0/8:0, *:1", "192.0.2.1", "", 1},
      // IPv6 patterns: the last colon ends the pattern.
      {"::1:4", "::1", "", 4},
      {"2001:db8::/32:7, *:1", "2001:db8::9", "", 7},
      {"::ffff:10.0.0.0/104:6", "10.3.3.3", "", 6},
      // Names, blanks around the parts, empty rules.
      {"*.example.com:9", "192.0.2.7", "a.example.com", 9},
      {"*.example.com:9", "192.0.2.7", "", 0},
      {" 192.0.2.7 : 3 ,, ", "192.0.2.7", "", 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.rules) + " vs " + c.addr);
    EXPECT_EQ(limits(c.rules).limit_for(peer(c.addr), c.host), c.limit);
  }
}

TEST(ConnLimits, RefusesInvalidRulesWithAClearText) {
  struct Case {
    const char* rules;
    const char* error;
  } cases[] = {
      {"192.0.2.7", "\"192.0.2.7\": a rule is PATTERN:N"},
      {"192.0.2.7:", "\"192.0.2.7:\": the limit must be a number (0 for unlimited)"},
      {"192.0.2.7:-1", "\"192.0.2.7:-1\": the limit must be a number (0 for unlimited)"},
      {"192.0.2.7:3x", "\"192.0.2.7:3x\": the limit must be a number (0 for unlimited)"},
      {"192.0.2.7:99999999999999999999", "\"192.0.2.7:99999999999999999999\": the limit must be a number (0 for unlimited)"},
      {"*:2, 10.0.0.0/40:1", "\"10.0.0.0/40\": prefix length must be a number from 0 to 32"},
      {"10.0.0.1 10.0.0.2:1", "\"10.0.0.1 10.0.0.2:1\": one pattern per rule"},
      {":3", "\"\": empty item"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.rules);
    std::string err;
    EXPECT_FALSE(ConnLimits::parse(c.rules, &err).has_value());
    EXPECT_EQ(err, c.error);
  }
}

}  // namespace
