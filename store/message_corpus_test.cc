// The parser on messages shaped like real mail (tests/data/mime): expected
// ENVELOPE and BODY texts counted by hand, and for every message an
// ENVELOPE and BODYSTRUCTURE that follow the grammar of RFC 3501.
#include <dirent.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <string>
#include <string_view>
#include <vector>

#include "common/test_util.h"
#include "store/message_internal.h"

namespace {

// ---- A recogniser for the RFC 3501 productions the cache holds --------------
//
// Each function consumes its production at pos and returns false (with
// `why` set) when the text does not follow it.
class Imap3501 {
 public:
  explicit Imap3501(std::string_view s) : s_(s) {}
  bool envelope_only() { return envelope() && at_end(); }
  bool body_only(bool ext) {
    ext_ = ext;
    return body(0) && at_end();
  }
  std::string why;

 private:
  bool fail(const std::string& what) {
    if (why.empty()) why = what + " at " + std::to_string(p_) + ": ..." + std::string(s_.substr(p_, 40));
    return false;
  }
  bool at_end() { return p_ == s_.size() || fail("trailing text"); }
  bool lit(std::string_view t) {
    if (s_.substr(p_, t.size()) != t) return fail("expected '" + std::string(t) + "'");
    p_ += t.size();
    return true;
  }
  bool peek(char c) const { return p_ < s_.size() && s_[p_] == c; }
  bool sp() { return lit(" "); }
  bool nil() { return lit("NIL"); }
  bool is_nil() const { return s_.substr(p_, 3) == "NIL"; }
  bool number() {
    size_t q = p_;
    while (q < s_.size() && isdigit(static_cast<unsigned char>(s_[q]))) ++q;
    if (q == p_ || q - p_ > 10) return fail("number");
    p_ = q;
    return true;
  }
  // string = quoted / literal; the value is returned in *v.
  bool string(std::string* v = nullptr) {
    std::string val;
    if (peek('"')) {
      ++p_;
      for (;;) {
        if (p_ >= s_.size()) return fail("unterminated quoted string");
        unsigned char c = static_cast<unsigned char>(s_[p_]);
        if (c == '"') break;
        if (c == '\\') {
          if (p_ + 1 >= s_.size() || (s_[p_ + 1] != '"' && s_[p_ + 1] != '\\')) return fail("bad quoted-special");
          val += s_[p_ + 1];
          p_ += 2;
          continue;
        }
        // TEXT-CHAR: 7-bit, not NUL, CR or LF.
        if (c == 0 || c == '\r' || c == '\n' || c > 127) return fail("bad character in quoted string");
        val += static_cast<char>(c);
        ++p_;
      }
      ++p_;
    } else if (peek('{')) {
      ++p_;
      size_t start = p_;
      if (!number()) return false;
      size_t n = std::stoul(std::string(s_.substr(start, p_ - start)));
      if (!lit("}\r\n")) return false;
      if (p_ + n > s_.size()) return fail("literal past the end");
      val.assign(s_.substr(p_, n));
      if (val.find('\0') != std::string::npos) return fail("NUL in literal");
      p_ += n;
    } else {
      return fail("string");
    }
    if (v) *v = val;
    return true;
  }
  bool nstring(std::string* v = nullptr) { return is_nil() ? nil() : string(v); }
  bool address() {
    return lit("(") && nstring() && sp() && nstring() && sp() && nstring() && sp() && nstring() && lit(")");
  }
  bool address_list() {
    if (is_nil()) return nil();
    if (!lit("(") || !address()) return false;
    while (peek('(')) {
      if (!address()) return false;
    }
    return lit(")");
  }
  bool envelope() {
    if (!lit("(") || !nstring() || !sp() || !nstring()) return false;
    for (int i = 0; i < 6; ++i)
      if (!sp() || !address_list()) return false;
    return sp() && nstring() && sp() && nstring() && lit(")");
  }
  bool fld_param() {
    if (is_nil()) return nil();
    if (!lit("(") || !string() || !sp() || !string()) return false;
    while (peek(' ')) {
      if (!sp() || !string() || !sp() || !string()) return false;
    }
    return lit(")");
  }
  bool fields() {
    return fld_param() && sp() && nstring() && sp() && nstring() && sp() && string() && sp() && number();
  }
  bool fld_dsp() {
    if (is_nil()) return nil();
    return lit("(") && string() && sp() && fld_param() && lit(")");
  }
  bool fld_lang() {
    if (!peek('(')) return nstring();
    if (!lit("(") || !string()) return false;
    while (peek(' ')) {
      if (!sp() || !string()) return false;
    }
    return lit(")");
  }
  bool extension() {
    if (peek('(')) {
      ++p_;
      if (!extension()) return false;
      while (peek(' ')) {
        if (!sp() || !extension()) return false;
      }
      return lit(")");
    }
    if (p_ < s_.size() && isdigit(static_cast<unsigned char>(s_[p_]))) return number();
    return nstring();
  }
  // [SP dsp [SP lang [SP loc *(SP extension)]]] after md5 / params.
  bool ext_tail() {
    if (!peek(' ')) return true;
    if (!sp() || !fld_dsp()) return false;
    if (!peek(' ')) return true;
    if (!sp() || !fld_lang()) return false;
    if (!peek(' ')) return true;
    if (!sp() || !nstring()) return false;
    while (peek(' ')) {
      if (!sp() || !extension()) return false;
    }
    return true;
  }
  bool body(int depth) {
    if (depth > 200) return fail("nesting");
    if (!lit("(")) return false;
    if (peek('(')) {  // body-type-mpart
      while (peek('(')) {
        if (!body(depth + 1)) return false;
      }
      if (!sp() || !string()) return false;
      if (ext_ && peek(' ')) {
        if (!sp() || !fld_param() || !ext_tail()) return false;
      }
      return lit(")");
    }
    std::string type, subtype;
    if (!string(&type) || !sp() || !string(&subtype) || !sp() || !fields()) return false;
    auto up = [](std::string v) {
      for (char& c : v) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
      return v;
    };
    if (up(type) == "MESSAGE" && up(subtype) == "RFC822") {
      if (!sp() || !envelope() || !sp() || !body(depth + 1) || !sp() || !number()) return false;
    } else if (up(type) == "TEXT") {
      if (!sp() || !number()) return false;
    }
    if (ext_ && peek(' ')) {
      if (!sp() || !nstring() || !ext_tail()) return false;
    }
    return lit(")");
  }

  std::string_view s_;
  size_t p_ = 0;
  bool ext_ = false;
};

std::string data_dir() { return std::string(ORV_TEST_DATA) + "/mime"; }

std::vector<std::string> corpus() {
  std::vector<std::string> names;
  if (DIR* d = opendir(data_dir().c_str())) {
    while (dirent* e = readdir(d)) {
      std::string n = e->d_name;
      if (n.size() > 4 && n.substr(n.size() - 4) == ".eml") names.push_back(n.substr(0, n.size() - 4));
    }
    closedir(d);
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::string unescape(std::string s) {
  for (size_t p; (p = s.find("\\r\\n")) != std::string::npos;) s.replace(p, 4, "\r\n");
  return s;
}

// The recogniser itself refuses what the grammar forbids.
TEST(MessageCorpus, RecogniserRefusesBadText) {
  const char* bad_bodies[] = {
      R"(( "MIXED"))",                                   // multipart without parts
      R"(("TEXT" "PLAIN" NIL NIL NIL "7BIT" 5))",        // text without line count
      R"(("TEXT" "PLAIN" NIL NIL NIL 7BIT 5 1))",        // atom for a string
      "(\"TEXT\" \"PL\xE9\" NIL NIL NIL \"7BIT\" 5 1)",  // 8-bit in a quoted string
      R"(("MESSAGE" "RFC822" NIL NIL NIL "7BIT" 5 ("TEXT" "PLAIN" NIL NIL NIL "7BIT" 1 1) 1))",  // no envelope
      R"(("TEXT" "PLAIN" ("CHARSET") NIL NIL "7BIT" 5 1))",  // parameter without value
      "(\"TEXT\" \"PLAIN\" NIL NIL NIL {4}\r\n7BIT 5 1",     // unclosed
  };
  for (const char* t : bad_bodies) {
    Imap3501 g(t);
    EXPECT_FALSE(g.body_only(false)) << t;
  }
  Imap3501 ok("(\"TEXT\" \"PLAIN\" NIL NIL NIL {4}\r\n7BIT 5 1)");
  EXPECT_TRUE(ok.body_only(false)) << ok.why;
  const char* bad_envelopes[] = {
      "(NIL NIL NIL NIL NIL NIL NIL NIL NIL)",                    // nine fields
      "(NIL NIL () NIL NIL NIL NIL NIL NIL NIL)",                 // empty address list
      "(NIL NIL ((NIL NIL \"a\")) NIL NIL NIL NIL NIL NIL NIL)",  // three-part address
      "(NIL \"a\r\nb\" NIL NIL NIL NIL NIL NIL NIL NIL)",         // CR LF in a quoted string
  };
  for (const char* t : bad_envelopes) {
    Imap3501 e(t);
    EXPECT_FALSE(e.envelope_only()) << t;
  }
}

TEST(MessageCorpus, GrammarOfEveryMessage) {
  std::vector<std::string> names = corpus();
  ASSERT_GE(names.size(), 11u) << data_dir();
  for (const std::string& n : names) {
    std::string m = read_text_file(data_dir() + "/" + n + ".eml");
    body b;
    message_parse_tree(m.data(), m.size(), &b);
    std::string env = message_envelope(b);
    Imap3501 e(env);
    EXPECT_TRUE(e.envelope_only()) << n << ": " << e.why;
    for (bool ext : {false, true}) {
      std::string bs = message_bodystructure(b, ext);
      Imap3501 g(bs);
      EXPECT_TRUE(g.body_only(ext)) << n << (ext ? " BODYSTRUCTURE: " : " BODY: ") << g.why;
    }
  }
}

TEST(MessageCorpus, ExpectedEnvelopeAndBody) {
  int checked = 0;
  for (const std::string& n : corpus()) {
    std::string expect = read_text_file(data_dir() + "/" + n + ".expect");
    if (expect.empty()) continue;
    std::string m = read_text_file(data_dir() + "/" + n + ".eml");
    body b;
    message_parse_tree(m.data(), m.size(), &b);
    size_t nl = expect.find('\n');
    ASSERT_EQ(expect.substr(0, 9), "ENVELOPE ") << n;
    ASSERT_EQ(expect.substr(nl + 1, 5), "BODY ") << n;
    std::string env = unescape(expect.substr(9, nl - 9));
    std::string bd = unescape(expect.substr(nl + 6, expect.find('\n', nl + 1) - nl - 6));
    EXPECT_EQ(message_envelope(b), env) << n;
    EXPECT_EQ(message_bodystructure(b, false), bd) << n;
    ++checked;
  }
  EXPECT_GE(checked, 6);
}

TEST(MessageCorpus, EdgeShapes) {
  auto parse = [](const std::string& n, std::string* text) {
    *text = read_text_file(data_dir() + "/" + n + ".eml");
    body b;
    message_parse_tree(text->data(), text->size(), &b);
    return b;
  };
  std::string m;
  // A header over 100,000 bytes: the whole message is body.
  body b = parse("longheader", &m);
  EXPECT_EQ(b.header_size, 0u);
  EXPECT_EQ(b.content_size, m.size());
  // A long folded To: every address is kept.
  b = parse("longto", &m);
  EXPECT_GT(b.header_size, 80000u);
  size_t n = 0;
  for (const address* a = b.to.get(); a; a = a->next) ++n;
  EXPECT_EQ(n, 4002u);
  // 60 levels: 50 multiparts, then the rest as one part.
  b = parse("nest60", &m);
  int depth = 0;
  for (const body* p = &b; p->type == "MULTIPART" && !p->subpart.empty(); p = &p->subpart[0]) ++depth;
  EXPECT_EQ(depth, MESSAGE_MAX_DEPTH);
  // Bare LF line ends count lines like CR LF ones.
  b = parse("barelf", &m);
  EXPECT_EQ(b.header_lines, 4u);
  // A folded subject is unfolded in the envelope.
  b = parse("brokenheaders", &m);
  ASSERT_TRUE(b.subject);
  EXPECT_EQ(*b.subject, "broken continued subject");
}

}  // namespace
