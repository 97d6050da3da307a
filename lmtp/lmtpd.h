// Start-up, life and end of the orvlmtpd process.
//
// lmtpd_run runs after the configuration was read and the options parsed,
// and returns the process's exit status.  The start-up order: signals
// blocked (the event loop takes them through a signalfd; every thread
// inherits the mask); settings; the TCP port on the loopback address (before
// the switch of user, so a low port can be used); switch to
// local.serveruser; log; the Unix socket (made by the server user, mode
// 0660); the state file "<store dir>/session/lmtpd.state" (one orvlmtpd
// per store); the mailbox list (the store daemon must be ready); the event
// loop, pool and server; "ready"; the loop until SIGTERM or SIGINT.
// Exit statuses: 0 after a clean stop; 75 the store daemon is not ready or
// another orvlmtpd serves this store; 77 no socket can be opened or the
// server user cannot be taken on; 78 bad configuration; 71 a system
// resource (epoll, signalfd) is missing.
#pragma once

#include "lmtp/settings.h"

int lmtpd_run(const LmtpOptions& opts);
