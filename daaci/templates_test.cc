#include "daaci/templates.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

namespace {

// The generic template as listed for the product, kept beside the
// end-to-end tests.  Written from the listings, not from our output.
std::string read_expected_template() {
  std::ifstream in(ORV_SOURCE_DIR "/tests/daaci/template.ldif", std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

TEST(Templates, GenericTemplateIsByteExact) {
  const std::string expected = read_expected_template();
  ASSERT_FALSE(expected.empty());
  std::string out;
  templates_generic(out);
  EXPECT_EQ(out, expected);
}

std::vector<std::string> split_lines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t from = 0;
  for (std::size_t nl; (nl = text.find('\n', from)) != std::string::npos; from = nl + 1) {
    lines.push_back(text.substr(from, nl - from));
  }
  EXPECT_EQ(from, text.size()) << "output does not end with a line feed";
  return lines;
}

std::string base64_decode(std::string_view in) {
  static constexpr std::string_view kAlphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  unsigned bits = 0;
  int nbits = 0;
  for (char c : in) {
    if (c == '=') break;
    const std::size_t v = kAlphabet.find(c);
    if (v == std::string_view::npos) {
      ADD_FAILURE() << "bad base64 byte in " << in;
      return out;
    }
    bits = (bits << 6) | static_cast<unsigned>(v);
    nbits += 6;
    if (nbits >= 8) {
      nbits -= 8;
      out += static_cast<char>((bits >> nbits) & 0xff);
    }
  }
  return out;
}

// Renders one record with the same name in every slot.
using render_fn = std::function<void(std::string&, templates_mode, std::string_view)>;

const struct {
  const char* name;
  render_fn render;
} kRecords[] = {
    {"srvadmingrp", [](std::string& o, templates_mode m, std::string_view n) {
       templates_srvadmingrp(o, m, n);
     }},
    {"domadmingrp", [](std::string& o, templates_mode m, std::string_view n) {
       templates_domadmingrp(o, m, n);
     }},
    {"dcbaseaci", [](std::string& o, templates_mode m, std::string_view n) {
       templates_dcbaseaci(o, m, n, n);
     }},
    {"osibaseaci", [](std::string& o, templates_mode m, std::string_view n) {
       templates_osibaseaci(o, m, n, n);
     }},
    {"dcnodeaci", [](std::string& o, templates_mode m, std::string_view n) {
       templates_dcnodeaci(o, m, n, n);
     }},
    {"orgnodeaci", [](std::string& o, templates_mode m, std::string_view n) {
       templates_orgnodeaci(o, m, n);
     }},
};

TEST(Templates, SafeNamesAreWrittenAsListed) {
  const std::string_view names[] = {
      "dc=example,dc=com",
      R"(o=Acme\, Inc.,o="Quoted; Co",dc=example,dc=com)",
      "uid=a+cn=b,ou=#x:y<z,dc=com",
  };
  for (const auto& rec : kRecords) {
    for (std::string_view name : names) {
      std::string verbatim, safe;
      rec.render(verbatim, templates_mode::verbatim, name);
      rec.render(safe, templates_mode::ldif_safe, name);
      EXPECT_EQ(safe, verbatim) << rec.name << " " << name;
    }
  }
}

constexpr std::string_view kMark = "@NAME@";

// What an LDIF reader takes verbatim after "name: " (RFC 2849 SAFE-STRING,
// plus no trailing space).
bool reads_back_verbatim(std::string_view value) {
  if (value.empty()) return true;
  if (value.front() == ' ' || value.front() == ':' || value.front() == '<') return false;
  if (value.back() == ' ') return false;
  for (char ch : value) {
    const auto c = static_cast<unsigned char>(ch);
    if (c == 0 || c == '\r' || c == '\n' || c > 0x7f) return false;
  }
  return true;
}

// An unsafe name must neither add nor remove lines: a line holding it is
// written as "attr:: BASE64" when its value would not read back as is, and
// decoding gives the listed text with the name in place.
TEST(Templates, UnsafeNamesBecomeBase64Lines) {
  const struct {
    std::string_view name;
    bool unsafe_anywhere;  // not only at the start or end of a value
  } cases[] = {
      {"dc=a\ndn: cn=evil\nchangetype: delete", true},
      {"dc=a\r\n\nchangetype: add", true},
      {"dc=b\xc3\xbc,dc=example", true},
      {std::string_view("dc=n\0ul", 7), true},
      {" dc=leading", false},
      {":dc=colon", false},
      {"<dc=angle", false},
      {"dc=trailing ", false},
  };
  for (const auto& rec : kRecords) {
    std::string plain;
    rec.render(plain, templates_mode::verbatim, kMark);
    const std::vector<std::string> plain_lines = split_lines(plain);
    for (const auto& c : cases) {
      std::string verbatim, safe;
      rec.render(verbatim, templates_mode::verbatim, c.name);
      rec.render(safe, templates_mode::ldif_safe, c.name);
      const std::vector<std::string> lines = split_lines(safe);
      ASSERT_EQ(lines.size(), plain_lines.size()) << rec.name << " " << c.name;

      std::string decoded;
      std::size_t encoded = 0;
      for (std::size_t i = 0; i < lines.size(); ++i) {
        const std::string& line = lines[i];
        const bool holds_name = plain_lines[i].find(kMark) != std::string::npos;
        const std::size_t sep = line.find(": ");
        if (line.rfind("dn:: ", 0) == 0 || line.rfind("aci:: ", 0) == 0) {
          ++encoded;
          EXPECT_TRUE(holds_name) << rec.name << " line " << i;
          const std::size_t b64 = line.find(":: ");
          const std::string value = base64_decode(line.substr(b64 + 3));
          EXPECT_FALSE(reads_back_verbatim(value)) << "needless base64: " << rec.name << " " << i;
          decoded += line.substr(0, b64) + ": " + value;
        } else {
          if (!holds_name) {
            EXPECT_EQ(line, plain_lines[i]) << rec.name << " line " << i;
          } else {
            ASSERT_NE(sep, std::string::npos);
            EXPECT_TRUE(reads_back_verbatim(line.substr(sep + 2)))
                << rec.name << " line " << i << ": " << line;
          }
          decoded += line;
        }
        decoded += '\n';
      }
      if (c.unsafe_anywhere) {
        EXPECT_GT(encoded, 0u) << rec.name;
      }
      EXPECT_EQ(decoded, verbatim) << rec.name << " " << c.name;
    }
  }
}

}  // namespace
