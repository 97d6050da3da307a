// Start-up, life and end of one orvpopd process.
//
// popd_run runs after the configuration was read and the options parsed,
// and returns the process's exit status.  The start-up order:
//   signals blocked (the signalfd takes them; every thread inherits the
//   mask); start-up values and settings; descriptor limit; host name;
//   listening sockets (unless -0, -d or -D); listen (first process); switch
//   to local.serveruser; log; pid file "<store dir>/session/popd.state"
//   (first process, "starting"); TLS; shared counters (reset by the first
//   process); mailbox list (mboxlist_init: the store daemon must be ready);
//   store notification; "Corvane POP3 <version> starting up"; the event loop,
//   pool and server; the other processes (first process); pid file "ready";
//   the loop until SIGTERM/SIGINT (or the end of the one session of -1).
// Exit statuses: 0 after a clean stop; 64 bad listen address; 77 a listening
// socket cannot be opened or the server user cannot be taken on; 75 the
// store daemon is not ready or another orvpopd serves this store; 78 bad
// configuration; 71 a system resource (epoll, signalfd) is missing.
#pragma once

#include "pop/settings.h"

int popd_run(const PopOptions& opts);
