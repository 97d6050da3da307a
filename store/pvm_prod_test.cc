#include "store/pvm_prod.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

std::string banner(const char* format, const char* host, const char* program) {
  char buf[BANNER_BUF];
  memset(buf, 'Z', sizeof buf);
  return generate_banner(buf, format, host, program);
}

TEST(Banner, VersionText) { EXPECT_STREQ(version(), "6.1 HotFix 0.02 (built Aug 25 2004)"); }

TEST(Banner, Substitutions) {
  struct Case {
    const char* format;
    const char* host;
    const char* expect;
  } cases[] = {
      {nullptr, "mail1", "mail1 POP3 service (Corvane 6.1 HotFix 0.02 (built Aug 25 2004))"},
      {"", "mail1", "mail1 POP3 service (Corvane 6.1 HotFix 0.02 (built Aug 25 2004))"},
      {nullptr, nullptr, " POP3 service (Corvane 6.1 HotFix 0.02 (built Aug 25 2004))"},
      {"100%% %v", "h", "100% 6.1"},
      {"a%xb%qc", "h", "abc"},  // unknown letters produce nothing
      {"end%", "h", "end"},     // a lone trailing percent
      {"%h%h", "h", "hh"},
  };
  for (const Case& c : cases) EXPECT_EQ(banner(c.format, c.host, "POP3"), c.expect) << (c.format ? c.format : "null");
}

TEST(Banner, LengthLimit) {
  std::string plain(600, 'x');
  EXPECT_EQ(banner(plain.c_str(), "h", "p"), std::string(512, 'x'));

  // A substitution that would reach 512 characters is left out whole, and
  // text after it still fits.
  std::string near(505, 'y');
  EXPECT_EQ(banner((near + "%P-").c_str(), "h", "p"), near + "-");
  std::string fits(504, 'y');
  EXPECT_EQ(banner((fits + "%P").c_str(), "h", "p"), fits + "Corvane");
  // A host name that would overflow is dropped, not cut.
  std::string longhost(600, 'h');
  EXPECT_EQ(banner("<%h>", longhost.c_str(), "p"), "<>");
}

}  // namespace
