// Readiness of the store daemon, seen from the other store processes.
//
// The daemon announces itself through "<store dir>/session/<name>.state":
// it holds an exclusive lock on the file for its whole life and writes
// "starting <pid>" into it, then "ready <pid>" once recovery is done.  A process asks
// with store_session_ready_test: the daemon is ready when the file says
// "ready" AND its lock is held (a file left by a daemon that died is not
// locked, so a crash never looks ready).
#pragma once

#include <cstdio>
#include <string>

// 1 when the service is up and ready, 0 otherwise (not running, still
// starting, no store directory).
int store_session_ready_test(const char* name);

// The path of a service's state file, or "" when no store directory is
// configured.
std::string service_state_file(const char* name);
// 0 once the service whose state file is at path is gone for sure (the file
// removed, or nobody holds its lock); 1 while it lives or when that cannot be
// told (no descriptor left, say).  Takes no lock and reads no
// configuration, so a watcher thread may call it at any time.
int service_running_at(const std::string& path);

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

// Process hygiene, the first step of every program: opens /dev/null on
// whichever of descriptors 0, 1 and 2 is closed (so that no file opened
// later, a log file say, becomes standard output or error by accident) and
// sets the umask to 027.  0, or errno when /dev/null cannot be opened.
int service_hygiene();

// Checks, in a process that runs as the store's owner (after
// configmsg_setuid), that the store's own files belong to it: the store
// directory and its entries three levels down (session and state files, the
// mailbox list directory with its databases, regions and folder-lock
// environment, stored values, the default log directory), plus the log
// directory and the database region directory when the configuration puts
// them elsewhere.  Partition trees are not walked.  A process running as
// root is not checked: it can use any file.  A file that belongs to another
// user would fail later with a bare "permission denied" (a state file left
// by a daemon that once ran as root makes every client fail), so the first
// one found is named on err and EACCES is returned.  Nothing is changed:
// giving files away is the operator's decision.  0 otherwise.  Meant to run
// before the log file is opened, which it checks as well.
int service_check_owner(FILE* err);
