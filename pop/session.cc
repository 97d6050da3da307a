#include "pop/session.h"

#include <netdb.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/assert.h"
#include "common/bvlog.h"
#include "pop/greeting.h"
#include "pop/server.h"

namespace {

constexpr int kLogTimeout = 46;  // category 40, information
constexpr size_t kReadChunk = 16 * 1024;
// Octets read in one turn before other sessions get theirs.
constexpr size_t kReadTurn = 64 * 1024;

}  // namespace

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
    if (settings->apop_offered)
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
    if (w == Io::kOk) {
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
    bytes_in_ += got;
    read_this_turn += got;
    reader_.feed(buf, got);
  }
}

void Session::process_lines() {
  while (state_ == State::kCommands && out_.size() - out_off_ < kOutputHighWater) {
    LineReader::Event ev = reader_.next();
    if (ev.kind == LineReader::Kind::kNone) return;
    last_io_ms_ = Reactor::now_ms();
    last_sent_ = bytes_out_;
    switch (ev.kind) {
      case LineReader::Kind::kTooLong:
        reply_bad("-ERR Line too long");
        break;
      case LineReader::Kind::kAbusive:
        bvlog(0, LOG_SEV_NOTICE, "%s sent an endless command line; connection closed", clienthost_.c_str());
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
      break;
    default:
      // Authentication and the mailbox commands are not offered yet.
      reply_bad(kErrUnrecognized);
      return;
  }
  if (const char* err = check_argument(spec, cmd)) {
    reply_bad(err);
    return;
  }
  switch (spec.id) {
    case PopCommand::kQuit:
      reply("+OK");
      close_after_output(EndReason::kQuit);
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
  reply("+OK");
  state_ = State::kStartTls;
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
  if (!after_handshake_.empty()) {
    out_ += after_handshake_;
    after_handshake_.clear();
  }
  state_ = end_reason_ == EndReason::kRefused ? State::kClosing : State::kCommands;
  last_io_ms_ = Reactor::now_ms();
  drive();
}

void Session::server_stopping() {
  switch (state_) {
    case State::kCommands:
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
  state_ = State::kEnded;
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
  server_.session_ended(id_);
}
