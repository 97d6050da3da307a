#include "lmtp/protocol.h"

#include <cstring>

#include "common/imap_err.h"
#include "store/deliver.h"

namespace {

std::string upper(std::string_view s) {
  std::string u(s);
  for (char& c : u)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return u;
}

bool iequals(std::string_view a, std::string_view b) { return a.size() == b.size() && upper(a) == upper(b); }

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

// SIZE= value: digits only, at most 19 of them.
bool parse_size(std::string_view v, uint64_t* out) {
  if (v.empty() || v.size() > 19) return false;
  uint64_t n = 0;
  for (char c : v) {
    if (c < '0' || c > '9') return false;
    n = n * 10 + static_cast<uint64_t>(c - '0');
  }
  *out = n;
  return true;
}

}  // namespace

LmtpCommand lmtp_parse_command(std::string_view line) {
  LmtpCommand c;
  size_t sp = line.find(' ');
  c.verb = upper(line.substr(0, sp));
  if (sp != std::string_view::npos) c.arg = trim(line.substr(sp + 1));
  return c;
}

bool lmtp_parse_path(std::string_view arg, std::string_view prefix, LmtpPath* out) {
  *out = LmtpPath();
  if (arg.size() < prefix.size() || !iequals(arg.substr(0, prefix.size()), prefix)) return false;
  arg = trim(arg.substr(prefix.size()));
  if (arg.empty() || arg.front() != '<') return false;
  // The closing bracket, skipping quoted strings (a quoted local part may
  // hold '>').
  size_t i = 1;
  bool quoted = false;
  for (; i < arg.size(); ++i) {
    char c = arg[i];
    // No control octets: the sender goes into the stored message's
    // Return-Path line.
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) return false;
    if (quoted && c == '\\' && i + 1 < arg.size()) {
      ++i;
    } else if (c == '"') {
      quoted = !quoted;
    } else if (!quoted && c == '>') {
      break;
    } else if (!quoted && (c == '<' || c == ' ')) {
      return false;
    }
  }
  if (i >= arg.size()) return false;
  std::string_view path = arg.substr(1, i - 1);
  // A source route ("@a,@b:user@c") is accepted and ignored (RFC 5321 4.1.2).
  if (!path.empty() && path.front() == '@') {
    size_t colon = path.find(':');
    if (colon == std::string_view::npos) return false;
    path.remove_prefix(colon + 1);
  }
  out->address = std::string(path);
  std::string_view rest = arg.substr(i + 1);
  if (!rest.empty() && rest.front() != ' ') return false;
  while (!(rest = trim(rest)).empty()) {
    size_t sp = rest.find(' ');
    std::string_view word = rest.substr(0, sp);
    rest = sp == std::string_view::npos ? std::string_view() : rest.substr(sp);
    size_t eq = word.find('=');
    std::string key = upper(word.substr(0, eq));
    if (key.empty()) return false;
    out->params.emplace_back(key, eq == std::string_view::npos ? std::string() : std::string(word.substr(eq + 1)));
  }
  return true;
}

std::string lmtp_recipient_user(std::string_view address) {
  std::string local;
  size_t i = 0;
  if (!address.empty() && address.front() == '"') {
    for (i = 1; i < address.size() && address[i] != '"'; ++i) {
      if (address[i] == '\\' && i + 1 < address.size()) ++i;
      local += address[i];
    }
    if (i >= address.size()) return std::string();  // unterminated
    ++i;
    if (i < address.size() && address[i] != '@') return std::string();
  } else {
    size_t at = address.rfind('@');
    local = std::string(address.substr(0, at));
  }
  return local;
}

std::string lmtp_result_reply(int code, const char* ok_text) {
  if (code == 0) return std::string(ok_text) + "\r\n";
  switch (deliver_exit_status(code)) {
    case DELIVER_NOUSER:
      return "550 5.1.1 No such user here\r\n";
    case DELIVER_CANTCREAT:
      if (code == IMAP_MAILBOX_FULL) return "552 5.2.2 Mailbox full\r\n";
      return "552 5.2.2 Mailbox over quota\r\n";
    case DELIVER_DATAERR:
      if (code == IMAP_MESSAGE_TOO_LARGE) return "552 5.3.4 Message too large for this mailbox\r\n";
      if (code == IMAP_MESSAGE_CONTAINSNULL) return "554 5.6.0 Message contains NUL octets\r\n";
      return "554 5.6.0 Message refused by the store\r\n";
    default:
      if (code == IMAP_QUOTA_EXCEEDED) return "452 4.2.2 Mailbox over quota, try again later\r\n";
      return "451 4.3.0 Temporary failure, try again later\r\n";
  }
}

LmtpMachine::LmtpMachine(std::string hostname, uint64_t max_size, size_t max_recipients)
    : hostname_(std::move(hostname)), max_size_(max_size), max_recipients_(max_recipients ? max_recipients : 1) {}

std::string LmtpMachine::greeting() const { return "220 " + hostname_ + " LMTP server ready\r\n"; }

void LmtpMachine::reset() {
  if (state_ == State::kMail) state_ = State::kReady;
  sender_.clear();
  size_hint_ = 0;
  rcpts_.clear();
}

void LmtpMachine::data_done() { reset(); }

LmtpMachine::Step LmtpMachine::on_too_long() const { return Step{Action::kReply, "500 5.5.2 Line too long\r\n", {}}; }

LmtpMachine::Step LmtpMachine::on_line(std::string_view line, bool has_nul) {
  auto reply = [](std::string text) { return Step{Action::kReply, std::move(text), {}}; };
  if (has_nul) return reply("500 5.5.2 NUL octet in command\r\n");
  LmtpCommand c = lmtp_parse_command(line);
  if (c.verb == "LHLO") {
    if (c.arg.empty()) return reply("501 5.5.4 Syntax: LHLO hostname\r\n");
    reset();
    state_ = State::kReady;
    std::string r = "250-" + hostname_ + "\r\n250-PIPELINING\r\n250-ENHANCEDSTATUSCODES\r\n250-8BITMIME\r\n";
    r += max_size_ ? "250 SIZE " + std::to_string(max_size_) + "\r\n" : "250 SIZE\r\n";
    return reply(r);
  }
  if (c.verb == "HELO" || c.verb == "EHLO") return reply("500 5.5.1 This is an LMTP server: use LHLO\r\n");
  if (c.verb == "QUIT") return Step{Action::kQuit, "221 2.0.0 " + hostname_ + " closing connection\r\n", {}};
  if (c.verb == "NOOP") return reply("250 2.0.0 OK\r\n");
  if (c.verb == "RSET") {
    if (!c.arg.empty()) return reply("501 5.5.4 Syntax: RSET\r\n");
    reset();
    return reply("250 2.0.0 OK\r\n");
  }
  if (c.verb == "VRFY") {
    if (c.arg.empty()) return reply("501 5.5.4 Syntax: VRFY address\r\n");
    return reply("252 2.5.2 Cannot verify the user; send the message and find out\r\n");
  }
  if (c.verb == "MAIL") return mail(c.arg);
  if (c.verb == "RCPT") return rcpt(c.arg);
  if (c.verb == "DATA") return data(c.arg);
  return reply("500 5.5.2 Command not recognized\r\n");
}

LmtpMachine::Step LmtpMachine::mail(std::string_view arg) {
  auto reply = [](std::string text) { return Step{Action::kReply, std::move(text), {}}; };
  if (state_ == State::kStart) return reply("503 5.5.1 Send LHLO first\r\n");
  if (state_ == State::kMail) return reply("503 5.5.1 Nested MAIL command\r\n");
  LmtpPath p;
  if (!lmtp_parse_path(arg, "FROM:", &p)) return reply("501 5.5.4 Syntax: MAIL FROM:<address>\r\n");
  uint64_t size = 0;
  for (auto& [key, value] : p.params) {
    if (key == "SIZE") {
      if (!parse_size(value, &size)) return reply("501 5.5.4 Bad SIZE parameter\r\n");
    } else if (key == "BODY") {
      std::string v = upper(value);
      if (v != "7BIT" && v != "8BITMIME") return reply("501 5.5.4 Bad BODY parameter\r\n");
    } else {
      return reply("555 5.5.4 Unsupported parameter " + key + "\r\n");
    }
  }
  if (max_size_ && size > max_size_) return reply("552 5.3.4 Message size exceeds fixed maximum message size\r\n");
  state_ = State::kMail;
  sender_ = p.address;
  size_hint_ = size;
  rcpts_.clear();
  return reply("250 2.1.0 Sender OK\r\n");
}

LmtpMachine::Step LmtpMachine::rcpt(std::string_view arg) {
  auto reply = [](std::string text) { return Step{Action::kReply, std::move(text), {}}; };
  if (state_ != State::kMail) return reply("503 5.5.1 Send MAIL first\r\n");
  LmtpPath p;
  if (!lmtp_parse_path(arg, "TO:", &p)) return reply("501 5.5.4 Syntax: RCPT TO:<address>\r\n");
  if (!p.params.empty()) return reply("555 5.5.4 Unsupported parameter " + p.params.front().first + "\r\n");
  std::string user = lmtp_recipient_user(p.address);
  if (user.empty()) return reply("501 5.1.3 Bad recipient address syntax\r\n");
  if (rcpts_.size() >= max_recipients_) return reply("452 4.5.3 Too many recipients\r\n");
  pending_user_ = user;
  return Step{Action::kCheckRecipient, std::string(), std::move(user)};
}

std::string LmtpMachine::recipient_checked(int code, const std::string& folder) {
  if (code == 0) rcpts_.push_back(Recipient{pending_user_, folder});
  pending_user_.clear();
  return lmtp_result_reply(code, "250 2.1.5 Recipient OK");
}

LmtpMachine::Step LmtpMachine::data(std::string_view arg) {
  auto reply = [](std::string text) { return Step{Action::kReply, std::move(text), {}}; };
  if (!arg.empty()) return reply("501 5.5.4 Syntax: DATA\r\n");
  if (state_ != State::kMail) return reply("503 5.5.1 Send MAIL first\r\n");
  if (rcpts_.empty()) return reply("503 5.5.1 No valid recipients\r\n");
  return Step{Action::kStartData, "354 Start mail input; end with <CRLF>.<CRLF>\r\n", {}};
}

// ---- The data stream --------------------------------------------------------

LmtpDataReader::LmtpDataReader(uint64_t max_size, size_t max_line) : max_size_(max_size), max_line_(max_line) {}

void LmtpDataReader::set_fault(Fault f) {
  if (fault_ == Fault::kNone) fault_ = f;
}

void LmtpDataReader::emit(const char* p, size_t n, std::string* out) {
  size_ += n;
  if (max_size_ && size_ > max_size_) set_fault(Fault::kTooLarge);
  if (fault_ == Fault::kNone) out->append(p, n);
}

size_t LmtpDataReader::feed(const char* p, size_t n, std::string* out) {
  size_t i = 0;
  while (i < n && state_ != State::kDone) {
    char c = p[i];
    switch (state_) {
      case State::kLineStart:
        line_ = 0;
        if (c == '.') {
          state_ = State::kDot;
          ++i;
          continue;
        }
        state_ = State::kMid;
        continue;  // the octet is read as the line's first
      case State::kDot:
        if (c == '\r') {
          state_ = State::kDotCr;
          ++i;
          continue;
        }
        if (c == '\n') {
          // ".\n": where a bare-LF reader would end the message.
          set_fault(Fault::kBareLfEnd);
          emit("\r\n", 2, out);
          state_ = State::kLineStart;
          ++i;
          continue;
        }
        state_ = State::kMid;  // a stuffed dot: dropped
        continue;
      case State::kDotCr:
        if (c == '\n') {
          state_ = State::kDone;
          ++i;
          continue;
        }
        line_ = 1;
        state_ = State::kCr;  // "." CR x: the line goes on after its dot, with the CR
        continue;
      case State::kMid: {
        // Copy the run of ordinary octets at once.
        size_t j = i;
        while (j < n && p[j] != '\r' && p[j] != '\n') ++j;
        if (j > i) {
          if (memchr(p + i, '\0', j - i)) set_fault(Fault::kNul);
          line_ += j - i;
          if (line_ > max_line_) set_fault(Fault::kLineTooLong);
          emit(p + i, j - i, out);
          i = j;
          continue;
        }
        if (c == '\r') {
          state_ = State::kCr;
        } else {  // bare LF: a line end, stored as CR LF
          emit("\r\n", 2, out);
          state_ = State::kLineStart;
        }
        ++i;
        continue;
      }
      case State::kCr:
        if (c == '\n') {
          emit("\r\n", 2, out);
          state_ = State::kLineStart;
          ++i;
          continue;
        }
        // A CR not before LF stays as it is.
        ++line_;
        emit("\r", 1, out);
        if (c == '\r') {
          ++i;
          continue;
        }
        state_ = State::kMid;
        continue;
      case State::kDone:
        break;
    }
  }
  return i;
}

std::string LmtpDataReader::fault_reply() const {
  switch (fault_) {
    case Fault::kNone:
      return std::string();
    case Fault::kTooLarge:
      return "552 5.3.4 Message size exceeds fixed maximum message size\r\n";
    case Fault::kLineTooLong:
      return "554 5.6.0 Message refused: a line is longer than " + std::to_string(max_line_) + " octets\r\n";
    case Fault::kNul:
      return "554 5.6.0 Message contains NUL octets\r\n";
    case Fault::kBareLfEnd:
      return "554 5.6.0 Message refused: a \".\" line ended by a bare LF\r\n";
  }
  return std::string();
}
