// The bounded line reader, fed whole, in pieces and byte by byte.
#include "net/linereader.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// Events as text: the line, "<too long>" or "<abusive>".
std::vector<std::string> drain(LineReader& r) {
  std::vector<std::string> out;
  for (;;) {
    LineReader::Event ev = r.next();
    switch (ev.kind) {
      case LineReader::Kind::kNone:
        return out;
      case LineReader::Kind::kLine:
        out.emplace_back(ev.has_nul ? "<nul>" + std::string(ev.line) : std::string(ev.line));
        break;
      case LineReader::Kind::kTooLong:
        out.emplace_back("<too long>");
        break;
      case LineReader::Kind::kAbusive:
        out.emplace_back("<abusive>");
        break;
    }
  }
}

std::vector<std::string> feed_whole(const std::string& in) {
  LineReader r;
  r.feed(in.data(), in.size());
  return drain(r);
}

std::vector<std::string> feed_bytewise(const std::string& in) {
  LineReader r;
  std::vector<std::string> out;
  for (char c : in) {
    r.feed(&c, 1);
    for (auto& e : drain(r)) out.push_back(e);
  }
  return out;
}

using Lines = std::vector<std::string>;

TEST(LineReader, LineEndsAndPipelining) {
  const struct {
    std::string in;
    Lines want;
  } cases[] = {
      {"CAPA\r\n", {"CAPA"}},
      {"CAPA\n", {"CAPA"}},
      {"CAPA\r\nNOOP\r\nQUIT\r\n", {"CAPA", "NOOP", "QUIT"}},
      {"\r\n\n", {"", ""}},
      {"CAPA", {}},              // no line end yet
      {"CAPA\r", {}},
      {"A\rB\r\n", {"A\rB"}},    // a lone CR is part of the line
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.in);
    EXPECT_EQ(feed_whole(c.in), c.want);
    EXPECT_EQ(feed_bytewise(c.in), c.want);
  }
}

TEST(LineReader, NulIsReported) {
  std::string in("US\0ER x\r\nCAPA\r\n", 15);
  Lines want = {std::string("<nul>US\0ER x", 12), "CAPA"};
  EXPECT_EQ(feed_whole(in), want);
  EXPECT_EQ(feed_bytewise(in), want);
}

TEST(LineReader, CrLfSplitAcrossReads) {
  LineReader r;
  r.feed("CAPA\r", 5);
  EXPECT_TRUE(drain(r).empty());
  r.feed("\nQU", 3);
  EXPECT_EQ(drain(r), Lines{"CAPA"});
  r.feed("IT\r\n", 4);
  EXPECT_EQ(drain(r), Lines{"QUIT"});
  EXPECT_EQ(r.buffered(), 0u);
}

TEST(LineReader, LimitIs512OctetsWithTheLineEnd) {
  std::string fits(510, 'a');     // 510 + CR LF = 512
  std::string over(511, 'a');     // 511 + CR LF = 513
  std::string bare(511, 'b');     // 511 + LF = 512
  EXPECT_EQ(feed_whole(fits + "\r\n"), Lines{fits});
  EXPECT_EQ(feed_whole(bare + "\n"), Lines{bare});
  EXPECT_EQ(feed_whole(over + "\r\nCAPA\r\n"), (Lines{"<too long>", "CAPA"}));
  EXPECT_EQ(feed_bytewise(over + "\r\nCAPA\r\n"), (Lines{"<too long>", "CAPA"}));
}

TEST(LineReader, OverlongTailIsNeverACommand) {
  // The tail after octet 512 looks like a command of its own: it must be
  // dropped with the line, answered by exactly one error.
  std::string line = "USER " + std::string(507, 'x') + "DELE 1\r\nCAPA\r\n";
  EXPECT_EQ(feed_whole(line), (Lines{"<too long>", "CAPA"}));
  EXPECT_EQ(feed_bytewise(line), (Lines{"<too long>", "CAPA"}));
  // The same with the tail arriving in a later read.
  LineReader r;
  std::string head = "USER " + std::string(600, 'x');
  r.feed(head.data(), head.size());
  EXPECT_EQ(drain(r), Lines{"<too long>"});
  r.feed("\r\nDELE 1\r\n", 10);
  EXPECT_EQ(drain(r), Lines{"DELE 1"});  // a real next line, after the line end
}

TEST(LineReader, EndlessLineKeepsMemoryFlatThenIsAbusive) {
  LineReader r(512, 1 << 20);
  std::string chunk(16 * 1024, 'z');
  Lines seen;
  for (int i = 0; i < 100; ++i) {  // 1.6 MB without a line end
    r.feed(chunk.data(), chunk.size());
    EXPECT_LE(r.buffered(), chunk.size());
    for (auto& e : drain(r)) seen.push_back(e);
  }
  EXPECT_EQ(seen, (Lines{"<too long>", "<abusive>"}));
}

TEST(LineReader, DiscardDropsBufferedInput) {
  LineReader r;
  std::string in = "STLS\r\nCAPA\r\nUSER a\r\npartial";
  r.feed(in.data(), in.size());
  LineReader::Event ev = r.next();
  ASSERT_EQ(ev.kind, LineReader::Kind::kLine);
  EXPECT_EQ(ev.line, "STLS");
  EXPECT_EQ(r.discard(), in.size() - 6);
  EXPECT_TRUE(drain(r).empty());
  r.feed("CAPA\r\n", 6);
  EXPECT_EQ(drain(r), Lines{"CAPA"});
}

}  // namespace
