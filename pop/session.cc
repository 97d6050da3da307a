#include "pop/session.h"

#include <netdb.h>
#include <sys/epoll.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <cstring>
#include <optional>

#include "common/assert.h"
#include "common/base64.h"
#include "common/bvlog.h"
#include "common/imap_err.h"
#include "common/saslglue.h"
#include "common/map.h"
#include "pop/dotstuff.h"
#include "pop/greeting.h"
#include "pop/gurl.h"
#include "pop/login.h"
#include "pop/maildrop.h"
#include "pop/server.h"
#include "pop/userlist.h"
#include "store/autocreate.h"
#include "store/mailbox.h"
#include "store/mboxlist_lright.h"
#include "store/mboxname.h"
#include "store/storenotify.h"
#include "store/userattr.h"
#include "store/userscan.h"

namespace {

constexpr int kLogTimeout = 46;  // category 40, information
constexpr size_t kReadChunk = 16 * 1024;
// Octets read in one turn before other sessions get theirs.
constexpr size_t kReadTurn = 64 * 1024;
constexpr int kLogBadLogin = 37;    // category 32, notice
constexpr int64_t kFailureDelayMs = 3000;
// An SASL exchange's responses may be longer than commands.
constexpr size_t kMaxCommandLine = 512;
constexpr size_t kMaxSaslLine = 8192;
constexpr int kLogMessageFile = 59;  // category 56, error
// A transfer reads this much of the message file per step (stuffed, it
// stays within the output buffer's kept capacity); at most kTransferTurn
// octets in one turn before other sessions get theirs.
constexpr size_t kTransferChunk = 48 * 1024;
constexpr size_t kSendfileStep = 256 * 1024;
constexpr size_t kTransferTurn = 1024 * 1024;
// The stored sender is cut to fit a response line.
constexpr size_t kMaxSenderText = 400;
constexpr const char* kErrNoSuchMessage = "-ERR No such message";
constexpr int kLogStat = 37;  // category 32, notice

// "POP3 Login ..." and "POP3 Logout ..." of local.poplogmboxstat: the
// messages and octets the client is told about.
void log_mailbox_stat(const char* what, const std::string& userid, const std::string& clienthost,
                      const Maildrop& drop, time_t login_time, int fd) {
  bvlog(0, kLogStat, "POP3 %s user=%s host=%s - %u messages, %llu bytes, %lld, %d", what, userid.c_str(),
        clienthost.c_str(), drop.live_count(), static_cast<unsigned long long>(drop.reported_live_octets()),
        static_cast<long long>(login_time), fd);
}

// The lines before a message's body: the status response and, with the
// status option, the message's "Status:" header line (judged before the
// command moves highest).  Sent only when the transfer starts.  They leave
// the output before the first octet of the body is made (a transfer moves
// on only once the output is empty), so they precede the body on every
// path, sendfile included, and the response goes out on its own, as the
// qpopper emulation asks, without a flush of its own.
std::string transfer_head(const Maildrop& drop, uint32_t n, std::string response) {
  std::string status = drop.status_line(n);
  if (!status.empty()) response += "\r\n" + status.substr(0, status.size() - 2);
  return response;
}

}  // namespace

// A RETR or TOP in progress, released when the transfer ends or the
// session does: either the mapped message file and its stuffer, or (a
// whole message the store found free of line-start dots, on a plain
// connection) the open file sent as it is by sendfile.
struct Transfer {
  MapPtr map;
  std::optional<DotStuffer> stuffer;
  UniqueFd file;
  off_t offset = 0;
  off_t end = 0;
};

std::string client_host_text(const ClientAddr& addr, std::string_view name) {
  std::string out(name.substr(0, 200));
  if (addr.family == AF_INET) {
    out += "[" + addr.host_port() + "]";
  } else if (addr.family == AF_INET6) {
    out += addr.host_port();
  } else {
    out += "[local]";
  }
  return out;
}

Session::Session(PopServer& server, uint64_t id, UniqueFd fd, const ClientAddr& addr, bool tls_port)
    : server_(server), id_(id), fd_(std::move(fd)), os_fd_(fd_.get()), addr_(addr), tls_port_(tls_port) {
  clienthost_ = client_host_text(addr_, "");
}

Session::~Session() {
  if (idle_timer_) server_.loop().cancel(idle_timer_);
}

void Session::start() {
  last_io_ms_ = Reactor::now_ms();
  // Edge-triggered: the session reads and writes until the kernel says
  // "again", so it never needs to change what it waits for.
  if (!server_.loop().add(os_fd_, EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLET, this)) {
    bvlog(0, LOG_SEV_ERR, "%s cannot watch the connection: %m", clienthost_.c_str());
    end(EndReason::kNetworkError);
    return;
  }
  arm_idle_timer(static_cast<int64_t>(server_.settings()->idle_timeout_s) * 1000);
  if (!server_.settings()->dns_resolve_client || (addr_.family != AF_INET && addr_.family != AF_INET6)) {
    admit("");
    return;
  }
  // Reverse lookups can take seconds: they run on the pool.
  auto name = std::make_shared<std::string>();
  sockaddr_storage ss{};
  socklen_t len = 0;
  if (addr_.family == AF_INET) {
    auto* in = reinterpret_cast<sockaddr_in*>(&ss);
    in->sin_family = AF_INET;
    memcpy(&in->sin_addr, addr_.bytes, 4);
    len = sizeof(sockaddr_in);
  } else {
    auto* in6 = reinterpret_cast<sockaddr_in6*>(&ss);
    in6->sin6_family = AF_INET6;
    memcpy(&in6->sin6_addr, addr_.bytes, 16);
    len = sizeof(sockaddr_in6);
  }
  PopServer* server = &server_;
  uint64_t id = id_;
  server_.pool().submit(
      [name, ss, len] {
        char host[NI_MAXHOST];
        if (getnameinfo(reinterpret_cast<const sockaddr*>(&ss), len, host, sizeof host, nullptr, 0, NI_NAMEREQD) == 0)
          *name = host;
      },
      [server, id, name] { server->with_session(id, [&](Session& s) { s.admit(*name); }); });
}

void Session::admit(std::string hostname) {
  if (state_ != State::kResolving) return;
  clienthost_ = client_host_text(addr_, hostname);
  auto settings = server_.settings();

  bool denied = (settings->allow && !settings->allow->matches(addr_, hostname)) ||
                (settings->deny && settings->deny->matches(addr_, hostname));
  counted_ = true;
  bool over = server_.count_admitted();

  const char* refusal = nullptr;
  if (denied) {
    refusal = "-ERR Access denied";
  } else if (over) {
    refusal = "-ERR Too many connections";
  } else if (server_.shutting_down()) {
    refusal = "-ERR Server shutting down";
  } else if (settings->connlimits) {
    ip_counted_ = server_.ip_acquire(addr_, settings->connlimits->limit_for(addr_, hostname));
    if (!ip_counted_) refusal = "-ERR Connection limit reached for your IP address";
  }

  std::string first;
  if (refusal != nullptr) {
    if (!server_.shutting_down())
      bvlog(0, LOG_SEV_NOTICE, "%s connection rejected: %s", clienthost_.c_str(), refusal + 5);
    first = std::string(refusal) + "\r\n";
  } else {
    if (settings->apop_offered && server_.sasl() && saslglue_apop_available(server_.sasl()))
      challenge_ = make_challenge(getpid(), server_.next_challenge_counter(), settings->hostname);
    first = build_greeting(settings->banner, challenge_);
  }
  State next = refusal ? State::kClosing : State::kCommands;
  if (refusal) end_reason_ = EndReason::kRefused;

  if (tls_port_) {
    after_handshake_ = std::move(first);
    begin_tls();
    return;
  }
  out_ += first;
  state_ = next;
  drive();
}

void Session::on_io(uint32_t events) {
  if (state_ == State::kEnded || state_ == State::kResolving) return;
  (void)events;
  if (state_ == State::kHandshake) {
    continue_handshake();
    return;
  }
  drive();
}

bool Session::output_pending() const {
  return out_off_ < out_.size() || (tls_ && tls_->write_pending());
}

Session::Io Session::flush() {
  while (out_off_ < out_.size()) {
    size_t put = 0;
    if (tls_) {
      TlsIo r = tls_->write(out_.data() + out_off_, out_.size() - out_off_, &put);
      if (r == TlsIo::kWantWrite || r == TlsIo::kWantRead) return Io::kAgain;
      if (r != TlsIo::kOk) return Io::kError;
    } else {
      ssize_t n = send(os_fd_, out_.data() + out_off_, out_.size() - out_off_, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK) return Io::kAgain;
        if (errno == EINTR) continue;
        return Io::kError;
      }
      put = static_cast<size_t>(n);
    }
    telemetry_.record(std::string_view(out_.data() + out_off_, put));
    out_off_ += put;
    bytes_out_ += put;
  }
  out_.clear();
  out_off_ = 0;
  if (out_.capacity() > 64 * 1024) std::string().swap(out_);
  if (tls_ && tls_->write_pending()) {
    TlsIo r = tls_->flush();
    if (r == TlsIo::kError || r == TlsIo::kClosed) return Io::kError;
    if (tls_->write_pending()) return Io::kAgain;
  }
  return Io::kOk;
}

Session::Io Session::read_some(char* buf, size_t cap, size_t* got) {
  if (tls_) {
    TlsIo r = tls_->read(buf, cap, got);
    if (r == TlsIo::kOk) return *got > 0 ? Io::kOk : Io::kAgain;
    if (r == TlsIo::kWantRead || r == TlsIo::kWantWrite) return Io::kAgain;
    return r == TlsIo::kClosed ? Io::kClosed : Io::kError;
  }
  for (;;) {
    ssize_t n = recv(os_fd_, buf, cap, MSG_DONTWAIT);
    if (n > 0) {
      *got = static_cast<size_t>(n);
      return Io::kOk;
    }
    if (n == 0) return Io::kClosed;
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return Io::kAgain;
    return Io::kError;
  }
}

void Session::drive() {
  if (state_ == State::kEnded || state_ == State::kResolving || state_ == State::kHandshake) return;
  size_t read_this_turn = 0;
  for (;;) {
    Io w = flush();
    if (w == Io::kError) {
      end(EndReason::kNetworkError);
      return;
    }
    if (w == Io::kOk && !transfer_) {
      // All answered: only bytes sent from here on count as a transfer in
      // progress for the idle timer.
      last_sent_ = bytes_out_;
      if (state_ == State::kClosing) {
        end(end_reason_);
        return;
      }
      if (state_ == State::kStartTls) {
        begin_tls();
        return;
      }
    }
    if (state_ != State::kCommands) return;
    if (transfer_) {
      // The next part of the message only once the last one left: the
      // output stays bounded however large the message, and the writable
      // edge resumes a transfer the client is slow to take.
      if (w != Io::kOk) return;
      if (read_this_turn >= kTransferTurn) {
        PopServer* server = &server_;
        uint64_t id = id_;
        server_.loop().defer([server, id] { server->with_session(id, [](Session& s) { s.drive(); }); });
        return;
      }
      Io t = pump_transfer(&read_this_turn);
      if (t == Io::kAgain) return;  // resumed by the writable edge
      if (t == Io::kError) {
        end(EndReason::kNetworkError);
        return;
      }
      continue;
    }
    // Answer what is buffered first; stop while the client is not reading.
    size_t queued_before = out_.size() - out_off_;
    process_lines();
    if (state_ == State::kEnded) return;
    if (out_.size() - out_off_ != queued_before || state_ != State::kCommands) continue;  // send the answers
    if (out_.size() - out_off_ >= kOutputHighWater) return;  // resumed by the writable edge
    if (read_this_turn >= kReadTurn) {
      PopServer* server = &server_;
      uint64_t id = id_;
      server_.loop().defer([server, id] { server->with_session(id, [](Session& s) { s.drive(); }); });
      return;
    }
    char buf[kReadChunk];
    size_t got = 0;
    Io r = read_some(buf, sizeof buf, &got);
    if (r == Io::kAgain) return;
    if (r == Io::kClosed) {
      end(EndReason::kPeerClosed);
      return;
    }
    if (r == Io::kError) {
      end(EndReason::kNetworkError);
      return;
    }
    telemetry_.record(std::string_view(buf, got));
    bytes_in_ += got;
    read_this_turn += got;
    reader_.feed(buf, got);
  }
}

void Session::process_lines() {
  while (state_ == State::kCommands && !transfer_ && out_.size() - out_off_ < kOutputHighWater) {
    LineReader::Event ev = reader_.next();
    if (ev.kind == LineReader::Kind::kNone) return;
    last_io_ms_ = Reactor::now_ms();
    last_sent_ = bytes_out_;
    switch (ev.kind) {
      case LineReader::Kind::kTooLong:
        if (in_exchange_) {
          in_exchange_ = false;
          reader_.set_max_line(kMaxCommandLine);
          auth_failed(SASL_BADPROT, "SASL response too long", auth_mech_.c_str());
          break;
        }
        reply_bad("-ERR Line too long");
        break;
      case LineReader::Kind::kAbusive:
        bvlog(0, LOG_SEV_NOTICE, "%s sent an endless command line; connection closed", clienthost_.c_str());
        end_detail_ = "endless command line";
        end(EndReason::kNetworkError);
        return;
      case LineReader::Kind::kLine:
        handle_line(ev.line, ev.has_nul);
        break;
      case LineReader::Kind::kNone:
        return;
    }
  }
}

void Session::reply(std::string_view text) {
  out_.append(text);
  out_.append("\r\n");
}

void Session::reply_bad(const char* text) {
  unsigned limit = server_.settings()->max_bad_commands;
  if (limit != 0 && ++bad_commands_ >= limit) {
    bvlog(0, LOG_SEV_NOTICE, "%s sent too many bad commands; connection closed", clienthost_.c_str());
    reply("-ERR Too many bad commands");
    close_after_output(EndReason::kQuit);
    return;
  }
  reply(text);
}

void Session::handle_line(std::string_view line, bool has_nul) {
  if (in_exchange_) {
    auth_response(has_nul ? std::string_view("\0", 1) : line);
    return;
  }
  if (has_nul) {
    reply_bad(kErrUnrecognized);
    return;
  }
  if (server_.shutting_down()) {
    reply("-ERR Server shutting down");
    close_after_output(EndReason::kServer);
    return;
  }
  ParsedCommand cmd = parse_command_line(line);
  CommandOffer offer;
  offer.state = pop_state_;
  offer.apop = !challenge_.empty();
  offer.stls = server_.tls_available();
  offer.strict = server_.startup().strict;
  const CommandSpec* spec = lookup_command(cmd.name, offer);
  if (spec == nullptr) {
    reply_bad(kErrUnrecognized);
    return;
  }
  execute(*spec, cmd);
}

void Session::execute(const CommandSpec& spec, const ParsedCommand& cmd) {
  switch (spec.id) {
    case PopCommand::kQuit:
    case PopCommand::kCapa:
    case PopCommand::kXrefresh:
    case PopCommand::kStls:
    case PopCommand::kUser:
    case PopCommand::kPass:
    case PopCommand::kApop:
    case PopCommand::kAuth:
    case PopCommand::kStat:
    case PopCommand::kNoop:
      break;
    default:
      if (const char* err = check_argument(spec, cmd)) {
        reply_bad(err);
        return;
      }
      transaction(spec, cmd);
      return;
  }
  // Before the argument check: a refused USER must not tell more.
  if ((spec.id == PopCommand::kUser || spec.id == PopCommand::kPass) && !plaintext_ok()) {
    plaintext_refused();
    return;
  }
  if (const char* err = check_argument(spec, cmd)) {
    reply_bad(err);
    return;
  }
  switch (spec.id) {
    case PopCommand::kQuit:
      quit();
      return;
    case PopCommand::kUser:
      user(cmd);
      return;
    case PopCommand::kPass:
      pass(cmd);
      return;
    case PopCommand::kApop:
      apop(cmd);
      return;
    case PopCommand::kAuth:
      auth(cmd);
      return;
    case PopCommand::kStat:
      reply("+OK " + std::to_string(maildrop_->live_count()) + " " + std::to_string(maildrop_->reported_live_octets()));
      return;
    case PopCommand::kNoop:
      reply("+OK");
      return;
    case PopCommand::kCapa:
      capa();
      return;
    case PopCommand::kXrefresh:
      if (!addr_.is_loopback()) {
        reply("-ERR invalid client address");
        return;
      }
      server_.refresh();
      reply("+OK");
      return;
    case PopCommand::kStls:
      stls();
      return;
    default:
      ORV_ASSERT(!"command without a handler");
  }
}

void Session::capa() {
  reply("+OK list follows");
  if (pop_state_ == PopState::kAuthorization) {
    if (saslglue_conn* conn = sasl_conn()) {
      std::string mechs;
      if (saslglue_listmech(conn, "SASL ", " ", "", &mechs) == SASL_OK && mechs.size() > 5) reply(mechs);
      if (plaintext_ok()) reply("USER");
    }
  }
  reply("TOP");
  reply("PIPELINING");
  reply("UIDL");
  reply("RESP-CODES");
  reply("AUTH-RESP-CODE");
  if (pop_state_ == PopState::kAuthorization && server_.tls_available() && !tls_) reply("STLS");
  reply(".");
}

void Session::stls() {
  if (tls_) {
    reply("-ERR SSL handshake already complete");
    return;
  }
  if (!user_.empty()) {
    reply("-ERR NO Already logged in");
    return;
  }
  // Whatever the client sent after STLS arrived in clear: it must never be
  // taken as a command of the protected session.
  if (size_t dropped = reader_.discard())
    bvlog(0, LOG_SEV_NOTICE, "%s sent %zu octets after STLS before the TLS handshake; discarded", clienthost_.c_str(),
          dropped);
  bad_commands_ = 0;
  // The mechanisms offered change once TLS protects the session.
  sasl_.reset();
  reply("+OK");
  state_ = State::kStartTls;
}

// ---- Transaction state ----------------------------------------------------

std::optional<uint32_t> Session::message_argument(const ParsedCommand& cmd) {
  std::vector<std::string_view> args = split_arguments(cmd.arg);
  if (args.size() > 1) {
    reply_bad("-ERR Unexpected extra argument");
    return std::nullopt;
  }
  // Saturated: a number past the table is simply not there (it never wraps
  // round to an existing message).
  std::optional<uint64_t> n = args.empty() ? std::nullopt : parse_decimal(args[0]);
  if (!n || !maildrop_->find(*n)) {
    reply(kErrNoSuchMessage);
    return std::nullopt;
  }
  return static_cast<uint32_t>(*n);
}

void Session::transaction(const CommandSpec& spec, const ParsedCommand& cmd) {
  Maildrop& drop = *maildrop_;
  auto sender = [&](uint32_t n) {
    const unsigned char* item = mailbox_cache_item(drop.box.index_map, drop.box.name, n, CACHE_EXTRA);
    if (!item) return std::string();
    uint32_t len = (uint32_t{item[0]} << 24) | (uint32_t{item[1]} << 16) | (uint32_t{item[2]} << 8) | item[3];
    return response_safe(std::string_view(reinterpret_cast<const char*>(item + 4), len), kMaxSenderText);
  };
  switch (spec.id) {
    case PopCommand::kList:
    case PopCommand::kUidl:
    case PopCommand::kXauthlist: {
      auto line = [&](uint32_t n) {
        const MaildropMessage& m = drop.messages[n - 1];
        std::string text = std::to_string(n) + " ";
        if (spec.id == PopCommand::kUidl) return text + std::to_string(m.id_uid) + "-" + std::to_string(m.id_validity);
        text += std::to_string(drop.reported_size(m));
        if (spec.id == PopCommand::kXauthlist) text += " " + sender(n);
        return text;
      };
      if (cmd.has_arg) {
        if (std::optional<uint32_t> n = message_argument(cmd)) reply("+OK " + line(*n));
        return;
      }
      if (spec.id == PopCommand::kUidl) {
        reply("+OK unique-id listing follows");
      } else if (spec.id == PopCommand::kList && server_.startup().emulate_qpopper) {
        reply("+OK " + std::to_string(drop.live_count()) + " messages (" + std::to_string(drop.reported_live_octets()) +
              " octets)");
      } else {
        reply("+OK scan listing follows");
      }
      for (uint32_t n = 1; n <= drop.count(); ++n)
        if (!drop.messages[n - 1].deleted) reply(line(n));
      reply(".");
      return;
    }
    case PopCommand::kXsender:
      if (std::optional<uint32_t> n = message_argument(cmd)) reply("+OK " + sender(*n));
      return;
    case PopCommand::kRetr:
      if (std::optional<uint32_t> n = message_argument(cmd)) {
        std::string head =
            transfer_head(drop, *n, "+OK " + std::to_string(drop.reported_size(drop.messages[*n - 1])) + " octets");
        drop.highest = std::max(drop.highest, *n);
        start_transfer(*n, std::nullopt, std::move(head));
      }
      return;
    case PopCommand::kTop: {
      std::vector<std::string_view> args = split_arguments(cmd.arg);
      if (args.size() < 2) {
        reply_bad("-ERR Missing argument");
        return;
      }
      if (args.size() > 2) {
        reply_bad("-ERR Unexpected extra argument");
        return;
      }
      std::optional<uint64_t> n = parse_decimal(args[0]);
      if (!n || !drop.find(*n)) {
        reply(kErrNoSuchMessage);
        return;
      }
      // Saturated: a count past the body sends all of it.
      std::optional<uint64_t> lines = parse_decimal(args[1]);
      if (!lines) {
        reply("-ERR Invalid number of lines");
        return;
      }
      start_transfer(static_cast<uint32_t>(*n), lines, transfer_head(drop, static_cast<uint32_t>(*n), "+OK"));
      return;
    }
    case PopCommand::kDele:
      if (std::optional<uint32_t> n = message_argument(cmd)) {
        drop.mark_deleted(*n);
        reply("+OK message deleted");
      }
      return;
    case PopCommand::kRset:
      drop.reset();
      reply("+OK");
      return;
    case PopCommand::kLast:
      reply("+OK " + std::to_string(drop.highest));
      return;
    case PopCommand::kGurl: {
      const char* why = "";
      if (std::optional<std::string> line = gurl_response(server_.settings()->account_url, userid_, &why)) {
        reply(*line);
        return;
      }
      // Said once per session: a client repeating GURL does not fill the log.
      // (No URL configured is the usual case, not worth a line.)
      if (!gurl_logged_ && !server_.settings()->account_url.empty())
        bvlog(0, LOG_SEV_NOTICE, "GURL for %s failed: %s", userid_.c_str(), why);
      gurl_logged_ = true;
      reply("-ERR GURL failed");
      return;
    }
    default:
      ORV_ASSERT(!"transaction command without a handler");
  }
}

void Session::start_transfer(uint32_t n, std::optional<uint64_t> body_lines, std::string status) {
  const MaildropMessage& m = maildrop_->messages[n - 1];
  const mailbox& box = maildrop_->box;
  // The raw path needs the store's word that no line starts with a dot and
  // the message ends in CRLF; it sends exactly the recorded size.  What
  // sendfile sends never passes through the session, so a session that
  // keeps a telemetry copy takes the buffered path.
  const bool raw = !tls_ && !telemetry_.active() && !body_lines && m.no_dots;
  int fd = -1;
  map_handle* map = nullptr;
  // Opening and mapping are quick; the pages are read as the client takes
  // them, one step at a time.
  if (int r = mailbox_map_message(&box, m.uid, raw ? &fd : nullptr, raw ? nullptr : &map)) {
    bvlog(0, kLogMessageFile, "Unable to open message file %u in %s: %s", m.uid, box.name, error_message(r));
    reply("-ERR Could not read message file");
    return;
  }
  auto t = std::make_unique<Transfer>();
  t->map.reset(map);
  t->file = UniqueFd(fd);
  size_t length = 0;
  if (raw) {
    struct stat st;
    length = fstat(fd, &st) == 0 ? static_cast<size_t>(st.st_size) : 0;
  } else {
    length = t->map->length;
  }
  if (length != m.size) {
    bvlog(0, kLogMessageFile, "Message file %u in %s has wrong size", m.uid, box.name);
    // A shorter file would not be the message the client was told about.
    if (length < m.size) {
      reply("-ERR Could not read message file");
      return;
    }
    // A longer one is sent cut to the recorded size: the message the store
    // parsed (and flagged) is those first octets.
  }
  if (t->map) {
    t->stuffer.emplace(t->map->base, m.size, body_lines);
  } else {
    t->end = static_cast<off_t>(m.size);
  }
  transfer_ = std::move(t);
  reply(status);
}

Session::Io Session::pump_transfer(size_t* turn) {
  Transfer& t = *transfer_;
  if (t.stuffer) {
    t.stuffer->fill(&out_, kTransferChunk);
    *turn += kTransferChunk;
    if (!t.stuffer->done()) return Io::kOk;
  } else if (t.offset < t.end) {
    size_t want = static_cast<size_t>(t.end - t.offset);
    ssize_t n = sendfile(os_fd_, t.file.get(), &t.offset, want < kSendfileStep ? want : kSendfileStep);
    if (n < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK) return Io::kAgain;
      if (errno == EINTR) return Io::kOk;
      if (errno != EPIPE && errno != ECONNRESET)
        bvlog(0, kLogMessageFile, "Unable to send message file in %s: %m", maildrop_->box.name);
      return Io::kError;
    }
    if (n == 0) {
      // The file shrank under the transfer: the stream cannot be completed.
      bvlog(0, kLogMessageFile, "Message file in %s has wrong size", maildrop_->box.name);
      return Io::kError;
    }
    bytes_out_ += static_cast<uint64_t>(n);
    *turn += static_cast<size_t>(n);
    if (t.offset < t.end) return Io::kOk;
    out_.append(".\r\n");
  } else {
    out_.append(".\r\n");
  }
  transfer_.reset();
  // The idle time counts from the end of the transfer.
  last_io_ms_ = Reactor::now_ms();
  return Io::kOk;
}

void Session::quit() {
  if (pop_state_ != PopState::kTransaction || maildrop_->deleted_count == 0) {
    if (pop_state_ == PopState::kTransaction && server_.startup().statlog)
      log_mailbox_stat("Logout", userid_, clienthost_, *maildrop_, login_time_, os_fd_);
    reply("+OK");
    close_after_output(EndReason::kQuit);
    return;
  }
  // Only the uids of this session's table: mail delivered since login is
  // not in it and stays.
  state_ = State::kBusy;
  expunging_ = true;
  auto drop = maildrop_;
  auto uids = std::make_shared<std::vector<uint32_t>>(drop->deleted_uids());
  auto result = std::make_shared<int>(0);
  PopServer* server = &server_;
  uint64_t id = id_;
  server_.pool().submit(
      [drop, uids, result] { *result = mailbox_expunge(&drop->box, 0, 0, maildrop_expunge_marked, uids.get()); },
      [server, id, result] {
        server->with_session(id, [&](Session& s) {
          if (s.state_ != State::kBusy) return;
          s.expunging_ = false;
          s.state_ = State::kCommands;
          s.quit_done(*result);
          s.drive();
        });
      });
}

void Session::quit_done(int r) {
  if (server_.startup().statlog) log_mailbox_stat("Logout", userid_, clienthost_, *maildrop_, login_time_, os_fd_);
  if (r != 0) {
    // The index is replaced only when the new one is complete: on failure
    // every message is still there, and the client must hear it.
    bvlog(0, LOG_SEV_ERR, "Unable to expunge %s: %s", maildrop_->box.name, error_message(r));
    reply("-ERR [SYS/TEMP] Some deleted messages not removed");
  } else {
    reply("+OK");
  }
  close_after_output(EndReason::kQuit);
}

// ---- Authentication --------------------------------------------------------

bool Session::plaintext_ok() const {
  return plaintext_allowed(server_.settings()->plaintext, tls_ != nullptr, addr_.is_loopback());
}

saslglue_conn* Session::sasl_conn() {
  if (sasl_) return sasl_.get();
  if (!server_.sasl()) return nullptr;
  const auto& settings = server_.settings();
  std::string remote = addr_.to_string() + ";" + std::to_string(addr_.port);
  std::string local;
  sockaddr_storage ss{};
  socklen_t len = sizeof ss;
  if (getsockname(os_fd_, reinterpret_cast<sockaddr*>(&ss), &len) == 0) {
    ClientAddr me = ClientAddr::from_sockaddr(reinterpret_cast<sockaddr*>(&ss), len);
    local = me.to_string() + ";" + std::to_string(me.port);
  }
  SaslConnParams params;
  params.clienthost = clienthost_.c_str();
  params.iplocalport = local.empty() ? nullptr : local.c_str();
  params.ipremoteport = addr_.family == AF_INET || addr_.family == AF_INET6 ? remote.c_str() : nullptr;
  params.service = "pop";
  params.serverfqdn = settings->hostname.c_str();
  params.user_realm = settings->defaultdomain.c_str();
  params.refuse_plaintext = !plaintext_ok();
  params.external_ssf = tls_ ? tls_->key_bits() : 0;
  params.external_id = external_id_.empty() ? nullptr : external_id_.c_str();
  saslglue_conn* conn = nullptr;
  if (int r = saslglue_conn_new(server_.sasl(), params, &conn); r != SASL_OK) {
    bvlog(0, LOG_SEV_ERR, "%s cannot start an SASL connection: %s", clienthost_.c_str(),
          sasl_errstring(r, nullptr, nullptr));
    return nullptr;
  }
  sasl_.reset(conn, saslglue_conn_free);
  return conn;
}

void Session::user(const ParsedCommand& cmd) {
  if (!user_.empty()) {
    reply("-ERR Must give PASS command");
    return;
  }
  if (cmd.arg.size() >= 128) {
    bvlog(0, kLogBadLogin, "badlogin: %s plaintext %s invalid user", clienthost_.c_str(), printable(cmd.arg).c_str());
    reply("-ERR Invalid user");
    return;
  }
  user_ = cmd.arg;
  reply("+OK Name is a valid mailbox");
}

void Session::pass(const ParsedCommand& cmd) {
  if (user_.empty()) {
    reply("-ERR Must give USER command");
    return;
  }
  std::string user = user_, password = cmd.arg;
  sasl_work([user, password](saslglue_conn* conn, std::string*) { return saslglue_checkpass(conn, user, password); },
            "plaintext");
}

void Session::apop(const ParsedCommand& cmd) {
  size_t sp = cmd.arg.rfind(' ');
  user_ = sp == std::string::npos ? cmd.arg : cmd.arg.substr(0, sp);
  std::string challenge = challenge_, answer = cmd.arg;
  sasl_work([challenge, answer](saslglue_conn* conn,
                                std::string*) { return saslglue_checkapop(conn, challenge, answer); },
            "apop");
}

void Session::auth(const ParsedCommand& cmd) {
  saslglue_conn* conn = sasl_conn();
  if (!cmd.has_arg) {
    std::string mechs;
    if (!conn || saslglue_listmech(conn, "", "\r\n", "\r\n", &mechs) != SASL_OK) {
      reply("-ERR [SYS/TEMP] Temporary authentication failure.");
      return;
    }
    reply("+OK List of supported mechanisms follows");
    if (mechs != "\r\n") out_ += mechs;
    reply(".");
    return;
  }
  size_t sp = cmd.arg.find(' ');
  std::string mech = cmd.arg.substr(0, sp);
  for (char& c : mech) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  if ((mech == "plain" || mech == "login") && !plaintext_ok()) {
    plaintext_refused();
    return;
  }
  // Whatever the mechanism list says, EXTERNAL is client-certificate
  // login and exists only where that is configured.
  if (mech == "external" && !server_.startup().tls.client_auth) {
    auth_failed(SASL_NOMECH, "EXTERNAL needs service.pop.sslclientauth", "external");
    return;
  }
  std::optional<std::string> initial;
  if (sp != std::string::npos) {
    std::string_view text = std::string_view(cmd.arg).substr(sp + 1);
    if (text == "=") {
      initial.emplace();
    } else if (!(initial = base64_decode(text))) {
      auth_failed(SASL_BADPROT, "bad base64 in the initial response", mech.c_str());
      return;
    }
  }
  auth_mech_ = mech;
  sasl_work(
      [mech, initial](saslglue_conn* c, std::string* out) {
        return saslglue_server_start(c, mech, initial ? &*initial : nullptr, out);
      },
      auth_mech_.c_str());
}

void Session::auth_response(std::string_view line) {
  in_exchange_ = false;
  reader_.set_max_line(kMaxCommandLine);
  if (line == "*") {
    auth_failed(SASL_BADPROT, "exchange cancelled by the client", auth_mech_.c_str());
    return;
  }
  std::optional<std::string> response = base64_decode(line);
  if (!response) {
    auth_failed(SASL_BADPROT, "bad base64 in a response", auth_mech_.c_str());
    return;
  }
  std::string data = std::move(*response);
  sasl_work([data](saslglue_conn* c, std::string* out) { return saslglue_server_step(c, data, out); },
            auth_mech_.c_str());
}

void Session::sasl_work(std::function<int(saslglue_conn*, std::string*)> step, const char* mech) {
  saslglue_conn* conn = sasl_conn();
  if (!conn) {
    auth_failed(SASL_TRYAGAIN, "no SASL connection", mech);
    return;
  }
  state_ = State::kBusy;
  auto conn_ref = sasl_;  // the work may outlive the session
  auto result = std::make_shared<std::pair<int, std::string>>(SASL_FAIL, std::string());
  PopServer* server = &server_;
  uint64_t id = id_;
  std::string mech_name = mech;
  server_.pool().submit([conn_ref, step, result] { result->first = step(conn_ref.get(), &result->second); },
                        [server, id, result, mech_name] {
                          server->with_session(id, [&](Session& s) {
                            if (s.state_ != State::kBusy) return;
                            s.state_ = State::kCommands;
                            s.sasl_result(result->first, result->second, mech_name.c_str());
                            s.drive();
                          });
                        });
}

void Session::sasl_result(int r, const std::string& out, const char* mech) {
  if (r == SASL_CONTINUE) {
    reply("+ " + base64_encode(out));
    in_exchange_ = true;
    reader_.set_max_line(kMaxSaslLine);
    return;
  }
  if (r != SASL_OK) {
    auth_failed(r, sasl_ ? saslglue_errdetail(sasl_.get()) : "", mech);
    return;
  }
  login(mech);
}

void Session::auth_failed(int saslerr, const std::string& detail, const char* mech) {
  bvlog(0, kLogBadLogin, "badlogin: %s %s %s %s", clienthost_.c_str(), mech,
        user_.empty() ? "-" : printable(user_).c_str(), printable(detail, 200).c_str());
  server_.count_login(false);
  user_.clear();
  // A fresh connection for the next attempt: nothing of this one carries over.
  sasl_.reset();
  delayed_failure(auth_failure_response(saslerr));
}

void Session::plaintext_refused() {
  // No delay: no password was checked.  It counts all the same.
  reply(kErrPlaintextRefused);
  server_.count_login(false);
  unsigned limit = server_.settings()->max_auth_failures;
  if (limit != 0 && ++auth_failures_ > limit) close_after_output(EndReason::kQuit);
}

void Session::delayed_failure(std::string response) {
  // Nothing is read meanwhile: guessing passwords costs the client time,
  // and no thread waits.
  state_ = State::kBusy;
  ++auth_failures_;
  PopServer* server = &server_;
  uint64_t id = id_;
  server_.loop().after(kFailureDelayMs, [server, id, response] {
    server->with_session(id, [&](Session& s) {
      if (s.state_ != State::kBusy) return;
      s.state_ = State::kCommands;
      s.reply(response);
      unsigned limit = s.server_.settings()->max_auth_failures;
      if (limit != 0 && s.auth_failures_ > limit) s.close_after_output(EndReason::kQuit);
      s.drive();
    });
  });
}

void Session::login(const char* mech) {
  state_ = State::kBusy;
  auto conn_ref = sasl_;
  bool directory = server_.startup().directory;
  std::string hostname = server_.settings()->hostname;
  std::string client_ip = addr_.to_string();
  std::string mech_name = mech;
  std::string instancedir = server_.settings()->instancedir;
  bool status_line = server_.startup().status_line;
  struct Result {
    int r = 0;
    std::string userid;
    std::shared_ptr<Maildrop> drop;
    time_t login_time = 0;
    TelemetryFile telemetry;
  };
  auto result = std::make_shared<Result>();
  PopServer* server = &server_;
  uint64_t id = id_;
  server_.pool().submit(
      [conn_ref, directory, hostname, client_ip, mech_name, instancedir, status_line, result] {
        std::string name;
        std::optional<std::string> userid;
        if (saslglue_username(conn_ref.get(), &name) == SASL_OK) userid = login_userid(name);
        if (!userid) {
          result->r = IMAP_INVALID_USER;
          return;
        }
        result->userid = *userid;
        char inbox[MBOXNAME_MAX];
        mboxname_toownedmailbox(nullptr, userid->c_str(), inbox);
        auto drop = std::make_shared<Maildrop>();
        int r = mailbox_open(inbox, 0, nullptr, &drop->box);
        if (r == IMAP_MAILBOX_NONEXISTENT && userscan_inbox_on_disk(userid->c_str(), nullptr, nullptr)) {
          // The mailbox list lost this user (a damaged or replaced
          // database): he waits, with a temporary failure, for the daemon's
          // rebuild or `orvadm reconstruct -m`.  Never "no maildrop", and
          // never a new account, which would adopt the INBOX's files and
          // leave his other folders and quota limits lost.
          bvlog(0, LOG_STORE_ERR, "Login of %s deferred: the INBOX is on disk but not in the mailbox list (run "
                "orvadm reconstruct -m)", userid->c_str());
          r = IMAP_MAILBOX_LOCKED;
        } else if (r == IMAP_MAILBOX_NONEXISTENT && directory) {
          // First use: the account is made from the directory entry.
          std::vector<std::vector<std::string>> values;
          UserAttrs vals;
          if (saslglue_attrs(conn_ref.get(), &values) == SASL_OK && values.size() > SASLGLUE_ATTR_DN &&
              !values[SASLGLUE_ATTR_DN].empty()) {
            for (int i = 0; i < kUserAttrCount; ++i) vals.values[i] = values[i];
            vals.dn = values[SASLGLUE_ATTR_DN][0];
            r = autocreate(userid->c_str(), hostname.c_str(), nullptr, nullptr, &vals, 0);
          } else {
            r = autocreate_from_directory(userid->c_str(), nullptr);
          }
          if (r == 0) r = mailbox_open(inbox, 0, nullptr, &drop->box);
        }
        if (r == 0) r = maildrop_build(drop.get());
        result->r = r;
        if (r != 0) return;
        if (status_line) maildrop_load_last_position(drop.get(), *userid);
        result->drop = std::move(drop);
        result->login_time = time(nullptr);
        result->telemetry.open(instancedir, *userid, result->login_time);
        storenotify_loguser(mech_name.c_str(), userid->c_str(), userid->c_str(), client_ip.c_str(),
                            result->login_time, 0);
      },
      [server, id, result, mech_name] {
        server->with_session(id, [&](Session& s) {
          if (s.state_ != State::kBusy) return;
          s.state_ = State::kCommands;
          s.login_done(result->r, result->userid, std::move(result->drop), mech_name, std::move(result->telemetry),
                       result->login_time);
          s.drive();
        });
      });
}

void Session::login_done(int r, const std::string& userid, std::shared_ptr<Maildrop> drop, const std::string& mech,
                         TelemetryFile telemetry, time_t login_time) {
  if (r != 0) {
    const char* reason = r == IMAP_INVALID_USER ? "Invalid userid"
                         : r == IMAP_MAILBOX_NONEXISTENT || r == IMAP_WRONG_MAILHOST
                             ? "User has no maildrop"
                             : "Unable to read maildrop";
    bvlog(0, kLogBadLogin, "badlogin: %s %s %s: %s", clienthost_.c_str(),
          userid.empty() ? printable(user_).c_str() : userid.c_str(), reason, error_message(r));
    server_.count_login(false);
    user_.clear();
    sasl_.reset();
    reply(std::string("-ERR ") + (error_is_temporary(r) ? "[SYS/TEMP] " : "[SYS/PERM] ") + reason);
    return;
  }
  logged_in_ = true;
  userid_ = userid;
  login_time_ = login_time;
  maildrop_ = std::move(drop);
  // From here on the file gets every octet.  Commands the client sent
  // right behind its login were read already: they are the first of it.
  telemetry_ = std::move(telemetry);
  telemetry_.record(reader_.pending());
  pop_state_ = PopState::kTransaction;
  server_.count_login(true);
  userlist_login(id_, userid_, mech, os_fd_);
  bvlog(0, LOG_SEV_INFO, "login: %s %s %s %s", clienthost_.c_str(), userid_.c_str(), mech.c_str(),
        tls_ ? tls_->describe().c_str() : "plaintext");
  if (server_.startup().statlog) log_mailbox_stat("Login", userid_, clienthost_, *maildrop_, login_time_, os_fd_);
  if (server_.startup().emulate_qpopper) {
    reply("+OK " + userid_ + " has " + std::to_string(maildrop_->live_count()) + " messages (" +
          std::to_string(maildrop_->reported_live_octets()) + " octets)");
  } else {
    reply("+OK Maildrop ready");
  }
}

void Session::close_after_output(EndReason why) {
  end_reason_ = why;
  state_ = State::kClosing;
}

void Session::begin_tls() {
  server_.loop().remove(os_fd_);
  std::string err;
  tls_ = TlsConn::start(fd_.release(), &err);
  if (!tls_) {
    bvlog(0, LOG_SEV_ERR, "%s cannot start TLS: %s", clienthost_.c_str(), err.c_str());
    end(EndReason::kNetworkError);
    return;
  }
  os_fd_ = tls_->os_fd();
  state_ = State::kHandshake;
  if (!server_.loop().add(os_fd_, EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLET, this)) {
    bvlog(0, LOG_SEV_ERR, "%s cannot watch the connection: %m", clienthost_.c_str());
    end(EndReason::kNetworkError);
    return;
  }
  continue_handshake();
}

void Session::continue_handshake() {
  TlsIo r = tls_->handshake();
  if (r == TlsIo::kWantRead || r == TlsIo::kWantWrite) return;
  if (r != TlsIo::kOk) {
    bvlog(0, LOG_SEV_INFO, "%s TLS handshake failed: %s", clienthost_.c_str(), tls_->error().c_str());
    end(EndReason::kNetworkError);
    return;
  }
  if (tls_->bad_certificate() && !bad_certificate_) {
    bad_certificate_ = true;
    bvlog(0, LOG_SEV_NOTICE, "Bad certificate from %s: %s", clienthost_.c_str(), tls_->bad_certificate_text().c_str());
  }
  map_client_certificate();
  if (!after_handshake_.empty()) {
    out_ += after_handshake_;
    after_handshake_.clear();
  }
  state_ = end_reason_ == EndReason::kRefused ? State::kClosing : State::kCommands;
  last_io_ms_ = Reactor::now_ms();
  drive();
}

void Session::map_client_certificate() {
  external_id_.clear();
  // Certificates are asked for only with client authentication on; a
  // session without it never maps one, whichever port it came in on.
  if (!server_.startup().tls.client_auth || !tls_) return;
  TlsClientCert cert = tls_->client_certificate();
  if (!cert.presented) return;
  if (!cert.verified) {
    // The hook logged a failed handshake check; a resumed session's
    // certificate that no longer verifies is logged here.
    if (!bad_certificate_) {
      bad_certificate_ = true;
      bvlog(0, LOG_SEV_NOTICE, "Bad certificate from %s: %s", clienthost_.c_str(), cert.problem.c_str());
    }
    return;
  }
  std::optional<std::string> id = cert_userid(cert.uid, cert.emails);
  if (!id) {
    bvlog(0, LOG_SEV_NOTICE, "%s client certificate names no user: %s", clienthost_.c_str(),
          printable(cert.subject, 200).c_str());
    return;
  }
  external_id_ = *id;
  bvlog(0, LOG_SEV_INFO, "%s client certificate of %s: %s", clienthost_.c_str(), external_id_.c_str(),
        printable(cert.subject, 200).c_str());
}

void Session::server_stopping() {
  switch (state_) {
    case State::kBusy:
      // QUIT's expunge answers and closes when it is done; stopping the
      // session meanwhile would tell the client nothing was removed.
      if (expunging_) return;
      [[fallthrough]];
    case State::kCommands:  // what a busy session waits for finds it closing
      reply("-ERR Server shutting down");
      close_after_output(EndReason::kServer);
      drive();
      return;
    case State::kHandshake:
    case State::kStartTls:
      end(EndReason::kServer);
      return;
    case State::kResolving:  // admission will refuse it
    case State::kClosing:
    case State::kEnded:
      return;
  }
}

void Session::abort() {
  if (state_ != State::kEnded) end(EndReason::kServer);
}

void Session::arm_idle_timer(int64_t ms) {
  if (idle_timer_) server_.loop().cancel(idle_timer_);
  PopServer* server = &server_;
  uint64_t id = id_;
  idle_timer_ = server_.loop().after(ms, [server, id] {
    server->with_session(id, [](Session& s) {
      s.idle_timer_ = 0;
      s.idle_timer_fired();
    });
  });
}

void Session::idle_timer_fired() {
  if (state_ == State::kEnded) return;
  int64_t period = static_cast<int64_t>(server_.settings()->idle_timeout_s) * 1000;
  int64_t idle = Reactor::now_ms() - last_io_ms_;
  if (idle < period) {
    arm_idle_timer(period - idle);
    return;
  }
  if (bytes_out_ > last_sent_) {
    // A long transfer is still leaving the socket: not idle.
    last_sent_ = bytes_out_;
    arm_idle_timer(period);
    return;
  }
  bvlog(0, kLogTimeout, "%s connection timed out", user_.empty() ? clienthost_.c_str() : user_.c_str());
  end(EndReason::kTimedOut);
}

void Session::end(EndReason why) {
  if (state_ == State::kEnded) return;
  const int err = errno;  // of the call that failed, for a network error
  state_ = State::kEnded;
  if (telemetry_.active()) {
    if (why == EndReason::kPeerClosed) {
      telemetry_.record("CONNECTION CLOSED\n");
    } else if (why == EndReason::kNetworkError) {
      std::string text = !end_detail_.empty()             ? end_detail_
                         : tls_ && !tls_->error().empty() ? tls_->error()
                                                          : std::string(strerror(err));
      telemetry_.record("NETWORK ERROR: " + text + "\n");
    }
    if (logged_in_) telemetry_.logout(time(nullptr));
    telemetry_.close();
  }
  if (idle_timer_) {
    server_.loop().cancel(idle_timer_);
    idle_timer_ = 0;
  }
  if (counted_) server_.count_ended();
  if (why == EndReason::kNetworkError) server_.count_failed_connection();
  challenge_.clear();
  if (ip_counted_) server_.ip_release(addr_);
  if (os_fd_ >= 0) server_.loop().remove(os_fd_);
  if (tls_) {
    // A graceful close tells the client the data ended here; after a
    // time-out the connection is simply dropped.
    if (why != EndReason::kTimedOut) tls_->close();
    tls_.reset();
  }
  fd_.reset();
  os_fd_ = -1;
  if (logged_in_) {
    userlist_logout(id_);
    bvlog(0, LOG_SEV_INFO, "logout: %s %s", clienthost_.c_str(), userid_.c_str());
    // Only a completed login is reported and recorded: a client that
    // merely named a user must not move that user's last access (nor cost
    // a database write).
    std::string userid = userid_, ip = addr_.to_string();
    bool last_access = server_.settings()->last_access;
    int how = why == EndReason::kTimedOut ? 2 : 1;
    // With the status option, where this session got to: however the
    // session ends, so the next one marks these messages as seen.
    uint32_t pos_validity = 0, pos_uid = 0;
    if (maildrop_ && maildrop_->status_octets != 0 && maildrop_->highest != 0) {
      pos_validity = maildrop_->box.mbd.uid_validity;
      pos_uid = maildrop_->messages[maildrop_->highest - 1].uid;
    }
    server_.pool().submit(
        [userid, ip, last_access, how, pos_validity, pos_uid] {
          time_t now = time(nullptr);
          storenotify_loguser("shut_down", userid.c_str(), userid.c_str(), ip.c_str(), now, how);
          if (last_access) (void)mboxlist_setaccesstime(userid.c_str(), now, "pop");  // logs its failure
          if (pos_uid != 0) (void)mboxlist_setlastuse(userid.c_str(), pos_validity, pos_uid);  // logs its failure
        },
        [] {});
  }
  sasl_.reset();
  transfer_.reset();
  maildrop_.reset();
  server_.session_ended(id_);
}
