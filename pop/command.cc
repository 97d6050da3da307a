#include "pop/command.h"

namespace {

constexpr CommandSpec kCommands[] = {
    // name, id, authorization, transaction, argument, raw
    {"quit", PopCommand::kQuit, true, true, ArgRule::kNone, false},
    {"capa", PopCommand::kCapa, true, true, ArgRule::kNone, false},
    {"user", PopCommand::kUser, true, false, ArgRule::kRequired, false},
    {"pass", PopCommand::kPass, true, false, ArgRule::kRequired, true},
    {"auth", PopCommand::kAuth, true, false, ArgRule::kOptional, false},
    {"apop", PopCommand::kApop, true, false, ArgRule::kRequired, false},
    {"xrefresh", PopCommand::kXrefresh, true, false, ArgRule::kNone, false},
    {"stls", PopCommand::kStls, true, false, ArgRule::kNone, false},
    {"stat", PopCommand::kStat, false, true, ArgRule::kNone, false},
    {"gurl", PopCommand::kGurl, false, true, ArgRule::kIgnored, false},
    {"list", PopCommand::kList, false, true, ArgRule::kOptional, false},
    {"retr", PopCommand::kRetr, false, true, ArgRule::kRequired, false},
    {"dele", PopCommand::kDele, false, true, ArgRule::kRequired, false},
    {"noop", PopCommand::kNoop, false, true, ArgRule::kNone, false},
    {"last", PopCommand::kLast, false, true, ArgRule::kNone, false},
    {"rset", PopCommand::kRset, false, true, ArgRule::kNone, false},
    {"top", PopCommand::kTop, false, true, ArgRule::kRequired, false},
    {"uidl", PopCommand::kUidl, false, true, ArgRule::kOptional, false},
    {"xauthlist", PopCommand::kXauthlist, false, true, ArgRule::kOptional, false},
    {"xsender", PopCommand::kXsender, false, true, ArgRule::kRequired, false},
};

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }
char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

}  // namespace

ParsedCommand parse_command_line(std::string_view line) {
  while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.remove_suffix(1);
  ParsedCommand out;
  size_t sp = 0;
  while (sp < line.size() && !is_space(line[sp])) ++sp;
  out.name.reserve(sp);
  for (size_t i = 0; i < sp; ++i) out.name.push_back(lower(line[i]));
  if (sp >= line.size()) return out;
  std::string_view arg = line.substr(sp + 1);
  if (out.name != "pass") {
    while (!arg.empty() && is_space(arg.front())) arg.remove_prefix(1);
    while (!arg.empty() && is_space(arg.back())) arg.remove_suffix(1);
  }
  out.arg.assign(arg);
  out.has_arg = !out.arg.empty();
  return out;
}

const CommandSpec* lookup_command(std::string_view name, const CommandOffer& offer) {
  for (const CommandSpec& c : kCommands) {
    if (name != c.name) continue;
    bool state_ok = offer.state == PopState::kAuthorization ? c.in_authorization : c.in_transaction;
    if (!state_ok) return nullptr;
    if (c.id == PopCommand::kApop && !offer.apop) return nullptr;
    if (c.id == PopCommand::kStls && !offer.stls) return nullptr;
    if (c.id == PopCommand::kGurl && offer.strict) return nullptr;
    return &c;
  }
  return nullptr;
}

const char* check_argument(const CommandSpec& spec, const ParsedCommand& cmd) {
  if (spec.arg == ArgRule::kNone && cmd.has_arg) return "-ERR Unexpected extra argument";
  if (spec.arg == ArgRule::kRequired && !cmd.has_arg) return "-ERR Missing argument";
  return nullptr;
}
