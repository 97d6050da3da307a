#include "common/parseaddr.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace {

std::string field(const char* s) { return s ? std::string(s) : "NIL"; }

// "name|route|mailbox|domain" per address, joined by " ; ".
std::string render(const address* a) {
  std::string out;
  for (; a; a = a->next) {
    if (!out.empty()) out += " ; ";
    out += field(a->name) + "|" + field(a->route) + "|" + field(a->mailbox) + "|" + field(a->domain);
  }
  return out;
}

std::string parse(const char* s) {
  address* list = nullptr;
  parseaddr_list(s, &list);
  AddressList owner(list);
  return render(list);
}

struct Case {
  const char* in;
  const char* want;
};

TEST(Parseaddr, Rfc5322Forms) {
  const Case cases[] = {
      {"joe@example.com", "NIL|NIL|joe|example.com"},
      {"Joe Smith <joe@example.com>", "Joe Smith|NIL|joe|example.com"},
      {"\"Smith, Joe\" <joe@example.com>", "Smith, Joe|NIL|joe|example.com"},
      {"\"Joe \\\"Q\\\" Smith\" <joe@x>", "Joe \"Q\" Smith|NIL|joe|x"},
      {"John Q. Public <jqp@x.org>", "John Q. Public|NIL|jqp|x.org"},
      {"<@a.net,@b.net:joe@c.net>", "NIL|@a.net,@b.net|joe|c.net"},
      {"\"john doe\"@example.com", "NIL|NIL|\"john doe\"|example.com"},
      {"joe@[192.168.0.1]", "NIL|NIL|joe|[192.168.0.1]"},
      {"a@b, c@d", "NIL|NIL|a|b ; NIL|NIL|c|d"},
      {"Joe <joe@x>, \"Ann\" <ann@y>", "Joe|NIL|joe|x ; Ann|NIL|ann|y"},
      {"joe@x (Joe Smith)", "Joe Smith|NIL|joe|x"},
      {"joe (comment) @ x . com", "NIL|NIL|joe|x.com"},
      {"Joe (the man) <joe@x>", "Joe|NIL|joe|x"},
      {"=?utf-8?q?J=C3=B6rg?= <j@x>", "=?utf-8?q?J=C3=B6rg?=|NIL|j|x"},
      {"Joe\r\n <joe@x>", "Joe|NIL|joe|x"},
  };
  for (const Case& c : cases) EXPECT_EQ(parse(c.in), c.want) << c.in;
}

TEST(Parseaddr, Groups) {
  const Case cases[] = {
      {"undisclosed-recipients:;", "NIL|NIL|undisclosed-recipients|NIL ; NIL|NIL|NIL|NIL"},
      {"Team: a@b, Joe <c@d>; e@f", "NIL|NIL|Team|NIL ; NIL|NIL|a|b ; Joe|NIL|c|d ; NIL|NIL|NIL|NIL ; NIL|NIL|e|f"},
      // An unclosed group is closed at the end.
      {"Team: a@b", "NIL|NIL|Team|NIL ; NIL|NIL|a|b ; NIL|NIL|NIL|NIL"},
      {"\"My Team\": ;", "NIL|NIL|My Team|NIL ; NIL|NIL|NIL|NIL"},
      // A ';' outside a group is dropped.
      {"a@b; c@d", "NIL|NIL|a|b ; NIL|NIL|c|d"},
  };
  for (const Case& c : cases) EXPECT_EQ(parse(c.in), c.want) << c.in;
}

TEST(Parseaddr, BrokenInputFallsBack) {
  const Case cases[] = {
      {"", ""},
      {"   ", ""},
      {",,,", ""},
      {"<>", ""},
      {"postmaster", "NIL|NIL|postmaster|"},
      {"Joe <joe@x", "Joe|NIL|joe|x"},
      {"Joe <joe@x, ann@y", "Joe|NIL|joe|x ; NIL|NIL|ann|y"},
      {"\"unclosed <joe@x>", "NIL|NIL|\"unclosed <joe@x>\"|"},
      {"joe@x (unclosed comment", "unclosed comment|NIL|joe|x"},
      {"> ) ] joe@x", "NIL|NIL|joe|x"},
      {"<joe@x> trailing junk, a@b", "NIL|NIL|joe|x ; NIL|NIL|a|b"},
      {"@x", "NIL|NIL||x"},
      {"joe@", "NIL|NIL|joe|"},
  };
  for (const Case& c : cases) EXPECT_EQ(parse(c.in), c.want) << c.in;
}

TEST(Parseaddr, AppendsToAnExistingList) {
  address* list = nullptr;
  parseaddr_list("a@b", &list);
  parseaddr_list(nullptr, &list);
  parseaddr_list("c@d", &list);
  AddressList owner(list);
  EXPECT_EQ(render(list), "NIL|NIL|a|b ; NIL|NIL|c|d");
}

// Every prefix of a tricky list must parse without harm and keep groups
// balanced.
TEST(Parseaddr, EveryPrefixIsBalanced) {
  std::string s = "\"A \\\" B\" (c (d)) <@r1,@r2:x@[1.2.3.4]>, G: y@z, \"q\"@w;, last@host (Last)";
  for (size_t n = 0; n <= s.size(); ++n) {
    std::string prefix = s.substr(0, n);
    address* list = nullptr;
    parseaddr_list(prefix.c_str(), &list);
    AddressList owner(list);
    int depth = 0;
    for (address* a = list; a; a = a->next) {
      if (!a->domain && a->mailbox) ++depth;
      if (!a->domain && !a->mailbox) --depth;
      EXPECT_GE(depth, 0) << prefix;
      EXPECT_LE(depth, 1) << prefix;
    }
    EXPECT_EQ(depth, 0) << prefix;
  }
}

TEST(Parseaddr, RandomGarbageNeverCrashes) {
  unsigned seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  printf("Parseaddr.RandomGarbageNeverCrashes seed %u\n", seed);
  std::mt19937 rng(seed);
  const std::string alphabet = "ab@.,;:<>()[]\"\\ \t\r\nxyz\x80\xff";
  for (int round = 0; round < 3000; ++round) {
    std::string s;
    size_t len = rng() % 60;
    for (size_t i = 0; i < len; ++i) s += alphabet[rng() % alphabet.size()];
    address* list = nullptr;
    parseaddr_list(s.c_str(), &list);
    AddressList owner(list);
    int depth = 0;
    for (address* a = list; a; a = a->next) {
      if (!a->domain) depth += a->mailbox ? 1 : -1;
      ASSERT_TRUE(depth == 0 || depth == 1) << s;
    }
    ASSERT_EQ(depth, 0) << s;
  }
}

}  // namespace
