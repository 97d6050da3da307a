#include "daaci/ldif.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

namespace {

using namespace std::string_view_literals;

TEST(LdifBase64, Rfc4648Vectors) {
  const struct {
    std::string_view in, out;
  } cases[] = {
      {"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},
      {"foo", "Zm9v"},  {"foob", "Zm9vYg=="},  {"fooba", "Zm9vYmE="},
      {"foobar", "Zm9vYmFy"},
      {"\xff\xfe\x00"sv, "//4A"},  // high bits and a NUL byte survive
  };
  for (const auto& c : cases) EXPECT_EQ(ldif_base64(c.in), c.out) << c.in;
}

TEST(LdifIsSafe, SafeStrings) {
  const std::string_view safe[] = {
      "",
      "dc=example,dc=com",
      R"(o=Acme\, Inc.,dc=example,dc=com)",
      R"(cn="quoted",dc=x)",
      "ou=a:b,dc=x",  // ':' and '<' only matter first
      "ou=a<b,dc=x",
      "#cn",
      "a b",
      "\x7f",
  };
  for (std::string_view s : safe) EXPECT_TRUE(ldif_is_safe(s)) << s;
}

TEST(LdifIsSafe, UnsafeStrings) {
  const std::string_view unsafe[] = {
      " dc=x",             // leading space
      ":dc=x",             // would read as "dn:: "
      "<dc=x",             // would read as a URL
      "dc=x ",             // trailing space, stripped by readers
      "dc=a\ndn: cn=evil", // line break
      "dc=a\rb",
      "dc=a\0b"sv,
      "dc=\xc3\xbc",       // UTF-8
      "\x80",
  };
  for (std::string_view s : unsafe) EXPECT_FALSE(ldif_is_safe(s)) << s;
}

TEST(LdifAppendLine, ChoosesForm) {
  std::string out;
  ldif_append_line(out, "dn", "dc=example,dc=com");
  ldif_append_line(out, "dn", "dc=\xc3\xbc");
  ldif_append_line(out, "aci", "dc=a\ndn: cn=evil");
  ldif_append_line(out, "dn", " dc=x");
  ldif_append_line(out, "dn", "dc=x ");
  ldif_append_line(out, "dn", "");
  EXPECT_EQ(out,
            "dn: dc=example,dc=com\n"
            "dn:: ZGM9w7w=\n"
            "aci:: ZGM9YQpkbjogY249ZXZpbA==\n"
            "dn:: IGRjPXg=\n"
            "dn:: ZGM9eCA=\n"
            "dn: \n");
}

}  // namespace
