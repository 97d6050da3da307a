// One POP3 connection: admission, greeting, command loop, STLS, idle
// time-out and the end of the session.
//
// A Session belongs to the PopServer of its process and lives on that
// process's event loop: every method runs on the loop thread, and work
// sent to the blocking pool comes back to the session through the server,
// which looks it up by id (a session that ended meanwhile is simply not
// found).  The session owns its socket (or the TLS connection that took the
// socket over), its line reader and its output buffer.
//
// Reading stops while more than kOutputHighWater octets of responses wait
// for the client, and while the session waits for blocking work, a TLS
// handshake or the end of its output; pipelined commands already read are
// answered in one pass, their responses sent together.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/unique_fd.h"
#include "pop/access.h"
#include "pop/command.h"
#include "net/linereader.h"
#include "net/reactor.h"
#include "pop/telemetry.h"
#include "pop/tls.h"

class PopServer;
struct saslglue_conn;
struct Maildrop;
struct Transfer;

inline constexpr size_t kOutputHighWater = 256 * 1024;

// The client as shown in log lines: the resolved name (at most 200
// characters) when known, then "[1.2.3.4:5678]" for IPv4 or
// "[2001:db8::1]:5678" for IPv6; "[local]" for anything else.
std::string client_host_text(const ClientAddr& addr, std::string_view name);

class Session final : public IoHandler {
 public:
  Session(PopServer& server, uint64_t id, UniqueFd fd, const ClientAddr& addr, bool tls_port);
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  uint64_t id() const { return id_; }
  bool ended() const { return state_ == State::kEnded; }

  // Starts admission (resolving the client's name on the pool first when
  // configured).
  void start();
  void on_io(uint32_t events) override;
  // Continues reading and writing (after a deferral).
  void drive();
  // The service stops: an idle session is told so and closed; one in the
  // middle of a handshake is closed at once.
  void server_stopping();
  // Ends the session now, whatever it was doing (the shutdown bound ran out).
  void abort();

 private:
  enum class State {
    kResolving,  // waiting for the client's name
    kHandshake,  // TLS handshake running
    kCommands,   // reading and answering commands
    kBusy,       // waiting for blocking work or a failed login's delay; nothing is read
    kStartTls,   // "+OK" to STLS queued; the handshake starts once it is sent
    kClosing,    // last response queued; the session ends once it is sent
    kEnded,
  };
  enum class EndReason { kQuit, kPeerClosed, kNetworkError, kTimedOut, kRefused, kServer };
  enum class Io { kOk, kAgain, kClosed, kError };

  void admit(std::string hostname);
  void process_lines();
  void handle_line(std::string_view line, bool has_nul);
  void execute(const CommandSpec& spec, const ParsedCommand& cmd);
  void capa();
  // Authentication.
  bool plaintext_ok() const;
  saslglue_conn* sasl_conn();
  void user(const ParsedCommand& cmd);
  void pass(const ParsedCommand& cmd);
  void apop(const ParsedCommand& cmd);
  void auth(const ParsedCommand& cmd);
  void auth_response(std::string_view line);
  // Runs a SASL step on the pool; result handles its outcome on the loop.
  void sasl_work(std::function<int(saslglue_conn*, std::string*)> step, const char* mech);
  void sasl_result(int r, const std::string& out, const char* mech);
  void auth_failed(int saslerr, const std::string& detail, const char* mech);
  void plaintext_refused();
  void delayed_failure(std::string response);
  void login(const char* mech);
  void login_done(int r, const std::string& userid, std::shared_ptr<Maildrop> drop, const std::string& mech,
                  TelemetryFile telemetry, time_t login_time);
  void stls();
  // After a handshake: the user a verified client certificate names, when
  // client authentication is configured.
  void map_client_certificate();
  // Transaction state.
  void transaction(const CommandSpec& spec, const ParsedCommand& cmd);
  // The one message number of LIST n, RETR n ...: its number when the
  // message exists, else null with the error answered.
  std::optional<uint32_t> message_argument(const ParsedCommand& cmd);
  void start_transfer(uint32_t n, std::optional<uint64_t> body_lines, std::string status);
  // The next step of the transfer; adds what it read to *turn.  kAgain when
  // the socket takes no more now, kError when the session must end.
  Io pump_transfer(size_t* turn);
  void quit();
  void quit_done(int r);
  void reply(std::string_view text);
  void reply_bad(const char* text);
  void close_after_output(EndReason why);
  void begin_tls();
  void continue_handshake();
  Io read_some(char* buf, size_t cap, size_t* got);
  Io flush();
  bool output_pending() const;
  void arm_idle_timer(int64_t ms);
  void idle_timer_fired();
  void end(EndReason why);

  PopServer& server_;
  uint64_t id_;
  UniqueFd fd_;                  // plain connection
  std::unique_ptr<TlsConn> tls_; // once TLS runs it owns the socket
  int os_fd_;
  ClientAddr addr_;
  std::string clienthost_;
  bool tls_port_;
  bool bad_certificate_ = false;
  std::string external_id_;      // the user of a verified client certificate (SASL EXTERNAL), or ""
  bool counted_ = false;         // in the shared session counts
  bool ip_counted_ = false;      // in the per-address counts
  State state_ = State::kResolving;
  EndReason end_reason_ = EndReason::kQuit;
  std::string after_handshake_;  // greeting or refusal sent once TLS runs
  LineReader reader_;
  std::string out_;
  size_t out_off_ = 0;
  std::string challenge_;
  std::string user_;             // set by USER, cleared by a failed PASS
  std::shared_ptr<saslglue_conn> sasl_;  // made on first use, dropped by STLS
  bool in_exchange_ = false;     // AUTH: the next line is the client's response
  std::string auth_mech_;        // of the exchange under way
  unsigned auth_failures_ = 0;
  bool logged_in_ = false;
  std::string userid_;           // the store user id once logged in
  time_t login_time_ = 0;
  bool gurl_logged_ = false;     // a failed GURL was logged (once per session)
  std::shared_ptr<Maildrop> maildrop_;
  TelemetryFile telemetry_;      // every octet moved after the login, when the admin asked for it
  std::string end_detail_;       // why a session ends with kNetworkError, when no system error says it
  std::unique_ptr<Transfer> transfer_;  // RETR or TOP being sent
  bool expunging_ = false;       // QUIT's expunge runs on the pool
  PopState pop_state_ = PopState::kAuthorization;
  unsigned bad_commands_ = 0;
  uint64_t bytes_in_ = 0;
  uint64_t bytes_out_ = 0;
  int64_t last_io_ms_ = 0;
  uint64_t last_sent_ = 0;       // bytes_out_ when the idle timer last looked
  Reactor::TimerId idle_timer_ = 0;
};
