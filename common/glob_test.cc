#include "common/glob.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct MatchCase {
  const char* pattern;
  int flags;
  std::string name;
  int want;
};

int match(const char* pattern, int flags, const std::string& name, const char* suppress = nullptr) {
  GlobPtr g(glob_init_suppress(pattern, flags, suppress));
  return glob_test(g.get(), name.c_str(), name.size(), nullptr);
}

constexpr int H = GLOB_HIERARCHY;
constexpr int I = GLOB_INBOXCASE;

TEST(GlobTest, MatchLengths) {
  const MatchCase cases[] = {
      // The patterns that keep names out of the store.
      {"", 0, "", 0},
      {"", 0, "a", -1},
      {"*\t*", 0, "a\tb", 3},
      {"*\t*", 0, "ab", -1},
      {"*\n*", 0, "\n", 1},
      {"/*", 0, "/x", 2},
      {"/*", 0, "x/", -1},
      {"*/", 0, "user/ann/", 9},
      {"*/", 0, "user/ann", -1},
      {"*//*", 0, "user//x", 7},
      {"*//*", 0, "user/a/x", -1},
      {"user", 0, "user", 4},
      {"user", 0, "users", -1},
      {"user", 0, "User", -1},
      // '*' crosses separators, '%' does not; '?' is an ordinary byte.
      {"*", 0, "a/b/c", 5},
      {"%", 0, "abc", 3},
      {"%", 0, "a/b", -1},
      {"a%c", 0, "abbbc", 5},
      {"a%c", 0, "ab/bc", -1},
      {"a*c", 0, "ab/bc", 5},
      {"a?c", 0, "abc", -1},
      {"a?c", 0, "a?c", 3},
      {"*x*", 0, "xx", 2},
      {"**%%", 0, "", 0},
      // Partial matches end where the name continues with '/'.
      {"%", H, "a/b", 1},
      {"%", H, "a", 1},
      {"%/%", H, "a/b/c/d", 3},
      {"a", H, "a/b", 1},
      {"a", H, "ab", -1},
      {"a/", H, "a/b", -1},
      // Clients spell the INBOX as they like.
      {"inbox", I, "INBOX", 5},
      {"InBox/%", I | H, "INBOX/a/b", 7},
      {"inbox", 0, "INBOX", -1},
      {"inboxes", I, "INBOXes", -1},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(match(c.pattern, c.flags, c.name), c.want) << "pattern '" << c.pattern << "' name '" << c.name << "'";
  }
}

TEST(GlobTest, LengthLimitsTheName) {
  GlobPtr g(glob_init_suppress("abc", 0, nullptr));
  EXPECT_EQ(glob_test(g.get(), "abcdef", 3, nullptr), 3);
  EXPECT_EQ(glob_test(g.get(), "abcdef", 0, nullptr), -1);
  EXPECT_EQ(glob_test(nullptr, "abc", 0, nullptr), -1);
  EXPECT_EQ(glob_init_suppress(nullptr, 0, nullptr), nullptr);
}

TEST(GlobTest, SuppressedPrefixStillCounts) {
  EXPECT_EQ(match("%", H, "user/joe/a/b", "user/joe/"), 10);
  EXPECT_EQ(match("%", H, "public/a", "user/joe/"), 6);
  EXPECT_EQ(match("a", 0, "user/joe/a", "user/joe/"), 10);
}

TEST(GlobTest, MinStepsThroughPartialMatches) {
  GlobPtr g(glob_init_suppress("*/x", H, nullptr));
  int min = 0;
  EXPECT_EQ(glob_test(g.get(), "a/x/y/x/z", 0, &min), 3);
  EXPECT_EQ(min, 3);
  EXPECT_EQ(glob_test(g.get(), "a/x/y/x/z", 0, &min), 7);
  EXPECT_EQ(glob_test(g.get(), "a/x/y/x/z", 0, &min), -1);
  EXPECT_EQ(min, 7);
}

TEST(GlobTest, HostileInputsStayCheap) {
  // Backtracking matchers take exponential time here.
  std::string pattern;
  for (int i = 0; i < 30; ++i) pattern += "*a";
  pattern += "b";
  EXPECT_EQ(match(pattern.c_str(), 0, std::string(5000, 'a')), -1);
  EXPECT_EQ(match("*", H, std::string(100000, 'x')), 100000);
  EXPECT_EQ(match("%", 0, std::string("\xff\x80\x01", 3)), 3);
}

}  // namespace
