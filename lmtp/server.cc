#include "lmtp/server.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/mman.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "common/bvlog.h"
#include "common/imap_err.h"
#include "lmtp/protocol.h"
#include "net/linereader.h"
#include "store/append.h"
#include "store/deliver.h"

namespace {

constexpr size_t kReadChunk = 64 * 1024;
constexpr int kReadsPerWakeup = 8;
constexpr size_t kSpoolFlush = 64 * 1024;   // data buffered before it is written to the spool file
constexpr size_t kOutputHigh = 64 * 1024;   // replies unsent beyond this: stop reading
constexpr int kAcceptsPerWakeup = 64;
constexpr unsigned kMaxSessions = 1000;
constexpr int64_t kShutdownTickMs = 100;
constexpr int64_t kShutdownBoundMs = 30000;

// An unnamed file for one message's data in dir: gone with its last
// descriptor, whatever happens to the process.  -1 with errno.
int open_spool(const std::string& dir) {
  int fd = open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd >= 0 || (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)) return fd;
  // A file system without unnamed files: a named one, unlinked at once.
  std::string tmpl = dir + "/.lmtp.XXXXXX";
  fd = mkostemp(tmpl.data(), O_CLOEXEC);
  if (fd >= 0) unlink(tmpl.c_str());
  return fd;
}

bool write_all(int fd, const char* p, size_t n) {
  while (n > 0) {
    ssize_t w = write(fd, p, n);
    if (w < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

// The message of a spool file mapped for the appends.
class SpoolMap {
 public:
  SpoolMap(int fd, size_t size) : size_(size) {
    if (size == 0) return;
    void* p = mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0);
    if (p != MAP_FAILED) base_ = static_cast<const char*>(p);
  }
  ~SpoolMap() {
    if (base_) munmap(const_cast<char*>(base_), size_);
  }
  SpoolMap(const SpoolMap&) = delete;
  SpoolMap& operator=(const SpoolMap&) = delete;
  const char* base() const { return base_; }

 private:
  const char* base_ = nullptr;
  size_t size_;
};

// Delivers the spooled message to each recipient (on a pool thread): the
// store's result for each.
std::vector<int> deliver_spool(int fd, size_t size, const std::vector<LmtpMachine::Recipient>& rcpts) {
  std::vector<int> codes(rcpts.size(), 0);
  SpoolMap map(fd, size);
  int refused = 0;
  if (size == 0) {
    refused = IMAP_MESSAGE_NOBLANKLINE;
  } else if (!map.base()) {
    bvlog(0, LOG_SEV_ERR, "cannot map the spooled message (%zu octets): %m", size);
    refused = IMAP_IOERROR;
  } else {
    refused = deliver_refusal(map.base(), size);
  }
  appendmsg m;
  m.flags = APPENDMSG_CALLER_STORAGE;
  m.base = map.base();
  m.size = size;
  time_t now = time(nullptr);
  for (size_t i = 0; i < rcpts.size(); ++i) codes[i] = refused ? refused : deliver_append(&m, rcpts[i].folder, now);
  append_freemsg(&m);
  return codes;
}

}  // namespace

// ---- One LMTP session ------------------------------------------------------

class LmtpSession final : public IoHandler {
 public:
  LmtpSession(LmtpServer& server, uint64_t id, UniqueFd fd)
      : server_(server),
        id_(id),
        fd_(std::move(fd)),
        reader_(kLmtpMaxLine),
        machine_(server.settings().hostname, server.settings().max_size, server.settings().max_recipients) {}

  void start() {
    if (!server_.loop().add(fd_.get(), EPOLLIN, this)) {
      bvlog(0, LOG_SEV_ERR, "cannot watch an LMTP connection: %m");
      end();
      return;
    }
    interest_ = EPOLLIN;
    arm_timer();
    send(machine_.greeting());
    flush();
  }

  void on_io(uint32_t events) override {
    if (ended_) return;
    if ((events & (EPOLLHUP | EPOLLERR)) && busy_) {
      // Gone while its check or delivery runs: nobody is left to read the
      // replies (the delivery itself completes).
      end();
      return;
    }
    if (events & EPOLLOUT) flush();
    if (ended_) return;
    if (events & (EPOLLIN | EPOLLHUP | EPOLLERR)) read_input();
    if (ended_) return;
    process();
  }

  // The server stops: a session not waiting for the store ends now.
  void server_stopping() {
    if (ended_ || busy_) return;
    send("421 4.3.2 " + server_.settings().hostname + " Service shutting down\r\n");
    closing_ = true;
    flush();
  }
  void abort() { end(); }
  bool ended() const { return ended_; }

  void recipient_checked(int code, const std::string& folder) {
    busy_ = false;
    send(machine_.recipient_checked(code, folder));
    after_work();
  }

  void delivered(const std::vector<int>& codes) {
    busy_ = false;
    for (int c : codes) send(lmtp_result_reply(c, "250 2.0.0 Message delivered"));
    machine_.data_done();
    after_work();
  }

 private:
  void after_work() {
    if (server_.shutting_down()) {
      send("421 4.3.2 " + server_.settings().hostname + " Service shutting down\r\n");
      closing_ = true;
    }
    arm_timer();
    process();
  }

  void arm_timer() {
    if (timer_) server_.loop().cancel(timer_);
    timer_ = server_.loop().after(static_cast<int64_t>(server_.settings().timeout_s) * 1000, [this] {
      timer_ = 0;
      if (busy_) {  // the store is slow, not the client
        arm_timer();
        return;
      }
      if (closing_ || !out_.empty()) {
        // Replies unread for the whole time-out: the client reads nothing.
        bvlog(0, LOG_SEV_NOTICE, "LMTP client not reading its replies for %u seconds: connection closed",
              server_.settings().timeout_s);
        end();
        return;
      }
      bvlog(0, LOG_SEV_NOTICE, "LMTP client silent for %u seconds%s: connection closed",
            server_.settings().timeout_s, data_ ? " in the middle of its data (nothing stored)" : "");
      send("421 4.4.2 " + server_.settings().hostname + " Timeout, closing connection\r\n");
      closing_ = true;
      data_.reset();
      spool_.reset();
      flush();
    });
  }

  void send(const std::string& text) { out_ += text; }

  void read_input() {
    char buf[kReadChunk];
    for (int i = 0; i < kReadsPerWakeup && wants_input(); ++i) {
      ssize_t n = read(fd_.get(), buf, sizeof buf);
      if (n < 0) {
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return;
        end();  // reset by the client: whatever it sent is dropped
        return;
      }
      if (n == 0) {
        if (data_) bvlog(0, LOG_SEV_NOTICE, "LMTP client went away in the middle of its data (nothing stored)");
        end();
        return;
      }
      arm_timer();
      take(buf, static_cast<size_t>(n));
      if (ended_) return;
      process();
      if (ended_) return;
    }
  }

  // Bytes from the client: message data while it is being read, else
  // command lines for the line reader.
  void take(const char* p, size_t n) {
    if (data_) {
      size_t used = take_data(p, n);
      p += used;
      n -= used;
    }
    if (n > 0) reader_.feed(p, n);
  }

  size_t take_data(const char* p, size_t n) {
    size_t used = data_->feed(p, n, &spool_buf_);
    if (spool_buf_.size() >= kSpoolFlush || data_->done()) write_spool();
    if (data_->done()) finish_data();
    return used;
  }

  void write_spool() {
    if (!spool_error_ && !spool_buf_.empty() && !write_all(spool_->get(), spool_buf_.data(), spool_buf_.size())) {
      spool_error_ = errno;
      bvlog(0, LOG_SEV_ERR, "cannot write message data to the spool directory %s: %m",
            server_.settings().spool_dir.c_str());
    }
    spool_size_ += spool_error_ ? 0 : spool_buf_.size();
    spool_buf_.clear();
    if (spool_buf_.capacity() > 2 * kSpoolFlush) std::string().swap(spool_buf_);
  }

  void finish_data() {
    std::unique_ptr<LmtpDataReader> data = std::move(data_);
    std::shared_ptr<UniqueFd> spool = std::move(spool_);
    const auto& rcpts = machine_.recipients();
    std::string fault;
    if (data->fault() != LmtpDataReader::Fault::kNone) {
      fault = data->fault_reply();
    } else if (spool_error_) {
      fault = spool_error_ == ENOSPC || spool_error_ == EDQUOT ? "452 4.3.1 Insufficient system storage\r\n"
                                                                : "451 4.3.0 Temporary failure, try again later\r\n";
    }
    if (!fault.empty()) {
      for (size_t i = 0; i < rcpts.size(); ++i) send(fault);
      machine_.data_done();
      return;
    }
    busy_ = true;
    size_t size = spool_size_;
    auto result = std::make_shared<std::vector<int>>();
    LmtpServer* server = &server_;
    uint64_t id = id_;
    server_.pool().submit(
        [spool, size, rcpts, result] { *result = deliver_spool(spool->get(), size, rcpts); },
        [server, id, result] { server->with_session(id, [&](LmtpSession& s) { s.delivered(*result); }); });
  }

  void start_data() {
    UniqueFd fd(open_spool(server_.settings().spool_dir));
    if (!fd) {
      bvlog(0, LOG_SEV_ERR, "cannot make a spool file in %s: %m", server_.settings().spool_dir.c_str());
      send("451 4.3.0 Temporary failure, try again later\r\n");
      return;
    }
    send("354 Start mail input; end with <CRLF>.<CRLF>\r\n");
    spool_ = std::make_shared<UniqueFd>(std::move(fd));
    spool_error_ = 0;
    spool_size_ = 0;
    data_ = std::make_unique<LmtpDataReader>(server_.settings().max_size);
    // The trace line a final delivery adds (RFC 5321 4.4).
    spool_buf_ = "Return-Path: <" + machine_.sender() + ">\r\n";
    // Data the client sent right behind the command.
    std::string rest(reader_.pending());
    reader_.discard();
    size_t used = take_data(rest.data(), rest.size());
    if (used < rest.size()) reader_.feed(rest.data() + used, rest.size() - used);
  }

  void process() {
    while (!busy_ && !closing_ && !ended_ && !data_ && out_.size() < kOutputHigh) {
      LineReader::Event ev = reader_.next();
      if (ev.kind == LineReader::Kind::kNone) break;
      if (ev.kind == LineReader::Kind::kTooLong) {
        send(machine_.on_too_long().reply);
        continue;
      }
      if (ev.kind == LineReader::Kind::kAbusive) {
        send("421 4.7.0 " + server_.settings().hostname + " Too much junk, closing connection\r\n");
        closing_ = true;
        break;
      }
      LmtpMachine::Step st = machine_.on_line(ev.line, ev.has_nul);
      switch (st.action) {
        case LmtpMachine::Action::kReply:
          send(st.reply);
          break;
        case LmtpMachine::Action::kQuit:
          send(st.reply);
          closing_ = true;
          break;
        case LmtpMachine::Action::kStartData:
          start_data();
          break;
        case LmtpMachine::Action::kCheckRecipient: {
          busy_ = true;
          auto folder = std::make_shared<std::string>();
          auto code = std::make_shared<int>(0);
          LmtpServer* server = &server_;
          uint64_t id = id_;
          uint64_t hint = machine_.size_hint();
          std::string user = st.user;
          server_.pool().submit(
              [user, hint, folder, code] {
                *code = deliver_resolve(user, nullptr, folder.get());
                if (*code == 0) *code = deliver_check(*folder, hint);
              },
              [server, id, folder, code] {
                server->with_session(id, [&](LmtpSession& s) { s.recipient_checked(*code, *folder); });
              });
          break;
        }
      }
    }
    flush();
  }

  bool wants_input() const { return !busy_ && !closing_ && !ended_ && out_.size() < kOutputHigh; }

  void flush() {
    while (!out_.empty()) {
      ssize_t n = send_nosignal(out_.data(), out_.size());
      if (n < 0) {
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) break;
        end();
        return;
      }
      out_.erase(0, static_cast<size_t>(n));
      if (n > 0 && !closing_) arm_timer();  // the client reads: it is not silent
    }
    if (out_.empty() && closing_) {
      end();
      return;
    }
    update_interest();
  }

  ssize_t send_nosignal(const char* p, size_t n) { return ::send(fd_.get(), p, n, MSG_NOSIGNAL); }

  void update_interest() {
    uint32_t want = (wants_input() ? EPOLLIN : 0u) | (out_.empty() ? 0u : EPOLLOUT);
    if (want == interest_) return;
    server_.loop().modify(fd_.get(), want, this);
    interest_ = want;
  }

  void end() {
    if (ended_) return;
    ended_ = true;
    if (timer_) server_.loop().cancel(timer_);
    timer_ = 0;
    server_.loop().remove(fd_.get());
    fd_.reset();
    data_.reset();
    spool_.reset();  // an unfinished message's data goes with it
    server_.session_ended(id_);
  }

  LmtpServer& server_;
  uint64_t id_;
  UniqueFd fd_;
  LineReader reader_;
  LmtpMachine machine_;
  std::unique_ptr<LmtpDataReader> data_;  // while the message data is read
  std::shared_ptr<UniqueFd> spool_;       // shared with a delivery on the pool
  std::string spool_buf_;
  size_t spool_size_ = 0;
  int spool_error_ = 0;
  std::string out_;
  uint32_t interest_ = 0;
  Reactor::TimerId timer_ = 0;
  bool busy_ = false;     // a check or delivery of this session is on the pool
  bool closing_ = false;  // ends once its replies are written
  bool ended_ = false;
};

// ---- The server ------------------------------------------------------------

class LmtpServer::Listener final : public IoHandler {
 public:
  Listener(LmtpServer& s, UniqueFd sock) : server(s), fd(std::move(sock)) {}
  void on_io(uint32_t) override { server.accept_from(*this); }

  LmtpServer& server;
  UniqueFd fd;
  bool polling = false;
  bool paused = false;
  Backoff backoff{10, 1000};
};

class LmtpServer::SignalWatch final : public IoHandler {
 public:
  SignalWatch(LmtpServer& s, UniqueFd sfd) : server(s), fd(std::move(sfd)) {}
  void on_io(uint32_t) override {
    signalfd_siginfo si;
    while (read(fd.get(), &si, sizeof si) == static_cast<ssize_t>(sizeof si)) {
      if (si.ssi_signo == SIGHUP || si.ssi_signo == SIGUSR1)
        bvlog_reopen();  // the log was rotated
      else
        server.begin_shutdown();
    }
  }

  LmtpServer& server;
  UniqueFd fd;
};

LmtpServer::LmtpServer(const LmtpSettings& settings, Reactor& loop, WorkPool& pool)
    : settings_(settings), loop_(loop), pool_(pool) {}

LmtpServer::~LmtpServer() {
  for (auto& l : listeners_)
    if (l->polling && l->fd) loop_.remove(l->fd.get());
  if (signals_) loop_.remove(signals_->fd.get());
}

void LmtpServer::add_listener(UniqueFd fd) {
  int fl = fcntl(fd.get(), F_GETFL);
  if (fl >= 0) fcntl(fd.get(), F_SETFL, fl | O_NONBLOCK);
  fcntl(fd.get(), F_SETFD, FD_CLOEXEC);
  listeners_.push_back(std::make_unique<Listener>(*this, std::move(fd)));
}

bool LmtpServer::watch_signals() {
  sigset_t set;
  sigemptyset(&set);
  for (int sig : {SIGTERM, SIGINT, SIGHUP, SIGUSR1}) sigaddset(&set, sig);
  UniqueFd fd(signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC));
  if (!fd) return false;
  signals_ = std::make_unique<SignalWatch>(*this, std::move(fd));
  return loop_.add(signals_->fd.get(), EPOLLIN, signals_.get());
}

void LmtpServer::run() {
  set_polling(true);
  loop_.run();
}

void LmtpServer::set_polling(bool on) {
  for (auto& l : listeners_) {
    bool want = on && !l->paused && l->fd && !shutting_down_ && live_ < kMaxSessions;
    if (want == l->polling) continue;
    if (want) {
      if (!loop_.add(l->fd.get(), EPOLLIN, l.get())) {
        bvlog(0, LOG_SEV_ERR, "cannot watch a listening socket: %m");
        continue;
      }
    } else if (l->fd) {
      loop_.remove(l->fd.get());
    }
    l->polling = want;
  }
}

void LmtpServer::accept_from(Listener& l) {
  for (int i = 0; i < kAcceptsPerWakeup && !shutting_down_ && live_ < kMaxSessions; ++i) {
    int fd = accept4(l.fd.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      int e = errno;
      if (e == EAGAIN || e == EWOULDBLOCK) break;
      if (e == EINTR || e == ECONNABORTED || e == EPROTO) continue;
      uint64_t held = 0;
      if (accept_log_.allow(Reactor::now_ms(), &held))
        bvlog(0, LOG_SEV_WARNING, "Unable to accept LMTP connection: %s (%llu more since the last report)",
              strerror(e), static_cast<unsigned long long>(held));
      // Descriptor exhaustion leaves the listener readable: wait instead
      // of spinning.
      l.paused = true;
      Listener* lp = &l;
      loop_.after(l.backoff.failed(), [this, lp] {
        lp->paused = false;
        set_polling(true);
      });
      set_polling(true);
      return;
    }
    l.backoff.succeeded();
    uint64_t id = next_id_++;
    auto session = std::make_unique<LmtpSession>(*this, id, UniqueFd(fd));
    LmtpSession* s = session.get();
    sessions_.emplace(id, std::move(session));
    ++live_;
    s->start();
  }
  set_polling(true);
}

void LmtpServer::with_session(uint64_t id, const std::function<void(LmtpSession&)>& fn) {
  auto it = sessions_.find(id);
  if (it != sessions_.end() && !it->second->ended()) fn(*it->second);
}

void LmtpServer::session_ended(uint64_t id) {
  --live_;
  // Events of the current batch may still name the session: free it after.
  loop_.defer([this, id] { sessions_.erase(id); });
  set_polling(true);
}

void LmtpServer::begin_shutdown() {
  if (shutting_down_) return;
  shutting_down_ = true;
  shutdown_started_ = Reactor::now_ms();
  bvlog(0, LOG_SEV_WARNING, "LMTP server shutting down");
  set_polling(false);
  // The listener objects stay: this may run from inside one of them.
  for (auto& l : listeners_) l->fd.reset();
  std::vector<uint64_t> ids;
  for (auto& [id, s] : sessions_) ids.push_back(id);
  for (uint64_t id : ids) with_session(id, [](LmtpSession& s) { s.server_stopping(); });
  shutdown_tick();
}

void LmtpServer::shutdown_tick() {
  if (live_ == 0 && pool_.in_flight() == 0) {
    loop_.stop();
    return;
  }
  if (Reactor::now_ms() - shutdown_started_ >= kShutdownBoundMs) {
    bvlog(0, LOG_SEV_ERR, "stopping with %zu sessions and %u deliveries still running", live_, pool_.in_flight());
    std::vector<uint64_t> ids;
    for (auto& [id, s] : sessions_) ids.push_back(id);
    for (uint64_t id : ids) with_session(id, [](LmtpSession& s) { s.abort(); });
    loop_.stop();
    return;
  }
  loop_.after(kShutdownTickMs, [this] { shutdown_tick(); });
}
