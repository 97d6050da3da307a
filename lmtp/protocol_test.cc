#include "lmtp/protocol.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/imap_err.h"

namespace {

using Action = LmtpMachine::Action;

// ---- Paths and recipients ---------------------------------------------------

TEST(LmtpPath, Forms) {
  LmtpPath p;
  ASSERT_TRUE(lmtp_parse_path("FROM:<a@b.c>", "FROM:", &p));
  EXPECT_EQ(p.address, "a@b.c");
  EXPECT_TRUE(p.params.empty());
  ASSERT_TRUE(lmtp_parse_path("from: <> SIZE=123 body=8bitmime", "FROM:", &p));
  EXPECT_EQ(p.address, "");
  ASSERT_EQ(p.params.size(), 2u);
  EXPECT_EQ(p.params[0], (std::pair<std::string, std::string>("SIZE", "123")));
  EXPECT_EQ(p.params[1], (std::pair<std::string, std::string>("BODY", "8bitmime")));
  ASSERT_TRUE(lmtp_parse_path("TO:<@relay,@x:joe@d>", "TO:", &p));
  EXPECT_EQ(p.address, "joe@d");
  ASSERT_TRUE(lmtp_parse_path("TO:<\"a >b\"@d>", "TO:", &p));
  EXPECT_EQ(p.address, "\"a >b\"@d");
  for (const char* bad : {"TO:joe@d", "TO:<joe@d", "TO:<joe@d>x", "TO<joe@d>", "FROM:<a@b>", "TO:<a b@d>",
                          "TO:<@relay joe@d>", "TO:<a<b@d>", "TO:<a@d> =x", "TO:<a\rb@d>", "TO:<\"a\tb\"@d>"})
    EXPECT_FALSE(lmtp_parse_path(bad, "TO:", &p)) << bad;
}

TEST(LmtpPath, RecipientUser) {
  EXPECT_EQ(lmtp_recipient_user("joe@example.com"), "joe");
  EXPECT_EQ(lmtp_recipient_user("joe"), "joe");
  EXPECT_EQ(lmtp_recipient_user("\"j@e\"@example.com"), "j@e");
  EXPECT_EQ(lmtp_recipient_user("\"a\\\"b\"@x"), "a\"b");
  EXPECT_EQ(lmtp_recipient_user("@example.com"), "");
  EXPECT_EQ(lmtp_recipient_user("\"open@x"), "");
  EXPECT_EQ(lmtp_recipient_user("\"a\"b@x"), "");
}

TEST(LmtpReplies, StoreResults) {
  struct Case {
    int code;
    const char* prefix;
  } cases[] = {
      {0, "250 2.1.5 "},
      {IMAP_MAILBOX_NONEXISTENT, "550 5.1.1 "},
      {IMAP_MAILBOX_BADNAME, "550 5.1.1 "},
      {IMAP_WRONG_MAILHOST, "550 5.1.1 "},
      {IMAP_QUOTA_EXCEEDED_PERSISTENT, "552 5.2.2 "},  // beyond the grace period
      {IMAP_QUOTA_EXCEEDED, "452 4.2.2 "},             // within it
      {IMAP_MAILBOX_FULL, "552 5.2.2 "},
      {IMAP_MESSAGE_TOO_LARGE, "552 5.3.4 "},
      {IMAP_MESSAGE_CONTAINSNULL, "554 5.6.0 "},
      {IMAP_MAILBOX_LOCKED, "451 4.3.0 "},
      {IMAP_IOERROR, "451 4.3.0 "},
      {IMAP_TEMP_AUTH_FAILURE, "451 4.3.0 "},
  };
  for (const Case& c : cases) {
    std::string r = lmtp_result_reply(c.code, "250 2.1.5 OK");
    EXPECT_EQ(r.substr(0, 10), c.prefix) << c.code << ": " << r;
    EXPECT_EQ(r.substr(r.size() - 2), "\r\n");
  }
}

// ---- The state machine -----------------------------------------------------

class Machine : public ::testing::Test {
 protected:
  LmtpMachine m_{"mx.test", 1000, 3};
  std::string say(const std::string& line) {
    LmtpMachine::Step s = m_.on_line(line, false);
    last_ = s;
    return s.reply;
  }
  // A RCPT that the store accepts.
  void rcpt_ok(const std::string& addr) {
    say("RCPT TO:<" + addr + ">");
    ASSERT_EQ(last_.action, Action::kCheckRecipient);
    EXPECT_EQ(m_.recipient_checked(0, "user/" + last_.user), "250 2.1.5 Recipient OK\r\n");
  }
  LmtpMachine::Step last_;
};

TEST_F(Machine, OrderOfCommands) {
  EXPECT_EQ(m_.greeting().substr(0, 12), "220 mx.test ");
  EXPECT_EQ(say("MAIL FROM:<a@b>").substr(0, 10), "503 5.5.1 ");
  EXPECT_EQ(say("RCPT TO:<u@x>").substr(0, 10), "503 5.5.1 ");
  EXPECT_EQ(say("DATA").substr(0, 10), "503 5.5.1 ");
  EXPECT_EQ(say("EHLO client").substr(0, 10), "500 5.5.1 ");
  EXPECT_EQ(say("LHLO"), "501 5.5.4 Syntax: LHLO hostname\r\n");
  EXPECT_EQ(say("lhlo client"),
            "250-mx.test\r\n250-PIPELINING\r\n250-ENHANCEDSTATUSCODES\r\n250-8BITMIME\r\n250 SIZE 1000\r\n");
  EXPECT_EQ(say("DATA").substr(0, 10), "503 5.5.1 ");
  EXPECT_EQ(say("MAIL FROM:<a@b> BODY=8BITMIME"), "250 2.1.0 Sender OK\r\n");
  EXPECT_EQ(say("MAIL FROM:<a@b>").substr(0, 10), "503 5.5.1 ");  // nested
  EXPECT_EQ(say("DATA"), "503 5.5.1 No valid recipients\r\n");
  say("RCPT TO:<nobody@x>");
  ASSERT_EQ(last_.action, Action::kCheckRecipient);
  EXPECT_EQ(last_.user, "nobody");
  EXPECT_EQ(m_.recipient_checked(IMAP_MAILBOX_NONEXISTENT, ""), "550 5.1.1 No such user here\r\n");
  EXPECT_EQ(say("DATA"), "503 5.5.1 No valid recipients\r\n");  // the refused one does not count
  rcpt_ok("joe@x");
  EXPECT_EQ(say("DATA x").substr(0, 10), "501 5.5.4 ");
  say("DATA");
  EXPECT_EQ(last_.action, Action::kStartData);
  EXPECT_EQ(last_.reply.substr(0, 4), "354 ");
  ASSERT_EQ(m_.recipients().size(), 1u);
  EXPECT_EQ(m_.recipients()[0].user, "joe");
  EXPECT_EQ(m_.recipients()[0].folder, "user/joe");
  EXPECT_EQ(m_.sender(), "a@b");
  m_.data_done();
  EXPECT_TRUE(m_.recipients().empty());
  EXPECT_EQ(say("RCPT TO:<u@x>").substr(0, 10), "503 5.5.1 ");  // a new transaction needs MAIL
  EXPECT_EQ(say("MAIL FROM:<>"), "250 2.1.0 Sender OK\r\n");
  EXPECT_EQ(say("RSET"), "250 2.0.0 OK\r\n");
  EXPECT_EQ(say("RCPT TO:<u@x>").substr(0, 10), "503 5.5.1 ");
  EXPECT_EQ(say("NOOP"), "250 2.0.0 OK\r\n");
  EXPECT_EQ(say("VRFY joe").substr(0, 10), "252 2.5.2 ");
  EXPECT_EQ(say("VRFY").substr(0, 10), "501 5.5.4 ");
  EXPECT_EQ(say("XYZZY").substr(0, 10), "500 5.5.2 ");
  EXPECT_EQ(say("").substr(0, 10), "500 5.5.2 ");
  say("QUIT");
  EXPECT_EQ(last_.action, Action::kQuit);
  EXPECT_EQ(last_.reply.substr(0, 10), "221 2.0.0 ");
}

TEST_F(Machine, ParametersAndLimits) {
  say("LHLO c");
  EXPECT_EQ(say("MAIL FROM:<a@b> SIZE=1001").substr(0, 10), "552 5.3.4 ");
  EXPECT_EQ(say("MAIL FROM:<a@b> SIZE=12x").substr(0, 10), "501 5.5.4 ");
  EXPECT_EQ(say("MAIL FROM:<a@b> SIZE=99999999999999999999").substr(0, 10), "501 5.5.4 ");
  EXPECT_EQ(say("MAIL FROM:<a@b> BODY=BINARYMIME").substr(0, 10), "501 5.5.4 ");
  EXPECT_EQ(say("MAIL FROM:<a@b> AUTH=<>").substr(0, 10), "555 5.5.4 ");
  EXPECT_EQ(say("MAIL FROM:a@b").substr(0, 10), "501 5.5.4 ");
  EXPECT_EQ(say("MAIL FROM:<a@b> SIZE=1000"), "250 2.1.0 Sender OK\r\n");
  EXPECT_EQ(m_.size_hint(), 1000u);
  EXPECT_EQ(say("RCPT TO:<u@x> NOTIFY=NEVER").substr(0, 10), "555 5.5.4 ");
  EXPECT_EQ(say("RCPT TO:<>").substr(0, 10), "501 5.1.3 ");
  rcpt_ok("u1@x");
  rcpt_ok("u2@x");
  rcpt_ok("u3@x");
  // More than maxrecipients: a temporary refusal, the MTA sends the rest
  // in another transaction.
  EXPECT_EQ(say("RCPT TO:<u4@x>"), "452 4.5.3 Too many recipients\r\n");
  EXPECT_EQ(m_.recipients().size(), 3u);
}

TEST_F(Machine, BadLines) {
  EXPECT_EQ(m_.on_line("NOOP\0x", true).reply.substr(0, 10), "500 5.5.2 ");
  EXPECT_EQ(m_.on_too_long().reply, "500 5.5.2 Line too long\r\n");
  LmtpMachine unlimited("h", 0, 100);
  std::string lhlo = unlimited.on_line("LHLO c", false).reply;
  EXPECT_EQ(lhlo.substr(lhlo.size() - 10), "250 SIZE\r\n");
  EXPECT_EQ(unlimited.on_line("MAIL FROM:<a@b> SIZE=99999999999", false).reply, "250 2.1.0 Sender OK\r\n");
}

// ---- The data stream, byte by byte ----------------------------------------

struct DataResult {
  std::string out;
  size_t used = 0;
  bool done = false;
  LmtpDataReader::Fault fault = LmtpDataReader::Fault::kNone;
};

// Feeds in, in pieces of `step` octets (0: at once).
DataResult read_data(const std::string& in, size_t step, uint64_t max_size = 0, size_t max_line = kLmtpMaxDataLine) {
  LmtpDataReader r(max_size, max_line);
  DataResult res;
  size_t pos = 0;
  while (pos < in.size() && !r.done()) {
    size_t n = step ? std::min(step, in.size() - pos) : in.size() - pos;
    size_t used = r.feed(in.data() + pos, n, &res.out);
    pos += used;
    if (used < n) break;
  }
  res.used = pos;
  res.done = r.done();
  res.fault = r.fault();
  return res;
}

TEST(LmtpData, UnstuffingLineEndsAndEnd) {
  struct Case {
    std::string in, out;
    size_t used;  // octets taken: up to the end of the terminating line
  } cases[] = {
      {"A: b\r\n\r\nbody\r\n.\r\nQUIT\r\n", "A: b\r\n\r\nbody\r\n", 17},
      {".\r\n", "", 3},
      {"..x\r\n...\r\n.\r\n", ".x\r\n..\r\n", 13},
      {"a\nb\r\n.\r\n", "a\r\nb\r\n", 8},          // bare LF: a line end, stored CR LF
      {"a\rb\r\n.\r\n", "a\rb\r\n", 8},            // a lone CR stays
      {"a\r\r\n.\r\n", "a\r\r\n", 7},
      {"x.\r\n.\r\n", "x.\r\n", 7},               // a dot inside a line is data
      {".\rx\r\n.\r\n", "\rx\r\n", 8},            // "." CR x: not the end
      {"a\r\n.x\r\n.\r\nMAIL", "a\r\nx\r\n", 10},
  };
  for (const Case& c : cases) {
    for (size_t step : {size_t{0}, size_t{1}, size_t{2}, size_t{3}}) {
      DataResult r = read_data(c.in, step);
      EXPECT_TRUE(r.done) << c.in << " step " << step;
      EXPECT_EQ(r.out, c.out) << c.in << " step " << step;
      EXPECT_EQ(r.used, c.used) << c.in << " step " << step;
      EXPECT_EQ(r.fault, LmtpDataReader::Fault::kNone) << c.in;
    }
  }
  // No end yet: everything is taken, nothing is done.
  DataResult r = read_data("a\r\n.", 1);
  EXPECT_FALSE(r.done);
  EXPECT_EQ(r.used, 4u);
  r = read_data("a\r\n.\r", 0);
  EXPECT_FALSE(r.done);
}

TEST(LmtpData, Faults) {
  using F = LmtpDataReader::Fault;
  for (size_t step : {size_t{0}, size_t{1}, size_t{7}}) {
    // A "." line ended by a bare LF is not the end, and refuses the message.
    DataResult r = read_data("a\r\n.\nMAIL FROM:<x@y>\r\n.\r\n", step);
    EXPECT_TRUE(r.done);
    EXPECT_EQ(r.fault, F::kBareLfEnd);
    EXPECT_EQ(r.used, 25u);

    r = read_data(std::string("a\0b\r\n.\r\n", 8), step);
    EXPECT_TRUE(r.done);
    EXPECT_EQ(r.fault, F::kNul);

    // Over the size limit: output stops at the fault, reading goes on.
    r = read_data("0123456789\r\n0123456789\r\n.\r\n", step, 20);
    EXPECT_TRUE(r.done);
    EXPECT_EQ(r.fault, F::kTooLarge);
    EXPECT_LE(r.out.size(), 20u);
    r = read_data("0123456789\r\n012345\r\n.\r\n", step, 20);
    EXPECT_EQ(r.fault, F::kNone);
    EXPECT_EQ(r.out.size(), 20u);

    r = read_data("12345\r\n123456\r\n.\r\n", step, 0, 5);
    EXPECT_TRUE(r.done);
    EXPECT_EQ(r.fault, F::kLineTooLong);
    EXPECT_EQ(r.out.substr(0, 7), "12345\r\n");
    EXPECT_LE(r.out.size(), 12u);  // nothing past the limit
  }
  LmtpDataReader big(0);
  std::string out;
  std::string chunk(64 * 1024, 'x');
  for (int i = 0; i < 16; ++i) big.feed(chunk.data(), chunk.size(), &out);  // 1 MB, no line end
  EXPECT_EQ(big.fault(), F::kLineTooLong);
  EXPECT_LE(out.size(), kLmtpMaxDataLine);  // nothing kept past the fault
  EXPECT_EQ(big.size(), 16u * chunk.size());
  EXPECT_EQ(big.feed("\r\n.\r\n", 5, &out), 5u);
  EXPECT_TRUE(big.done());
  EXPECT_EQ(big.fault_reply().substr(0, 10), "554 5.6.0 ");
}

}  // namespace
