// The command-line parser and the command table, case by case.
#include "pop/command.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct ParseCase {
  const char* line;
  const char* name;
  const char* arg;
  bool has_arg;
};

TEST(CommandParse, SplitsLowerCasesAndTrims) {
  const ParseCase cases[] = {
      {"QUIT", "quit", "", false},
      {"qUiT", "quit", "", false},
      {"CAPA\r\n", "capa", "", false},
      {"USER joe", "user", "joe", true},
      {"USER   joe  ", "user", "joe", true},
      {"USER\tjoe\t", "user", "joe", true},
      {"USER Joe Smith", "user", "Joe Smith", true},  // inner blanks stay
      {"USER ", "user", "", false},                   // empty argument is none
      {"USER    ", "user", "", false},
      {"LIST\t", "list", "", false},
      {"PASS  secret ", "pass", " secret ", true},     // blanks kept after the one separator
      {"pass \t", "pass", "\t", true},
      {"PASS ", "pass", "", false},
      {"PASS", "pass", "", false},
      {"", "", "", false},
      {" CAPA", "", "CAPA", true},  // leading blank: empty command name
      {"TOP 1 10", "top", "1 10", true},
      {"ÄBC x", "Äbc", "x", true},  // only ASCII letters fold
  };
  for (const ParseCase& c : cases) {
    SCOPED_TRACE(c.line);
    ParsedCommand p = parse_command_line(c.line);
    EXPECT_EQ(p.name, c.name);
    EXPECT_EQ(p.arg, c.arg);
    EXPECT_EQ(p.has_arg, c.has_arg);
  }
}

TEST(CommandTable, StatesAndOffers) {
  CommandOffer auth;  // authorization, no APOP, no TLS
  CommandOffer trans;
  trans.state = PopState::kTransaction;

  for (const char* both : {"quit", "capa"}) {
    EXPECT_NE(lookup_command(both, auth), nullptr) << both;
    EXPECT_NE(lookup_command(both, trans), nullptr) << both;
  }
  for (const char* a : {"user", "pass", "auth", "xrefresh"}) {
    EXPECT_NE(lookup_command(a, auth), nullptr) << a;
    EXPECT_EQ(lookup_command(a, trans), nullptr) << a;
  }
  for (const char* t : {"stat", "list", "retr", "dele", "noop", "last", "rset", "top", "uidl", "xauthlist",
                        "xsender", "gurl"}) {
    EXPECT_EQ(lookup_command(t, auth), nullptr) << t;
    EXPECT_NE(lookup_command(t, trans), nullptr) << t;
  }
  // Offered only with a challenge, with TLS, outside strict mode.
  EXPECT_EQ(lookup_command("apop", auth), nullptr);
  EXPECT_EQ(lookup_command("stls", auth), nullptr);
  CommandOffer more = auth;
  more.apop = more.stls = true;
  EXPECT_NE(lookup_command("apop", more), nullptr);
  EXPECT_NE(lookup_command("stls", more), nullptr);
  CommandOffer tls_trans = trans;
  tls_trans.stls = true;
  EXPECT_EQ(lookup_command("stls", tls_trans), nullptr);  // never after login
  CommandOffer strict = trans;
  strict.strict = true;
  EXPECT_EQ(lookup_command("gurl", strict), nullptr);

  for (const char* unknown : {"", "quitx", "qui", "helo", "QUIT" /* names are matched lower-cased */})
    EXPECT_EQ(lookup_command(unknown, auth), nullptr) << unknown;
}

TEST(CommandTable, ArgumentRules) {
  struct Case {
    const char* line;
    PopState state;
    const char* error;  // null: accepted
  };
  const Case cases[] = {
      {"QUIT", PopState::kAuthorization, nullptr},
      {"QUIT now", PopState::kAuthorization, "-ERR Unexpected extra argument"},
      {"QUIT   ", PopState::kAuthorization, nullptr},
      {"CAPA x", PopState::kTransaction, "-ERR Unexpected extra argument"},
      {"STLS x", PopState::kAuthorization, "-ERR Unexpected extra argument"},
      {"XREFRESH 1", PopState::kAuthorization, "-ERR Unexpected extra argument"},
      {"USER", PopState::kAuthorization, "-ERR Missing argument"},
      {"USER  ", PopState::kAuthorization, "-ERR Missing argument"},
      {"USER joe", PopState::kAuthorization, nullptr},
      {"PASS", PopState::kAuthorization, "-ERR Missing argument"},
      {"PASS  ", PopState::kAuthorization, nullptr},  // a blank password is still one
      {"AUTH", PopState::kAuthorization, nullptr},
      {"AUTH PLAIN", PopState::kAuthorization, nullptr},
      {"LIST", PopState::kTransaction, nullptr},
      {"LIST 1", PopState::kTransaction, nullptr},
      {"RETR", PopState::kTransaction, "-ERR Missing argument"},
      {"TOP", PopState::kTransaction, "-ERR Missing argument"},
      {"NOOP x", PopState::kTransaction, "-ERR Unexpected extra argument"},
      {"GURL whatever", PopState::kTransaction, nullptr},
      {"GURL", PopState::kTransaction, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    ParsedCommand p = parse_command_line(c.line);
    CommandOffer offer;
    offer.state = c.state;
    offer.stls = true;
    const CommandSpec* spec = lookup_command(p.name, offer);
    ASSERT_NE(spec, nullptr);
    const char* err = check_argument(*spec, p);
    if (c.error == nullptr)
      EXPECT_EQ(err, nullptr);
    else
      EXPECT_STREQ(err, c.error);
  }
}

}  // namespace
