#include "daaci/daaci.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <fstream>
#include <initializer_list>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

namespace {

// argv for getopt: writable copies, as the kernel hands them over.
class Argv {
 public:
  Argv(std::initializer_list<const char*> args) {
    for (const char* a : args) store_.emplace_back(a, a + std::strlen(a) + 1);
    for (auto& s : store_) ptrs_.push_back(s.data());
    ptrs_.push_back(nullptr);
  }
  int argc() const { return static_cast<int>(store_.size()); }
  char** argv() { return ptrs_.data(); }

 private:
  std::vector<std::vector<char>> store_;
  std::vector<char*> ptrs_;
};

daaci_action parse(Argv& a, daaci_options* opts, std::string* error = nullptr) {
  std::string ignored;
  return daaci_parse_args(a.argc(), a.argv(), opts, error ? error : &ignored);
}

TEST(DaaciArgs, CompleteOptions) {
  Argv a{"orvdaaci", "-D", "cn=admin", "-w", "secret", "-b", "o=dc", "-h",
         "ldap.example.com", "-p", "1389", "-o", "o=osi"};
  daaci_options opts;
  ASSERT_EQ(parse(a, &opts), daaci_action::run);
  EXPECT_EQ(opts.bind_dn, "cn=admin");
  EXPECT_EQ(opts.password, "secret");
  EXPECT_EQ(opts.dc_suffix, "o=dc");
  EXPECT_EQ(opts.host, "ldap.example.com");
  EXPECT_EQ(opts.port, 1389);
  EXPECT_EQ(opts.osi_suffix, "o=osi");
  // The password does not stay readable in the process arguments.
  EXPECT_STREQ(a.argv()[4], "xxxxxx");
}

TEST(DaaciArgs, DefaultsAndIgnoredLetters) {
  Argv a{"orvdaaci", "-x", "-D", "cn=admin", "-z", "-w", "pw", "-b", "o=dc", "-q"};
  daaci_options opts;
  ASSERT_EQ(parse(a, &opts), daaci_action::run);
  EXPECT_EQ(opts.host, "localhost");
  EXPECT_EQ(opts.port, 389);
  EXPECT_FALSE(opts.osi_suffix.has_value());
}

TEST(DaaciArgs, MissingRequiredGivesUsage) {
  daaci_options opts;
  Argv none{"orvdaaci"};
  EXPECT_EQ(parse(none, &opts), daaci_action::usage);
  Argv no_bind{"orvdaaci", "-w", "pw", "-b", "o=dc"};
  EXPECT_EQ(parse(no_bind, &opts), daaci_action::usage);
  Argv no_pw{"orvdaaci", "-D", "cn=a", "-b", "o=dc"};
  EXPECT_EQ(parse(no_pw, &opts), daaci_action::usage);
  Argv no_base{"orvdaaci", "-D", "cn=a", "-w", "pw"};
  EXPECT_EQ(parse(no_base, &opts), daaci_action::usage);
  // An option letter without its argument counts as missing.
  Argv dangling{"orvdaaci", "-D", "cn=a", "-w", "pw", "-b"};
  EXPECT_EQ(parse(dangling, &opts), daaci_action::usage);
}

TEST(DaaciArgs, TemplateWinsWherever) {
  daaci_options opts;
  Argv alone{"orvdaaci", "-d"};
  EXPECT_EQ(parse(alone, &opts), daaci_action::generic_template);
  Argv late{"orvdaaci", "-D", "cn=a", "-w", "pw", "-b", "o=dc", "-p", "bad", "-d"};
  EXPECT_EQ(parse(late, &opts), daaci_action::generic_template);
}

TEST(DaaciArgs, BadPorts) {
  for (const char* port : {"0", "65536", "abc", "12x", "", "-1", " 389", "99999999999"}) {
    Argv a{"orvdaaci", "-D", "cn=a", "-w", "pw", "-b", "o=dc", "-p", port};
    daaci_options opts;
    std::string error;
    EXPECT_EQ(parse(a, &opts, &error), daaci_action::bad_option) << port;
    EXPECT_NE(error.find("port"), std::string::npos);
  }
  Argv top{"orvdaaci", "-D", "cn=a", "-w", "pw", "-b", "o=dc", "-p", "65535"};
  daaci_options opts;
  EXPECT_EQ(parse(top, &opts), daaci_action::run);
  EXPECT_EQ(opts.port, 65535);
}

TEST(DaaciRoots, SingleOrDual) {
  daaci_options opts;
  opts.dc_suffix = "o=Example,C=us";
  EXPECT_TRUE(daaci_single_rooted(opts));
  EXPECT_EQ(daaci_osi_root(opts), "o=Example,C=us");
  opts.osi_suffix = "O=EXAMPLE,c=US";
  EXPECT_TRUE(daaci_single_rooted(opts));
  EXPECT_EQ(daaci_osi_root(opts), "O=EXAMPLE,c=US");
  opts.osi_suffix = "o=Example";
  EXPECT_FALSE(daaci_single_rooted(opts));
  opts.osi_suffix = "o=Example,C=uk";
  EXPECT_FALSE(daaci_single_rooted(opts));
}

// Records of the listed generic template, split at their closing empty
// lines: the expected output of a real run is built from them by replacing
// the placeholders, independently of the code under test.
struct listed {
  std::string srvadmingrp, osibaseaci, dcbaseaci, domadmingrp, orgnodeaci, dcnodeaci;
};

listed read_listed() {
  std::ifstream in(ORV_SOURCE_DIR "/tests/daaci/template.ldif", std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  const std::string all = text.str();
  std::vector<std::string> recs;
  std::size_t from = 0;
  for (std::size_t end; (end = all.find("\n\n", from)) != std::string::npos; from = end + 2) {
    recs.push_back(all.substr(from, end + 2 - from));
  }
  EXPECT_EQ(recs.size(), 6u);
  EXPECT_EQ(from, all.size());
  recs.resize(6);
  return {recs[0], recs[1], recs[2], recs[3], recs[4], recs[5]};
}

std::string fill(std::string text, std::string_view placeholder, std::string_view value) {
  for (std::size_t pos = 0; (pos = text.find(placeholder, pos)) != std::string::npos;
       pos += value.size()) {
    text.replace(pos, placeholder.size(), value);
  }
  return text;
}

std::string fill_roots(const std::string& text, std::string_view dc, std::string_view osi) {
  return fill(fill(text, "<DCRoot>", dc), "<OrgRoot>", osi);
}

std::string fill_nodes(const std::string& text, std::string_view node, std::string_view org) {
  return fill(fill(text, "<DCNodeDN>", node), "<OrgNodeDN>", org);
}

TEST(DaaciRender, SingleRootedRoots) {
  const listed l = read_listed();
  daaci_options opts;
  opts.dc_suffix = "o=isp";
  opts.osi_suffix = "O=ISP";
  std::string out;
  daaci_render_roots(out, opts);
  EXPECT_EQ(out, fill_roots(l.srvadmingrp, "o=isp", "O=ISP") +
                     fill_roots(l.dcbaseaci, "o=isp", "O=ISP"));
}

TEST(DaaciRender, DualRootedRoots) {
  const listed l = read_listed();
  daaci_options opts;
  opts.dc_suffix = "o=internet";
  opts.osi_suffix = "o=isp";
  std::string out;
  daaci_render_roots(out, opts);
  EXPECT_EQ(out, fill_roots(l.srvadmingrp, "o=internet", "o=isp") +
                     fill_roots(l.dcbaseaci, "o=internet", "o=isp") +
                     fill_roots(l.osibaseaci, "o=internet", "o=isp"));
}

TEST(DaaciRender, DomainWithTwoOrgNodesAndNone) {
  const listed l = read_listed();
  const daaci_domain two{"dc=a,dc=com,o=internet", {"o=a,o=isp", "o=a2,o=isp"}};
  std::string out;
  daaci_render_domain(out, two);
  std::string expected;
  for (const char* org : {"o=a,o=isp", "o=a2,o=isp"}) {
    expected += fill_nodes(l.dcnodeaci, two.dn, org) + fill_nodes(l.domadmingrp, two.dn, org) +
                fill_nodes(l.orgnodeaci, two.dn, org);
  }
  EXPECT_EQ(out, expected + "\n");

  out.clear();
  daaci_render_domain(out, daaci_domain{"dc=b,dc=com,o=internet", {}});
  EXPECT_EQ(out, "\n");
}

// Organization nodes must lie below the OSI root: anything else would aim
// the generated ACIs at entries the delegated administrators do not own.
TEST(DaaciOrgNodes, BelowTheRoot) {
  struct Case {
    const char* dn;
    const char* root;
    bool below;
  } cases[] = {
      {"o=siroe.com,o=isp", "o=isp", true},
      {"ou=people,o=siroe.com,o=isp", "o=isp", true},
      {"O=Siroe.com, O=ISP", "o=isp", true},          // case and blanks after commas
      {"o=sesta\\2C Inc.,o=isp", "o=isp", true},     // escaped comma inside a value
      {"o=a\nchangetype: delete,o=isp", "o=isp", true},  // odd but below: the LDIF encodes it
      {"o=isp", "o=isp", false},                      // the root itself
      {"o=isp2", "o=isp", false},
      {"o=x,o=isp2", "o=isp", false},
      {"o=x,o=isp,o=evil", "o=isp", false},           // the root's RDN, but not at the end
      {"cn=admin,o=internet", "o=isp", false},
      {"o=x,o=isp", "o=x,o=isp", false},
      {"dc=siroe,dc=com,o=isp", "dc=com,o=isp", true},
      {"o=siroe.com,o=isp", "dc=com,o=isp", false},
      {"o=x,dc=com+o=isp", "o=isp", false},           // multi-valued RDN is not the root's
      {"o=x,cn=isp", "o=isp", false},                 // same value, other type
      {"", "o=isp", false},
      {"not a dn", "o=isp", false},
      {"o=x,o=isp", "not a dn", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(daaci_dn_below(c.dn, c.root), c.below) << c.dn << " below " << c.root;
  }
}

TEST(DaaciOrgNodes, ForeignValuesDroppedWithWarning) {
  daaci_options opts;
  opts.dc_suffix = "o=internet";
  opts.osi_suffix = "o=isp";
  daaci_domain d{"dc=a,dc=com,o=internet",
                 {"o=a,o=isp", "cn=Directory Administrators,o=internet", "o=a2,o=isp", "o=x\n,o=elsewhere"}};
  char* text = nullptr;
  size_t len = 0;
  std::FILE* warn = open_memstream(&text, &len);
  ASSERT_NE(warn, nullptr);
  EXPECT_EQ(daaci_drop_foreign_org_nodes(opts, &d, warn), 2);
  std::fclose(warn);
  const std::string warnings(text, len);
  free(text);
  EXPECT_EQ(d.org_nodes, (std::vector<std::string>{"o=a,o=isp", "o=a2,o=isp"}));
  EXPECT_EQ(warnings,
            "orvdaaci: domain \"dc=a,dc=com,o=internet\": skipping inetDomainBaseDN "
            "\"cn=Directory Administrators,o=internet\", which is not below \"o=isp\"\n"
            "orvdaaci: domain \"dc=a,dc=com,o=internet\": skipping inetDomainBaseDN "
            "\"o=x\\x0a,o=elsewhere\", which is not below \"o=isp\"\n");

  // Single rooted: the DC root is the OSI root.
  daaci_options single;
  single.dc_suffix = "o=isp";
  daaci_domain s{"dc=b,dc=com,o=isp", {"o=b,o=isp", "o=b,o=other"}};
  std::FILE* null = std::fopen("/dev/null", "w");
  ASSERT_NE(null, nullptr);
  EXPECT_EQ(daaci_drop_foreign_org_nodes(single, &s, null), 1);
  std::fclose(null);
  EXPECT_EQ(s.org_nodes, std::vector<std::string>{"o=b,o=isp"});
}

}  // namespace
