// The POP3 command table and the command-line parser.
//
// parse_command_line splits one command line (line end already removed)
// into the command, lower-cased, and its argument: the command runs up to
// the first white-space character and the argument starts after that one
// character; for every command but PASS, leading and trailing white space is
// removed from the argument.  An empty argument counts as none.
//
// The table lists every command with the states it is valid in and its
// argument rule; lookup_command finds a command for the session's state and
// what the session offers (APOP only after a challenge, STLS only with TLS,
// GURL only outside strict mode), check_argument applies the argument rule.
// Pure functions over static data; usable from any thread.
#pragma once

#include <string>
#include <string_view>

enum class PopState { kAuthorization, kTransaction };

enum class PopCommand {
  kQuit, kCapa, kUser, kPass, kAuth, kApop, kXrefresh, kStls,
  kStat, kGurl, kList, kRetr, kDele, kNoop, kLast, kRset, kTop, kUidl, kXauthlist, kXsender
};

enum class ArgRule {
  kNone,      // no argument allowed
  kRequired,  // an argument must be given
  kOptional,  // either
  kIgnored,   // whatever is given is ignored
};

struct CommandSpec {
  const char* name;  // lower case
  PopCommand id;
  bool in_authorization;
  bool in_transaction;
  ArgRule arg;
  bool raw_argument;  // blanks around the argument are kept (PASS)
};

struct ParsedCommand {
  std::string name;  // lower-cased
  std::string arg;
  bool has_arg = false;
};

ParsedCommand parse_command_line(std::string_view line);

// What the session offers besides the fixed table.
struct CommandOffer {
  PopState state = PopState::kAuthorization;
  bool apop = false;    // a challenge was sent in the greeting
  bool stls = false;    // TLS is available in this process
  bool strict = false;  // option -x: GURL is not a command
};

// The command's entry, or null: unknown, not valid in this state, or not
// offered (all "-ERR Unrecognized command").
const CommandSpec* lookup_command(std::string_view name, const CommandOffer& offer);

// Null when the argument fits the command's rule, else the error response
// without its line end ("-ERR Unexpected extra argument", "-ERR Missing
// argument").
const char* check_argument(const CommandSpec& spec, const ParsedCommand& cmd);

inline constexpr const char* kErrUnrecognized = "-ERR Unrecognized command";
