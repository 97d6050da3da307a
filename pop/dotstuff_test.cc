// The transfer stream: stuffed dots, the terminator, TOP's cut; a property
// test over random messages against a simple reference.
#include "pop/dotstuff.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace {

std::string stream(const std::string& msg, std::optional<uint64_t> lines = std::nullopt, size_t chunk = 7) {
  DotStuffer s(msg.data(), msg.size(), lines);
  std::string out;
  for (int guard = 0; !s.done(); ++guard) {
    EXPECT_LT(guard, 1000000) << "no progress";
    if (guard >= 1000000) break;
    s.fill(&out, chunk);
  }
  return out;
}

// What a client does: the stream must end in CRLF "." CRLF with no earlier
// terminator; the leading dot of every line is removed.
std::string unstuff(const std::string& sent) {
  EXPECT_GE(sent.size(), 5u);
  EXPECT_EQ(sent.substr(sent.size() - 5), "\r\n.\r\n");
  EXPECT_EQ(sent.find("\n.\r\n"), sent.size() - 4) << "a terminator inside the message";
  std::string body = sent.substr(0, sent.size() - 3);
  std::string out;
  bool line_start = true;
  for (char c : body) {
    if (line_start && c == '.') {
      line_start = false;
      continue;
    }
    line_start = c == '\n';
    out.push_back(c);
  }
  // Every line-start dot was doubled: removing one left one behind.
  return out;
}

std::string with_crlf(std::string s) {
  if (s.size() < 2 || s.compare(s.size() - 2, 2, "\r\n") != 0) s += "\r\n";
  return s;
}

// Reference TOP cut: lines split at LF; the header ends with the first
// empty line ("\n" or "\r\n"); then n lines of the body.
std::string reference_top(const std::string& msg, uint64_t n) {
  std::vector<std::string> lines;
  size_t p = 0;
  while (p < msg.size()) {
    size_t e = msg.find('\n', p);
    e = e == std::string::npos ? msg.size() : e + 1;
    lines.push_back(msg.substr(p, e - p));
    p = e;
  }
  size_t h = 0;
  while (h < lines.size() && lines[h] != "\n" && lines[h] != "\r\n") ++h;
  std::string out;
  for (size_t i = 0; i < lines.size(); ++i) {
    if (h < lines.size() && i > h && i - h > n) break;
    out += lines[i];
  }
  return out;
}

TEST(DotStuff, HandMadeStreams) {
  EXPECT_EQ(stream("a\r\n.b\r\n..\r\n.\r\nend\r\n"), "a\r\n..b\r\n...\r\n..\r\nend\r\n.\r\n");
  // The first line is a line too.
  EXPECT_EQ(stream(".x\r\n"), "..x\r\n.\r\n");
  // No final line end: CRLF before the terminator, never "end.\r\n".
  EXPECT_EQ(stream("a\r\nend"), "a\r\nend\r\n.\r\n");
  EXPECT_EQ(stream("."), "..\r\n.\r\n");
  EXPECT_EQ(stream(""), "\r\n.\r\n");
  // A bare LF starts a line (clients split there); a bare CR does not.
  EXPECT_EQ(stream("a\n.b\r.c\r\n"), "a\n..b\r.c\r\n.\r\n");
  EXPECT_EQ(stream("a\n"), "a\n\r\n.\r\n");
  // 8-bit bytes and NULs pass unchanged.
  std::string bin("\xff\x00\x80.\r\n", 6);
  EXPECT_EQ(stream(bin), bin + ".\r\n");
}

TEST(DotStuff, TopCountsBodyLinesAfterTheBlankLine) {
  const std::string msg = "Subject: s\r\nFrom: f\r\n\r\n.one\r\ntwo\r\nthree";
  EXPECT_EQ(stream(msg, 0), "Subject: s\r\nFrom: f\r\n\r\n.\r\n");
  EXPECT_EQ(stream(msg, 1), "Subject: s\r\nFrom: f\r\n\r\n..one\r\n.\r\n");
  EXPECT_EQ(stream(msg, 2), "Subject: s\r\nFrom: f\r\n\r\n..one\r\ntwo\r\n.\r\n");
  EXPECT_EQ(stream(msg, 3), "Subject: s\r\nFrom: f\r\n\r\n..one\r\ntwo\r\nthree\r\n.\r\n");
  EXPECT_EQ(stream(msg, UINT64_MAX), stream(msg));
  // Without a blank line everything is header.
  EXPECT_EQ(stream("A: b\r\nC: d", 0), "A: b\r\nC: d\r\n.\r\n");
  // A blank line inside the body is a body line.
  EXPECT_EQ(stream("H: 1\n\nx\n\ny\n", 2), "H: 1\n\nx\n\n\r\n.\r\n");
}

TEST(DotStuff, RandomMessagesRoundTrip) {
  const unsigned seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 rng(seed);
  const char alphabet[] = {'.', '.', '\r', '\n', '\n', 'a', ' ', '\xe9', '\0'};
  for (int i = 0; i < 3000; ++i) {
    std::string msg;
    size_t len = rng() % 120;
    for (size_t k = 0; k < len; ++k) msg.push_back(alphabet[rng() % sizeof alphabet]);
    if (rng() % 2) msg.insert(rng() % (msg.size() + 1), "\r\n\r\n");
    size_t chunk = 1 + rng() % 40;
    std::string whole = stream(msg, std::nullopt, chunk);
    ASSERT_EQ(unstuff(whole), with_crlf(msg)) << testing::PrintToString(msg);
    uint64_t n = rng() % 6;
    std::string top = stream(msg, n, chunk);
    ASSERT_EQ(unstuff(top), with_crlf(reference_top(msg, n))) << testing::PrintToString(msg) << " n=" << n;
  }
}

}  // namespace
