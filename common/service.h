// Readiness of the store daemon, seen from the other store processes.
//
// The daemon announces itself through "<store dir>/session/<name>.state":
// it holds an exclusive lock on the file for its whole life and writes
// "starting <pid>" into it, then "ready <pid>" once recovery is done.  A process asks
// with store_session_ready_test: the daemon is ready when the file says
// "ready" AND its lock is held (a file left by a daemon that died is not
// locked, so a crash never looks ready).
#pragma once

// 1 when the service is up and ready, 0 otherwise (not running, still
// starting, no store directory).
int store_session_ready_test(const char* name);

// The pid written in the state file (whether or not the service still
// runs), or 0.
long service_pid(const char* name);

// Daemon side.  service_announce creates and locks the state file and
// writes "starting"; it returns the descriptor to keep open (and locked)
// for the daemon's life, or -1 with errno (EWOULDBLOCK: another instance
// holds it).  service_set_ready writes "ready"; service_withdraw removes
// the file and closes the descriptor.
int service_announce(const char* name);
int service_set_ready(int fd);
// Takes readiness back while the service repairs what it serves (new
// clients refuse to start as if it were starting); service_set_ready
// gives it again.
int service_set_recovering(int fd);
void service_withdraw(const char* name, int fd);
