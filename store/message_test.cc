#include "store/message.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <random>
#include <string>
#include <vector>

#include "common/fileio.h"
#include "common/imap_err.h"
#include "common/test_util.h"
#include "common/unique_fd.h"
#include "store/byteorder.h"
#include "store/message_internal.h"

namespace {

// ---------------------------------------------------------------------------
// Helpers.

size_t count_lf(const std::string& m, size_t from, size_t n) {
  size_t c = 0;
  for (size_t i = from; i < from + n; ++i) c += m[i] == '\n';
  return c;
}

// The parts must tile the message: header, content and boundary of each
// part follow each other, sub-parts lie inside their parent's content, and
// every line count is the number of line feeds in its range.
void check_tiling(const body& b, const std::string& m, int depth = 0) {
  SCOPED_TRACE("depth " + std::to_string(depth));
  ASSERT_LE(depth, MESSAGE_MAX_DEPTH + 1);
  ASSERT_EQ(b.header_offset + b.header_size, b.content_offset);
  ASSERT_LE(b.content_offset + b.content_size + b.boundary_size, m.size());
  EXPECT_EQ(b.header_lines, count_lf(m, b.header_offset, b.header_size));
  EXPECT_EQ(b.content_lines, count_lf(m, b.content_offset, b.content_size));
  EXPECT_EQ(b.boundary_lines, count_lf(m, b.content_offset + b.content_size, b.boundary_size));
  size_t end = b.content_offset + b.content_size;
  if (b.type == "MESSAGE" && b.subtype == "RFC822") {
    ASSERT_EQ(b.subpart.size(), 1u);
    const body& s = b.subpart[0];
    EXPECT_EQ(s.header_offset, b.content_offset);
    if (s.header_size + s.content_size == b.content_size) {
      check_tiling(s, m, depth + 1);
    } else {  // the header ran into a boundary: an empty message
      EXPECT_EQ(s.header_size + s.content_size, 0u);
    }
    return;
  }
  size_t prev_end = b.content_offset;
  for (const body& s : b.subpart) {
    EXPECT_GE(s.header_offset, prev_end);
    check_tiling(s, m, depth + 1);
    prev_end = s.header_offset + s.header_size + s.content_size + s.boundary_size;
    EXPECT_LE(prev_end, end);
  }
}

body parse(const std::string& m) {
  body b;
  message_parse_tree(m.data(), m.size(), &b);
  return b;
}

std::string words(const std::string& section) {
  std::string out;
  for (size_t i = 0; i + 4 <= section.size(); i += 4) {
    char w[16];
    snprintf(w, sizeof w, "%s%08X", i ? " " : "", get_be32(reinterpret_cast<const unsigned char*>(section.data() + i)));
    out += w;
  }
  return out;
}

// A two-part multipart; sizes worked out by hand in the comments.
const std::string kMultipart =
    "Content-Type: multipart/mixed; boundary=xx\r\n"  // 44
    "\r\n"                                            // header 46, 2 lines
    "pre\r\n"                                         // preamble 3 + CR LF
    "--xx\r\n"                                        // part 1 at 57
    "\r\n"                                            // header 2
    "one\r\n"                                         // content at 59: 3
    "--xx\r\n"                                        // part 2 at 70
    "Content-Type: text/html; charset=UTF-8\r\n"      // 40
    "\r\n"                                            // header 42
    "<b>\r\n"                                         // content at 112: 3
    "--xx--\r\n"
    "epi\r\n";  // 130 bytes in all

// ---------------------------------------------------------------------------
// Structure.

TEST(MessageStructure, PlainMessageDefaultsToUsAsciiText) {
  const std::string m = "Subject: x\r\n\r\nhello\r\n";
  body b = parse(m);
  EXPECT_EQ(b.header_size, 14u);
  EXPECT_EQ(b.header_lines, 2u);
  EXPECT_EQ(b.content_offset, 14u);
  EXPECT_EQ(b.content_size, 7u);
  EXPECT_EQ(b.content_lines, 1u);
  EXPECT_EQ(message_bodystructure(b, false), R"(("TEXT" "PLAIN" ("CHARSET" "us-ascii") NIL NIL "7BIT" 7 1))");
  EXPECT_EQ(message_bodystructure(b, true),
            R"(("TEXT" "PLAIN" ("CHARSET" "us-ascii") NIL NIL "7BIT" 7 1 NIL NIL NIL))");
  EXPECT_EQ(words(message_section(b)), "00000000");
}

TEST(MessageStructure, MultipartFiguresAndSection) {
  body b = parse(kMultipart);
  ASSERT_EQ(kMultipart.size(), 130u);
  check_tiling(b, kMultipart);
  EXPECT_EQ(b.header_size, 46u);
  EXPECT_EQ(b.content_size, 84u);
  EXPECT_EQ(b.content_lines, 10u);
  ASSERT_EQ(b.subpart.size(), 2u);
  EXPECT_EQ(b.subpart[0].boundary_size, 8u);  // CR LF "--xx" CR LF
  EXPECT_EQ(b.subpart[1].boundary_size, 10u);
  EXPECT_EQ(message_bodystructure(b, false), R"((("TEXT" "PLAIN" ("CHARSET" "us-ascii") NIL NIL "7BIT" 3 0))"
                                             R"(("TEXT" "HTML" ("CHARSET" "UTF-8") NIL NIL "7BIT" 3 0) "MIXED"))");
  EXPECT_EQ(message_bodystructure(b, true),
            R"((("TEXT" "PLAIN" ("CHARSET" "us-ascii") NIL NIL "7BIT" 3 0 NIL NIL NIL))"
            R"(("TEXT" "HTML" ("CHARSET" "UTF-8") NIL NIL "7BIT" 3 0 NIL NIL NIL) "MIXED" ("BOUNDARY" "xx") NIL NIL))");
  EXPECT_EQ(words(message_section(b)),
            "00000003 00000000 FFFFFFFF 00000000 FFFFFFFF FFFF0000 "
            "00000039 00000002 0000003B 00000003 00000000 "
            "00000046 0000002A 00000070 00000003 000F0000 "
            "00000000 00000000");
}

TEST(MessageStructure, EncapsulatedMessage) {
  const std::string m =
      "Content-Type: message/rfc822\r\n"
      "\r\n"             // header 32
      "Subject: hi\r\n"  // encapsulated header at 32
      "From: a@b\r\n"
      "\r\n"       // 26 bytes, 3 lines
      "body\r\n";  // content at 58: 6 bytes, 1 line
  body b = parse(m);
  check_tiling(b, m);
  EXPECT_EQ(b.content_size, 32u);
  EXPECT_EQ(b.content_lines, 4u);
  EXPECT_EQ(message_bodystructure(b, false),
            R"(("MESSAGE" "RFC822" NIL NIL NIL "7BIT" 32 )"
            R"((NIL "hi" ((NIL NIL "a" "b")) ((NIL NIL "a" "b")) ((NIL NIL "a" "b")) NIL NIL NIL NIL NIL) )"
            R"(("TEXT" "PLAIN" ("CHARSET" "us-ascii") NIL NIL "7BIT" 6 1) 4))");
  EXPECT_EQ(words(message_section(b)),
            "00000002 00000020 0000001A 0000003A 00000006 FFFF0000 "
            "00000020 0000001A 0000003A 00000006 00000000 00000000");
  EXPECT_EQ(message_envelope(b), "(NIL NIL NIL NIL NIL NIL NIL NIL NIL NIL)");
}

TEST(MessageStructure, SinglePartExtensionFields) {
  const std::string m =
      "Content-Type: application/octet-stream\r\n"
      "Content-Transfer-Encoding: Base64\r\n"
      "Content-Disposition: attachment; filename=\"a.bin\"\r\n"
      "Content-Language: en-US, (comment) fr\r\n"
      "Content-MD5: abc\r\n"
      "Content-ID: <id@x>\r\n"
      "Content-Description: the\r\n file\r\n"
      "\r\n"
      "AAAA\r\n";
  body b = parse(m);
  EXPECT_EQ(message_bodystructure(b, true), R"(("APPLICATION" "OCTET-STREAM" NIL "<id@x>" "the file" "BASE64" 6 "abc" )"
                                            R"(("ATTACHMENT" ("FILENAME" "a.bin")) ("EN-US" "FR")))");
  EXPECT_EQ(message_bodystructure(b, false), R"(("APPLICATION" "OCTET-STREAM" NIL "<id@x>" "the file" "BASE64" 6))");
}

TEST(MessageStructure, BrokenFieldsFallBack) {
  struct {
    const char* header;
    const char* want;  // BODYSTRUCTURE of "<header>\r\n\r\nx"
  } cases[] = {
      {"Content-Transfer-Encoding: base64 junk",
       R"(("TEXT" "PLAIN" ("CHARSET" "us-ascii") NIL NIL "7BIT" 1 0 NIL NIL NIL))"},
      {"Content-Language: en_US, fr", R"(("TEXT" "PLAIN" ("CHARSET" "us-ascii") NIL NIL "7BIT" 1 0 NIL NIL NIL))"},
      {"Content-Language: de, en_US, fr",
       R"(("TEXT" "PLAIN" ("CHARSET" "us-ascii") NIL NIL "7BIT" 1 0 NIL NIL ("DE")))"},
      {"Content-Disposition: inline junk", R"(("TEXT" "PLAIN" ("CHARSET" "us-ascii") NIL NIL "7BIT" 1 0 NIL NIL NIL))"},
      {"Content-Disposition: inline; filename=x; size=@",
       R"(("TEXT" "PLAIN" ("CHARSET" "us-ascii") NIL NIL "7BIT" 1 0 NIL ("INLINE" ("FILENAME" "x")) NIL))"},
      {"Content-Disposition: inline; filename*0=a; filename*1=b",
       R"(("TEXT" "PLAIN" ("CHARSET" "us-ascii") NIL NIL "7BIT" 1 0 NIL ("INLINE" ("FILENAME" "ab")) NIL))"},
      {"Content-Type: multipart/mixed",  // no boundary: one body
       R"((("TEXT" "PLAIN" ("CHARSET" "us-ascii") NIL NIL "7BIT" 0 0 NIL NIL NIL) "MIXED" NIL NIL NIL))"},
      {"Content-Type: text/plain\r\nContent-Type: image/png",  // the first one counts
       R"(("TEXT" "PLAIN" NIL NIL NIL "7BIT" 1 0 NIL NIL NIL))"},
  };
  for (const auto& c : cases) {
    std::string m = std::string(c.header) + "\r\n\r\nx";
    EXPECT_EQ(message_bodystructure(parse(m), true), c.want) << c.header;
  }
}

std::string type_and_params(const std::string& content_type) {
  body b = parse("Content-Type: " + content_type + "\r\n\r\n");
  std::string out = b.type + "/" + b.subtype;
  for (const body_param& p : b.params) out += " " + p.attribute + "=" + p.value;
  return out;
}

TEST(MessageStructure, ContentTypeParameters) {
  struct {
    const char* in;
    const char* want;
  } cases[] = {
      {"text/plain; charset=\"us-ascii\"", "TEXT/PLAIN CHARSET=us-ascii"},
      {"Text/HTML;Charset=UTF-8 (comment)", "TEXT/HTML CHARSET=UTF-8"},
      {"(c) image (d) / (e (nested)) png", "IMAGE/PNG"},
      {"text/plain; name=\"a \\\"b\\\" c\"", "TEXT/PLAIN NAME=a \"b\" c"},
      {"text/plain; name=\"fo\r\n o\"", "TEXT/PLAIN NAME=fo o"},
      {"text/plain; name=\"fo\ro\"", "TEXT/PLAIN"},
      {"text/plain; name=\"unterminated", "TEXT/PLAIN"},
      {"text/plain; a=1; b@=2; c=3", "TEXT/PLAIN A=1"},
      {"text/plain; a=1 junk; c=3", "TEXT/PLAIN A=1"},
      {"text/plain; a=1;; b=2;", "TEXT/PLAIN A=1 B=2"},
      {"text/plain;\r\n\tformat=flowed", "TEXT/PLAIN FORMAT=flowed"},
      // RFC 2231 continuations.
      {"text/plain; title*0=\"a b\"; title*1=c", "TEXT/PLAIN TITLE=a bc"},
      {"text/plain; t*1=b; t*0=a", "TEXT/PLAIN T=ab"},
      {"text/plain; t*0=a; t*2=c", "TEXT/PLAIN T=a T*2=c"},
      {"text/plain; t*0*=us-ascii'en'a%20; t*1=\"b c\"", "TEXT/PLAIN T*=us-ascii'en'a%20b%20c"},
      {"text/plain; t*0=\"x y\"; t*1*=%41", "TEXT/PLAIN T*=''x%20y%41"},
      {"text/plain; t*0=\"a=b\"; t*1*=z; t*2=\"%\"", "TEXT/PLAIN T*=''a%3Dbz%25"},
      // Broken types fall back to the default.
      {"text", "TEXT/PLAIN CHARSET=us-ascii"},
      {"text/pl@in", "TEXT/PLAIN CHARSET=us-ascii"},
      {"text/plain junk", "TEXT/PLAIN CHARSET=us-ascii"},
      {"/plain", "TEXT/PLAIN CHARSET=us-ascii"},
      {"", "TEXT/PLAIN CHARSET=us-ascii"},
  };
  for (const auto& c : cases) EXPECT_EQ(type_and_params(c.in), c.want) << c.in;
}

TEST(MessageStructure, LongHeaderBecomesBody) {
  // Header of exactly 100000 bytes (blank line included) is kept; one more
  // byte and the whole message is body.
  for (size_t extra : {0, 1}) {
    std::string m = "Subject: s\r\nX: " + std::string(99981 + extra, 'a') + "\r\n\r\nbody\r\n";
    body b = parse(m);
    check_tiling(b, m);
    if (extra == 0) {
      EXPECT_EQ(b.header_size, 100000u);
      EXPECT_TRUE(b.subject);
    } else {
      EXPECT_EQ(b.header_size, 0u);
      EXPECT_EQ(b.content_size, m.size());
      EXPECT_FALSE(b.subject);
    }
  }
}

TEST(MessageStructure, HeaderEndsAtALineThatIsNoField) {
  const std::string m = "Subject: s\r\nnot a field\r\nmore\r\n";
  body b = parse(m);
  EXPECT_EQ(b.header_size, 12u);
  EXPECT_EQ(b.content_size, m.size() - 12);
  EXPECT_EQ(*b.subject, "s");
}

TEST(MessageStructure, NestingIsCutAtFiftyLevels) {
  const int levels = 60;
  std::string m;
  for (int i = 0; i < levels; ++i) {
    // "q5q" is no prefix of "q50q": boundaries are matched by prefix.
    if (i) m += "--q" + std::to_string(i - 1) + "q\r\n";
    m += "Content-Type: multipart/mixed; boundary=q" + std::to_string(i) + "q\r\n\r\n";
  }
  m += "--q59q\r\n\r\ninnermost\r\n";
  for (int i = levels - 1; i >= 0; --i) m += "--q" + std::to_string(i) + "q--\r\n";
  body b = parse(m);
  check_tiling(b, m);
  const body* p = &b;
  int multiparts = 0;
  while (p->type == "MULTIPART") {
    ++multiparts;
    ASSERT_EQ(p->subpart.size(), 1u);
    p = &p->subpart[0];
  }
  EXPECT_EQ(multiparts, MESSAGE_MAX_DEPTH);
  EXPECT_EQ(p->type, "TEXT");
  EXPECT_EQ(p->subtype, "MIXED");
  // The cut part keeps everything up to its parent's closing delimiter.
  EXPECT_NE(std::string(m, p->content_offset, p->content_size).find("innermost"), std::string::npos);
}

TEST(MessageStructure, UnclosedInnerMultipartEndsAtOuterDelimiter) {
  const std::string m =
      "Content-Type: multipart/mixed; boundary=outer\r\n\r\n"
      "--outer\r\n"
      "Content-Type: multipart/alternative; boundary=inner\r\n\r\n"
      "--inner\r\n\r\na\r\n"
      "--outer\r\n\r\nb\r\n"
      "--outer--\r\n";
  body b = parse(m);
  check_tiling(b, m);
  ASSERT_EQ(b.subpart.size(), 2u);
  EXPECT_EQ(b.subpart[0].type, "MULTIPART");
  EXPECT_EQ(b.subpart[0].subpart.size(), 1u);
  EXPECT_EQ(std::string(m, b.subpart[1].content_offset, b.subpart[1].content_size), "b");
}

TEST(MessageStructure, DigestPartsDefaultToMessages) {
  const std::string m =
      "Content-Type: multipart/digest; boundary=d\r\n\r\n"
      "--d\r\n\r\nSubject: one\r\n\r\nx\r\n"
      "--d--\r\n";
  body b = parse(m);
  check_tiling(b, m);
  ASSERT_EQ(b.subpart.size(), 1u);
  EXPECT_EQ(b.subpart[0].type, "MESSAGE");
  ASSERT_EQ(b.subpart[0].subpart.size(), 1u);
  EXPECT_EQ(*b.subpart[0].subpart[0].subject, "one");
}

TEST(MessageStructure, BoundaryInsideAPartHeader) {
  const std::string m =
      "Content-Type: multipart/mixed; boundary=z\r\n\r\n"
      "--z\r\nContent-Type: message/rfc822\r\n--z\r\nX: y\r\n\r\nq\r\n--z--\r\n";
  body b = parse(m);
  check_tiling(b, m);
  ASSERT_EQ(b.subpart.size(), 2u);
  EXPECT_EQ(b.subpart[0].type, "MESSAGE");
  EXPECT_EQ(b.subpart[0].content_size, 0u);
  EXPECT_EQ(b.subpart[0].boundary_size, 7u);  // CR LF "--z" CR LF
}

// Every prefix of the messages above (a message cut off anywhere) parses
// into parts that still tile it.
TEST(MessageStructure, EveryTruncationTiles) {
  const std::string samples[] = {
      kMultipart,
      "Content-Type: message/rfc822\r\n\r\nSubject: hi\r\n\r\nbody\r\n",
      "Content-Type: multipart/mixed; boundary=o\r\n\r\n--o\r\nContent-Type: multipart/mixed; boundary=i\r\n\r\n"
      "--i\r\n\r\n.a\r\n--i--\r\n--o\r\nContent-Type: message/rfc822\r\n\r\nX: 1\r\n\r\nb\n--o--\r\nend",
  };
  for (const std::string& full : samples) {
    for (size_t n = 0; n <= full.size(); ++n) {
      std::string m = full.substr(0, n);
      SCOPED_TRACE(m);
      body b = parse(m);
      check_tiling(b, m);
      EXPECT_EQ(b.header_size + b.content_size + b.boundary_size, m.size());
      (void)message_bodystructure(b, true);
      (void)message_section(b);
    }
  }
}

TEST(MessageStructure, RandomGarbageNeverCrashes) {
  unsigned seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  printf("MessageStructure.RandomGarbageNeverCrashes seed %u\n", seed);
  std::mt19937 rng(seed);
  const char* pieces[] = {
      "\r\n",
      "\n",
      "\r",
      " ",
      "\t",
      ".",
      "--",
      "--a",
      "--b",
      "--a--",
      "--b--",
      "x",
      ":",
      "From: ",
      "To: ",
      "Subject: ",
      "Content-Type: multipart/mixed; boundary=a",
      "Content-Type: multipart/digest; boundary=b",
      "Content-Type: message/rfc822",
      "Content-Type: text/plain; charset=\"",
      "Content-Transfer-Encoding: ",
      "Content-Disposition: attachment; filename*0*=",
      "Content-Language: en",
      "Date: 1 Jan 2000 ",
      "(",
      ")",
      "\"",
      "<",
      ">",
      "@",
      ";",
      "=?utf-8?q?",
      "?=",
      "\x80",  // and NUL bytes, below
  };
  const size_t npieces = sizeof pieces / sizeof pieces[0];
  for (int round = 0; round < 2000; ++round) {
    std::string m;
    int n = static_cast<int>(rng() % 80);
    for (int i = 0; i < n; ++i) {
      size_t k = rng() % (npieces + 1);
      if (k == npieces)
        m += '\0';
      else
        m += pieces[k];
    }
    body b = parse(m);
    check_tiling(b, m);
    ASSERT_EQ(b.header_size + b.content_size + b.boundary_size, m.size()) << m;
    (void)message_envelope(b);
    (void)message_bodystructure(b, true);
    (void)message_bodystructure(b, false);
    (void)message_section(b);
    (void)message_search_addresses(b.from.get());
    (void)message_subject(b);
    if (HasFatalFailure()) return;
  }
}

// ---------------------------------------------------------------------------
// Header values.

TEST(MessageFields, EnvelopeAndSearchForms) {
  const std::string m =
      "Date: Tue, 1 Jun 04 10:00:00 PST\r\n"
      "Subject: =?utf-8?q?caf=C3=A9?= \"x\"\r\n"
      "From: Joe <JOE@EXAMPLE.COM>\r\n"
      "To: Team: a@b;\r\n"
      "cc: x@y\r\n"
      "CC: (second field) Ann <ann@Z>\r\n"
      "Subject: ignored, only the first counts\r\n"
      "Message-ID:\r\n <1@x>\r\n"
      "\r\n";
  body b = parse(m);
  EXPECT_EQ(message_envelope(b),
            "(\"Tue, 1 Jun 04 10:00:00 PST\" {25}\r\n=?utf-8?q?caf=C3=A9?= \"x\" "
            "((\"Joe\" NIL \"JOE\" \"EXAMPLE.COM\")) ((\"Joe\" NIL \"JOE\" \"EXAMPLE.COM\")) "
            "((\"Joe\" NIL \"JOE\" \"EXAMPLE.COM\")) "
            "((NIL NIL \"Team\" NIL)(NIL NIL \"a\" \"b\")(NIL NIL NIL NIL)) "
            "((NIL NIL \"x\" \"y\")(\"Ann\" NIL \"ann\" \"Z\")) NIL NIL \"<1@x>\")");
  EXPECT_EQ(message_search_addresses(b.from.get()), "Joe <joe@example.com>");
  EXPECT_EQ(message_search_addresses(b.to.get()), "Team:,<a@b>,;");
  EXPECT_EQ(message_search_addresses(b.cc.get()), "<x@y>,Ann <ann@z>");
  EXPECT_EQ(message_subject(b), "{9}\r\ncaf\xC3\xA9 \"x\"");
}

TEST(MessageFields, SearchFormDecodesNamesAndKeepsRoutes) {
  address* list = nullptr;
  parseaddr_list("=?iso-8859-1?q?J=F6rg?= <@Relay.Example:Joerg@Example.DE>, postmaster, G=?x?q?a?=:;", &list);
  AddressList owner(list);
  EXPECT_EQ(message_search_addresses(list), "J\xC3\xB6rg <@relay.example:joerg@example.de>,<postmaster>,G=?x?q?a?=:,;");
}

TEST(MessageFields, LongOrEightBitValuesAreLiterals) {
  std::string subject(1023, 's');
  body b = parse("Subject: " + subject + "\r\n\r\n");
  EXPECT_EQ(message_subject(b), "\"" + subject + "\"");
  b = parse("Subject: " + subject + "s\r\n\r\n");
  EXPECT_EQ(message_subject(b), "{1024}\r\n" + subject + "s");
  for (const char* v : {"a%b", "a\\b", "\xE9"}) {
    b = parse(std::string("Subject: ") + v + "\r\n\r\n");
    EXPECT_EQ(message_subject(b), "{" + std::to_string(strlen(v)) + "}\r\n" + v) << v;
  }
  EXPECT_EQ(message_subject(parse("\r\n")), "NIL");
}

// ---------------------------------------------------------------------------
// Dates.

class MessageDate : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* tz = getenv("TZ");
    had_tz_ = tz != nullptr;
    if (tz) old_tz_ = tz;
    setenv("TZ", "EST5", 1);  // fixed UTC-5, no summer time
    tzset();
  }
  void TearDown() override {
    if (had_tz_)
      setenv("TZ", old_tz_.c_str(), 1);
    else
      unsetenv("TZ");
    tzset();
  }
  bool had_tz_ = false;
  std::string old_tz_;
};

TEST_F(MessageDate, Rfc822Forms) {
  // 1086048000 is 2004-06-01T00:00:00Z.
  const time_t day = 1086048000;
  struct {
    const char* in;
    time_t want;
  } cases[] = {
      {"Tue, 1 Jun 04 10:00:00 PST", day + 18 * 3600},
      {"Tue,1 Jun 2004 10:00:00 GMT", day + 10 * 3600},
      {"Tue , 01 jun 2004 10:00:00 EDT", day + 14 * 3600},
      {"1 Jun 104 10:00:00 UT", day + 10 * 3600},
      {"1 Jun 2004 10:00:00 +0200", day + 8 * 3600},
      {"1 Jun 2004 10:00:00 -0130", day + 11 * 3600 + 1800},
      {"1 Jun 2004 10:00:00 0100", day + 9 * 3600},
      {"1 Jun 2004 10.0.0 CST", day + 16 * 3600},
      {"1 Jun 2004 10:00:00 XYZ", day + 10 * 3600},  // unknown zone: UTC
      {"1 Jun 2004 10:00:00 +0000 (UTC)", day + 10 * 3600},
      {"1 Jun 2004 10:00:00", day + 15 * 3600},  // local time (UTC-5)
      {"1 Jun 2004", day + 17 * 3600},           // noon local time
      {"  1 Jun 2004  ", day + 17 * 3600},
  };
  for (const auto& c : cases) {
    time_t t = 0;
    EXPECT_TRUE(message_parse_date(c.in, &t)) << c.in;
    EXPECT_EQ(t, c.want) << c.in;
  }
}

TEST_F(MessageDate, DeviationsAreRefused) {
  const char* bad[] = {
      "",
      "1 Jun 1899 10:00:00 GMT",
      "1 Jun 2004 10:00 PST",
      "Tuesday, 1 Jun 2004 10:00:00 GMT",
      "Tue 1 Jun 2004 10:00:00 GMT",
      "0 Jun 2004 10:00:00 GMT",
      "32 Jun 2004 10:00:00 GMT",
      "123 Jun 2004 10:00:00 GMT",
      "1 Foo 2004 10:00:00 GMT",
      "1 June 2004 10:00:00 GMT",
      "1 Jun 20041 10:00:00 GMT",
      "1 Jun 4 10:00:00 GMT",
      "1 Jun 2004 24:00:00 GMT",
      "1 Jun 2004 10:60:00 GMT",
      "1 Jun 2004 10:00:00 +01",
      "1 Jun 2004 10:00:00 +01000",
      "1 Jun 2004 10:00:00 #",
      "1 Jun 2004 10:00:",
      "1 Jun 2004 10",
  };
  for (const char* s : bad) {
    time_t t = 0;
    EXPECT_FALSE(message_parse_date(s, &t)) << s;
  }
}

// ---------------------------------------------------------------------------
// Record and cache entry.

class MessageCache : public ::testing::Test {
 protected:
  void SetUp() override {
    fd_.reset(open((dir_ / "store.idx").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    ASSERT_TRUE(fd_);
    // A cache area starting at 100 that already holds 12 bytes.
    std::string existing(112, 'E');
    ASSERT_EQ(write(fd_.get(), existing.data(), existing.size()), 112);
  }
  std::string file() { return read_text_file(dir_ / "store.idx"); }

  TempDir dir_;
  UniqueFd fd_;
};

std::string item(const std::string& data) {
  std::string out(4, '\0');
  put_be32(reinterpret_cast<unsigned char*>(out.data()), static_cast<uint32_t>(data.size()));
  out += data;
  out.append((4 - data.size() % 4) % 4, '\0');
  return out;
}

TEST_F(MessageCache, EntryLayoutAndRecord) {
  const std::string m = "Subject: x\r\n\r\nhello\r\n";
  index_record r;
  r.uid = 7;
  r.system_flags = 1;
  ASSERT_EQ(message_parse_mapped(m.data(), m.size(), "user/joe", fd_.get(), 100, "xy", &r), 0);
  EXPECT_EQ(r.uid, 7u);
  EXPECT_EQ(r.size, m.size());
  EXPECT_EQ(r.header_size, 14u);
  EXPECT_EQ(r.content_offset, 14u);
  EXPECT_EQ(r.cache_offset, 12u);
  EXPECT_EQ(r.system_flags, 1u | INDEX_FLAG_CRLF_NODOT);
  std::string want = item("(NIL \"x\" NIL NIL NIL NIL NIL NIL NIL NIL)") +
                     item("(\"TEXT\" \"PLAIN\" (\"CHARSET\" \"us-ascii\") NIL NIL \"7BIT\" 7 1 NIL NIL NIL)") +
                     item("(\"TEXT\" \"PLAIN\" (\"CHARSET\" \"us-ascii\") NIL NIL \"7BIT\" 7 1)") +
                     item(std::string(4, '\0')) + item("Subject: x\r\n\r\n") + item("") + item("") + item("") +
                     item("") + item("\"x\"") + item("xy");
  std::string f = file();
  ASSERT_EQ(f.size(), 112 + want.size());
  EXPECT_EQ(f.substr(112), want);
  EXPECT_EQ(lseek(fd_.get(), 0, SEEK_CUR), static_cast<off_t>(f.size()));

  // A second message follows the first directly, without extra text.
  index_record r2;
  ASSERT_EQ(message_parse_mapped(m.data(), m.size(), "user/joe", fd_.get(), 100, nullptr, &r2), 0);
  EXPECT_EQ(r2.cache_offset, 12u + want.size());
  std::string f2 = file();
  EXPECT_EQ(f2.substr(f2.size() - 4), item(""));
}

TEST_F(MessageCache, SentDateAndDotFlag) {
  struct {
    std::string msg;
    bool flag;
  } cases[] = {
      {"S: x\r\n\r\nbody\r\n", true},
      {"\r\n", true},
      {"S: x\r\n\r\nbody", false},
      {"S: x\r\n\r\nbody\n", false},
      {"S: x\r\n\r\n.dot\r\n", false},
      {".S: x\r\n\r\nbody\r\n", false},
      {"", false},
      {"\n", false},
      {kMultipart, true},
      {"Content-Type: multipart/mixed; boundary=q\r\n\r\n--q\r\n\r\n..\r\n--q--\r\n", false},
  };
  for (const auto& c : cases) {
    index_record r;
    ASSERT_EQ(message_parse_mapped(c.msg.data(), c.msg.size(), "f", fd_.get(), 100, nullptr, &r), 0);
    EXPECT_EQ((r.system_flags & INDEX_FLAG_CRLF_NODOT) != 0, c.flag) << c.msg;
  }
  index_record r;
  std::string dated = "Date: Tue, 1 Jun 04 10:00:00 PST\r\n\r\n";
  ASSERT_EQ(message_parse_mapped(dated.data(), dated.size(), "f", fd_.get(), 100, nullptr, &r), 0);
  EXPECT_EQ(r.sentdate, 1086112800u);
  // Before 1970 is out of the record's range.
  dated = "Date: 1 Jun 1950 10:00:00 GMT\r\n\r\n";
  ASSERT_EQ(message_parse_mapped(dated.data(), dated.size(), "f", fd_.get(), 100, nullptr, &r), 0);
  EXPECT_EQ(r.sentdate, 0u);
  // No usable date: now.
  time_t before = time(nullptr);
  dated = "Date: yesterday\r\n\r\n";
  ASSERT_EQ(message_parse_mapped(dated.data(), dated.size(), "f", fd_.get(), 100, nullptr, &r), 0);
  EXPECT_GE(r.sentdate, static_cast<uint32_t>(before));
  EXPECT_LE(r.sentdate, static_cast<uint32_t>(time(nullptr)));
}

int g_fail_writev = 0;
int fail_writev(fs_op op, const char*, size_t* count) {
  if (op != fs_op::writev) return 0;
  if (g_fail_writev == ENOSPC) return ENOSPC;
  *count = *count > 10 ? 10 : *count;  // then short writes: must still complete
  return 0;
}

TEST_F(MessageCache, WriteFailureIsAnIoErrorAndShortWritesComplete) {
  const std::string m = kMultipart;
  fs_fault_hook old = fs_set_fault_hook(fail_writev);
  g_fail_writev = ENOSPC;
  index_record r;
  r.cache_offset = 99;
  EXPECT_EQ(message_parse_mapped(m.data(), m.size(), "user/joe", fd_.get(), 100, nullptr, &r), IMAP_IOERROR);
  EXPECT_EQ(r.cache_offset, 99u);
  EXPECT_EQ(lseek(fd_.get(), 0, SEEK_CUR), 112);
  g_fail_writev = 0;
  EXPECT_EQ(message_parse_mapped(m.data(), m.size(), "user/joe", fd_.get(), 100, nullptr, &r), 0);
  fs_set_fault_hook(old);
  EXPECT_EQ(r.cache_offset, 12u);
  // The entry is whole: eleven items that end at the end of the file.
  std::string f = file();
  size_t p = 112;
  for (int i = 0; i < MESSAGE_CACHE_ITEMS; ++i) {
    ASSERT_LE(p + 4, f.size());
    uint32_t len = get_be32(reinterpret_cast<const unsigned char*>(f.data() + p));
    p += 4 + (len + 3) / 4 * 4;
  }
  EXPECT_EQ(p, f.size());
}

TEST_F(MessageCache, BadDescriptorsAndPositions) {
  const std::string m = "S: x\r\n\r\n";
  index_record r;
  EXPECT_EQ(message_parse_mapped(m.data(), m.size(), "f", -1, 100, nullptr, &r), IMAP_IOERROR);
  // The position lies before the cache area.
  EXPECT_EQ(message_parse_mapped(m.data(), m.size(), "f", fd_.get(), 200, nullptr, &r), IMAP_IOERROR);
  EXPECT_EQ(message_parse_file(-1, "f", fd_.get(), 100, nullptr, &r), IMAP_IOERROR);

  std::string path = dir_ / "1.msg";
  write_text_file(path, kMultipart);
  UniqueFd msg(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  ASSERT_TRUE(msg);
  ASSERT_EQ(message_parse_file(msg.get(), "f", fd_.get(), 100, nullptr, &r), 0);
  EXPECT_EQ(r.size, 130u);
  EXPECT_EQ(r.header_size, 46u);
}

}  // namespace
