// The POP3 server's settings: command-line options, the values read once at
// start-up, and the refreshable settings.
//
// The refreshable settings are an immutable snapshot: the event loop builds
// a new PopSettings on refresh (SIGHUP, XREFRESH) and swaps its
// shared_ptr; a session or a queued piece of work that holds the old one
// keeps using it unchanged.  Nothing here keeps a pointer into the
// configuration, which a refresh frees.  The loaders read the configuration
// and so run on the event-loop thread only, never while another thread
// refreshes it.  Problems are returned as warning lines for the caller to
// log; a bad value never stops the server.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "pop/access.h"
#include "pop/login.h"
#include "pop/tls.h"

struct config_cache;

// Options "01d:D:p:P:a:x".
struct PopOptions {
  bool slave = false;    // -0: started by the first process; opens no sockets
  bool single = false;   // -1: serve one session, then stop
  int plain_fd = -1;     // -d: inherited listening socket of the plain port
  int tls_fd = -1;       // -D: inherited listening socket of the TLS port
  int port = -1;         // -p
  int sslport = -1;      // -P
  std::optional<std::string> listenaddr;  // -a
  bool strict = false;   // -x: GURL is not a command
};

inline constexpr const char* kPopUsage = "usage: popd [-1] [-x] [-[dD] <desc>] [-[pP] port] [-a listenaddr]\r\n";

// 0 with *out filled; 1 for --help; 64 for anything else (the caller prints
// kPopUsage).
int parse_pop_options(int argc, char** argv, PopOptions* out);

// Read once at start-up: the shape of the service.
struct PopStartup {
  unsigned numprocesses = 1;   // service.pop.numprocesses (1 with -1)
  unsigned maxsessions = 1000; // per process
  unsigned maxthreads = 500;   // bound of the blocking-work pool
  bool plain_enabled = true;   // service.pop.enable
  unsigned plain_port = 110;
  bool use_tls = true;         // service.pop.sslusessl
  bool tls_port_enabled = true;  // service.pop.enablesslport
  unsigned tls_port = 995;
  std::string listenaddr;      // "" = any address
  TlsSettings tls;
  bool strict = false;
  bool single = false;
  std::string version;         // product version for log lines
  // local.popstatuskludge: every transfer starts with "Status: R" (seen by
  // an earlier POP session) or "Status: U", and sizes count that line.
  bool status_line = false;
  bool emulate_qpopper = false;  // service.pop.emulateqpopper: the older login and LIST texts
  bool statlog = false;          // local.poplogmboxstat: "POP3 Login/Logout" lines with the counts
  // local.ugldaphost set: passwords are checked against the directory and
  // INBOXes provisioned from it at first login.  Read once, so the SASL
  // back-end chosen at start-up and provisioning always agree.
  bool directory = false;
};

PopStartup load_startup(config_cache* cfg, const PopOptions& opts, std::vector<std::string>* warnings);

// Refreshable.
struct PopSettings {
  std::string hostname;          // greeting and challenge host
  std::string banner;            // greeting text after "+OK ", without line end
  bool dns_resolve_client = false;
  std::string instancedir;
  unsigned idle_timeout_s = 600;
  std::optional<AccessFilter> allow;  // nullopt: not set (or invalid)
  std::optional<AccessFilter> deny;
  std::optional<ConnLimits> connlimits;
  bool apop_offered = false;     // sasl.default.ldap.has_plain_passwords
  unsigned max_bad_commands = 20;  // 0 = no limit
  PlaintextLogin plaintext = PlaintextLogin::kTls;  // service.pop.plaintextlogin
  unsigned max_auth_failures = 3;  // service.pop.maxauthfailures; 0 = no limit
  std::string defaultdomain;     // service.defaultdomain: the realm of SASL names
  bool last_access = false;      // local.enablelastaccess: a logout records the POP access time
  std::string account_url;       // gen.accounturl: GURL's answer ("" = GURL fails)
};

// system_host is the host name found at start-up (used when local.hostname
// is not set).
std::shared_ptr<const PopSettings> load_settings(config_cache* cfg, const std::string& system_host,
                                                 std::vector<std::string>* warnings);

// The system's host name, resolved to its canonical name when the resolver
// knows it.  May block on the resolver: start-up only.
std::string system_host_name();
