#include <gtest/gtest.h>

#include <cctype>
#include <map>
#include <sstream>
#include <string>

#include "common/counters.h"
#include "common/test_util.h"
#include "tools/admin.h"

namespace {

// Counters as a running server leaves them, read back the way orvadm reads them.
PopStatSnapshot sample(const TempDir& dir) {
  std::string err;
  auto c = SharedCounters::open(dir / "popstat", 2, &err);
  EXPECT_TRUE(c) << err;
  c->reset(1700000000);
  const int slot = c->claim_slot(1234);
  c->admitted(slot, 1700000050);
  c->admitted(slot, 1700000100);
  c->ended(slot);
  c->add(slot, kNumFailedConnections, 2);
  c->add(slot, kNumFailedLogins, 3);
  c->add(slot, kNumGoodLogins, 1);
  auto r = SharedCounters::open_readonly(dir / "popstat", &err);
  EXPECT_TRUE(r) << err;
  return r->snapshot();
}

TEST(AdmStats, PlainLines) {
  TempDir dir;
  EXPECT_EQ(adm_stats_format(sample(dir), false),
            "currentStartTime 1700000000 (2023-11-14 22:13:20 UTC)\n"
            "lastConnectionTime 1700000100 (2023-11-14 22:15:00 UTC)\n"
            "numCurrentConnections 1\n"
            "numConnections 2\n"
            "maxConnections 2\n"
            "numFailedConnections 2\n"
            "numFailedLogins 3\n"
            "numGoodLogins 1\n"
            "processes 1\n");
  PopStatSnapshot fresh{};
  EXPECT_NE(adm_stats_format(fresh, false).find("lastConnectionTime 0 (never)\n"), std::string::npos);
}

// What a collector needs of the text format: every sample preceded by its
// HELP and TYPE lines, valid names, counters (and only they) ending in
// _total, each metric once, the text ending in a newline.
TEST(AdmStats, PrometheusTextFormat) {
  TempDir dir;
  const std::string text = adm_stats_format(sample(dir), true);
  ASSERT_FALSE(text.empty());
  EXPECT_EQ(text.back(), '\n');
  auto valid_name = [](const std::string& n) {
    if (n.empty() || isdigit(static_cast<unsigned char>(n[0]))) return false;
    for (char c : n) {
      if (!isalnum(static_cast<unsigned char>(c)) && c != '_' && c != ':') return false;
    }
    return true;
  };
  std::istringstream in(text);
  std::map<std::string, std::string> type;
  std::map<std::string, long long> value;
  std::string help_for, line;
  while (std::getline(in, line)) {
    std::istringstream words(line);
    std::string a, b, c, rest;
    words >> a >> b >> c;
    std::getline(words, rest);
    if (a == "#" && b == "HELP") {
      EXPECT_FALSE(rest.empty()) << "no help text: " << line;
      help_for = c;
    } else if (a == "#" && b == "TYPE") {
      EXPECT_TRUE(rest == " counter" || rest == " gauge") << line;
      EXPECT_EQ(help_for, c) << "no HELP right before " << line;
      EXPECT_TRUE(type.emplace(c, rest.substr(1)).second) << "twice: " << line;
    } else {
      EXPECT_TRUE(valid_name(a)) << line;
      EXPECT_TRUE(!b.empty() && c.empty() && b.find_first_not_of("-0123456789") == std::string::npos) << line;
      EXPECT_EQ(type.count(a), 1u) << "no TYPE before " << a;
      EXPECT_EQ(help_for, a) << "no HELP and TYPE right before " << a;
      EXPECT_EQ(type[a] == "counter", a.size() > 6 && a.substr(a.size() - 6) == "_total") << a;
      EXPECT_TRUE(value.emplace(a, std::stoll(b)).second) << "twice: " << a;
      help_for.clear();
    }
  }
  const std::map<std::string, long long> expected = {
      {"corvane_pop_start_time_seconds", 1700000000},
      {"corvane_pop_last_connection_time_seconds", 1700000100},
      {"corvane_pop_current_connections", 1},
      {"corvane_pop_connections_total", 2},
      {"corvane_pop_max_connections", 2},
      {"corvane_pop_failed_connections_total", 2},
      {"corvane_pop_failed_logins_total", 3},
      {"corvane_pop_logins_total", 1},
      {"corvane_pop_processes", 1},
  };
  EXPECT_EQ(value, expected);
}

}  // namespace
