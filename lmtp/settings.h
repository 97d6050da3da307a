// orvlmtpd's command-line options and the values it reads once at start-up.
//
// Keys: service.lmtp.socket (the Unix socket, default "<store dir>/lmtp"),
// service.lmtp.port (a TCP port on the loopback address; 0, the default, is
// none), service.lmtp.maxrecipients (per transaction, default 100),
// service.lmtp.maxmessagesize (octets announced with SIZE; 0, the default,
// is no limit of ours) and service.lmtp.timeout (seconds a client may stay
// silent, default 300, as RFC 5321 4.5.3.2 asks of servers).  -s PATH and
// -p PORT override the first two; -d FD serves an inherited listening
// socket instead of opening any.  Problems are returned as warning lines;
// a bad value never stops the server.  The loader reads the configuration
// and so runs on the main thread before any other starts.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct config_cache;

struct LmtpOptions {
  std::optional<std::string> socket;  // -s
  int port = -1;                      // -p
  int fd = -1;                        // -d
};

inline constexpr const char* kLmtpUsage = "usage: orvlmtpd [-s PATH] [-p PORT] [-d FD] [--help]\n";

// 0 with *out filled; 1 for -h / --help; 64 for anything else (the caller
// prints kLmtpUsage).
int parse_lmtp_options(int argc, char** argv, LmtpOptions* out);

struct LmtpSettings {
  std::string socket;  // "" when no store directory is configured
  unsigned port = 0;
  unsigned max_recipients = 100;
  uint64_t max_size = 0;
  unsigned timeout_s = 300;
  std::string hostname;   // local.hostname, else the system's name
  std::string spool_dir;  // where message data waits: the first partition's message root
};

LmtpSettings load_lmtp_settings(config_cache* cfg, const LmtpOptions& opts, std::vector<std::string>* warnings);
