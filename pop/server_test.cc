// A server process in-process: the event loop runs on a thread of the test,
// clients talk to it over loopback.  Each case sets the settings snapshot
// it needs directly (an idle time-out of one second, say), so no case waits
// for a configuration default.
#include "pop/server.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>

#include "common/config.h"
#include "common/saslglue.h"
#include "common/test_util.h"

namespace {

constexpr int kWaitMs = 10000;  // bound of every client wait

class Client {
 public:
  explicit Client(int port) {
    fd_.reset(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in in{};
    in.sin_family = AF_INET;
    in.sin_port = htons(static_cast<uint16_t>(port));
    in.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(connect(fd_.get(), reinterpret_cast<sockaddr*>(&in), sizeof in), 0);
    timeval tv{kWaitMs / 1000, 0};
    setsockopt(fd_.get(), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  }
  int fd() const { return fd_.get(); }
  void send(const std::string& s) { ASSERT_EQ(::send(fd_.get(), s.data(), s.size(), MSG_NOSIGNAL), (ssize_t)s.size()); }
  // One line with its CR LF; "" at end of stream or after the wait bound.
  std::string line() {
    for (;;) {
      size_t nl = buf_.find("\r\n");
      if (nl != std::string::npos) {
        std::string l = buf_.substr(0, nl + 2);
        buf_.erase(0, nl + 2);
        return l;
      }
      if (!fill()) return "";
    }
  }
  // Whether the server closed the connection (after what was buffered).
  bool closed() {
    while (fill()) {
    }
    return eof_;
  }

 private:
  bool fill() {
    if (eof_) return false;
    pollfd p{fd_.get(), POLLIN, 0};
    if (poll(&p, 1, kWaitMs) != 1) return false;
    char b[4096];
    ssize_t n = recv(fd_.get(), b, sizeof b, 0);
    if (n <= 0) {
      eof_ = true;
      return false;
    }
    buf_.append(b, static_cast<size_t>(n));
    return true;
  }
  UniqueFd fd_;
  std::string buf_;
  bool eof_ = false;
};

class ServerTest : public ::testing::Test {
 protected:
  void start(PopSettings s = PopSettings(), PopStartup st = PopStartup(), saslglue_ctx* sasl = nullptr) {
    s.banner = "test POP3 service";
    s.hostname = "mail.example.com";
    std::string err;
    loop_ = Reactor::create(&err);
    ASSERT_TRUE(loop_) << err;
    pool_ = std::make_unique<WorkPool>(*loop_, 4);
    std::string cerr;
    counters_ = SharedCounters::open(dir_ / "popstat", 1, &cerr);
    ASSERT_TRUE(counters_) << cerr;
    counters_->reset(time(nullptr));
    int slot = counters_->claim_slot(getpid());
    auto snapshot = std::make_shared<const PopSettings>(s);
    server_ = std::make_unique<PopServer>(st, snapshot, *loop_, *pool_, counters_.get(), slot, [this, snapshot] {
      ++refreshes_;
      return snapshot;
    });
    UniqueFd l(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in in{};
    in.sin_family = AF_INET;
    in.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(l.get(), reinterpret_cast<sockaddr*>(&in), sizeof in), 0);
    ASSERT_EQ(listen(l.get(), 64), 0);
    socklen_t len = sizeof in;
    getsockname(l.get(), reinterpret_cast<sockaddr*>(&in), &len);
    port_ = ntohs(in.sin_port);
    server_->add_listener(std::move(l), false);
    server_->set_sasl(sasl);
    thread_ = std::thread([this] { server_->run(); });
  }
  void stop() {
    if (!thread_.joinable()) return;
    loop_->post([this] { server_->begin_shutdown(); });
    thread_.join();
  }
  void TearDown() override {
    stop();
    server_.reset();
    pool_.reset();
  }
  std::string capa_text() {
    return "+OK list follows\r\nTOP\r\nPIPELINING\r\nUIDL\r\nRESP-CODES\r\nAUTH-RESP-CODE\r\n.\r\n";
  }
  std::string read_capa(Client& c) {
    std::string out;
    for (;;) {
      std::string l = c.line();
      out += l;
      if (l == ".\r\n" || l.empty() || l[0] == '-') return out;
    }
  }

  TempDir dir_;
  std::unique_ptr<Reactor> loop_;
  std::unique_ptr<WorkPool> pool_;
  std::unique_ptr<SharedCounters> counters_;
  std::unique_ptr<PopServer> server_;
  std::thread thread_;
  std::atomic<int> refreshes_{0};
  int port_ = 0;
};

TEST_F(ServerTest, GreetingCapaQuit) {
  start();
  Client c(port_);
  EXPECT_EQ(c.line(), "+OK test POP3 service\r\n");
  c.send("capa\r\n");
  EXPECT_EQ(read_capa(c), capa_text());
  c.send("QUIT\r\n");
  EXPECT_EQ(c.line(), "+OK\r\n");
  EXPECT_TRUE(c.closed());
}

TEST_F(ServerTest, ChallengeOnlyWhenOffered) {
  // APOP needs secrets the SASL layer can read: a sasldb (empty will do).
  ASSERT_EQ(configmsg_init_text("sasl.pop.sasldb_path = " + (dir_ / "sasldb2") + "\n", "test", "t"), 0);
  saslglue_ctx* raw = nullptr;
  ASSERT_EQ(saslglue_init("server_test", "pop", nullptr, nullptr, nullptr, {}, &raw), SASL_OK);
  SaslGlueCtxPtr sasl(raw);
  PopSettings s;
  s.apop_offered = true;
  start(s, PopStartup(), sasl.get());
  Client a(port_), b(port_);
  std::string ga = a.line(), gb = b.line();
  EXPECT_EQ(ga.rfind("+OK test POP3 service <", 0), 0u) << ga;
  EXPECT_NE(ga.find("@mail.example.com>\r\n"), std::string::npos) << ga;
  EXPECT_NE(ga, gb);
  a.send("QUIT\r\n");
  b.send("QUIT\r\n");
  EXPECT_EQ(a.line(), "+OK\r\n");
  EXPECT_EQ(b.line(), "+OK\r\n");
  stop();
}

TEST_F(ServerTest, PipelinedBadInputEachAnsweredOnce) {
  start();
  Client c(port_);
  c.line();
  // One write: a command, an overlong line whose tail looks like a command,
  // a NUL line, wrong arguments, a mixed-case command.
  std::string burst = "CAPA\r\nCAPA " + std::string(600, 'x') + "QUIT\r\n" + std::string("NO\0OP\r\n", 7) +
                      "capa now\r\nXREFRESH x\r\nuser\r\nNOOP\r\nCaPa\r\n";
  c.send(burst);
  EXPECT_EQ(read_capa(c), capa_text());
  EXPECT_EQ(c.line(), "-ERR Line too long\r\n");
  EXPECT_EQ(c.line(), "-ERR Unrecognized command\r\n");       // NUL
  EXPECT_EQ(c.line(), "-ERR Unexpected extra argument\r\n");  // capa now
  EXPECT_EQ(c.line(), "-ERR Unexpected extra argument\r\n");  // XREFRESH x
  EXPECT_EQ(c.line(), "-ERR Missing argument\r\n");          // USER without a name
  EXPECT_EQ(c.line(), "-ERR Unrecognized command\r\n");       // NOOP: transaction state
  EXPECT_EQ(read_capa(c), capa_text());
  c.send("QUIT\r\n");
  EXPECT_EQ(c.line(), "+OK\r\n");
}

TEST_F(ServerTest, TooManyBadCommandsCloses) {
  PopSettings s;
  s.max_bad_commands = 3;
  start(s);
  Client c(port_);
  c.line();
  c.send("A\r\nB\r\nC\r\nD\r\n");
  EXPECT_EQ(c.line(), "-ERR Unrecognized command\r\n");
  EXPECT_EQ(c.line(), "-ERR Unrecognized command\r\n");
  EXPECT_EQ(c.line(), "-ERR Too many bad commands\r\n");
  EXPECT_TRUE(c.closed());
}

TEST_F(ServerTest, XrefreshFromLoopbackRefreshes) {
  start();
  Client c(port_);
  c.line();
  c.send("XREFRESH\r\n");
  EXPECT_EQ(c.line(), "+OK\r\n");
  EXPECT_EQ(refreshes_.load(), 1);
}

TEST_F(ServerTest, Refusals) {
  std::string err;
  PopSettings s;
  s.deny = AccessFilter::parse("127.0.0.1", &err);
  start(s);
  Client c(port_);
  EXPECT_EQ(c.line(), "-ERR Access denied\r\n");
  EXPECT_TRUE(c.closed());
}

TEST_F(ServerTest, PerAddressLimit) {
  std::string err;
  PopSettings s;
  s.connlimits = ConnLimits::parse("127.0.0.0/8:1", &err);
  start(s);
  Client a(port_);
  EXPECT_EQ(a.line(), "+OK test POP3 service\r\n");
  Client b(port_);
  EXPECT_EQ(b.line(), "-ERR Connection limit reached for your IP address\r\n");
  EXPECT_TRUE(b.closed());
  a.send("QUIT\r\n");
  EXPECT_EQ(a.line(), "+OK\r\n");
  EXPECT_TRUE(a.closed());
  Client c(port_);  // the address was released with the session
  EXPECT_EQ(c.line(), "+OK test POP3 service\r\n");
}

TEST_F(ServerTest, SessionLimitRefusesOverCapacity) {
  PopStartup st;
  st.maxsessions = 1;
  start(PopSettings(), st);
  Client a(port_);
  EXPECT_EQ(a.line(), "+OK test POP3 service\r\n");
  Client b(port_);
  EXPECT_EQ(b.line(), "-ERR Too many connections\r\n");
  EXPECT_TRUE(b.closed());
  PopStatSnapshot snap = counters_->snapshot();
  EXPECT_EQ(snap.value[kNumConnections], 2);
}

TEST_F(ServerTest, IdleSessionTimesOut) {
  PopSettings s;
  s.idle_timeout_s = 1;
  start(s);
  Client c(port_);
  c.line();
  EXPECT_TRUE(c.closed());
  EXPECT_EQ(counters_->current(), 0);
}

TEST_F(ServerTest, StopTellsSessionsAndEnds) {
  start();
  Client a(port_), b(port_);
  a.line();
  b.line();
  stop();  // returns only once the loop ended
  EXPECT_EQ(a.line(), "-ERR Server shutting down\r\n");
  EXPECT_EQ(b.line(), "-ERR Server shutting down\r\n");
  EXPECT_TRUE(a.closed());
  EXPECT_EQ(counters_->current(), 0);
}

TEST_F(ServerTest, EndlessLineClosesTheConnection) {
  start();
  Client c(port_);
  c.line();
  std::string chunk(64 * 1024, 'z');
  bool reset = false;
  for (int i = 0; i < 64 && !reset; ++i)  // up to 4 MB
    reset = ::send(c.fd(), chunk.data(), chunk.size(), MSG_NOSIGNAL) < 0;
  EXPECT_EQ(c.line(), "-ERR Line too long\r\n");
  EXPECT_TRUE(c.closed());
}

}  // namespace
