// The login list of this serving process: the sessions that completed a
// login, published for the connection report (orvconnutil -c -s pop).
//
// With local.pop.enableuserlist on, the first login of a process creates
// the shared-memory segment "<local.tmpdir>/pop.<pid>" of
// service.pop.maxsessions slots (the layout is the one of the login lists
// of the IMAP service, documented in connutil/connutil.h); each login
// fills a free slot and the end of the session clears it, both written so
// that a reader never takes a half-written slot.  The segment is deleted
// when the process ends normally; one left by a killed process belongs to
// a process id that no longer runs, which the report skips, and the next
// serving process to create its own segment deletes it.
//
// Thread-safe (one mutex).  Failures are logged once per process and never
// affect the session.
#pragma once

#include <cstdint>
#include <string>

// Publishes session (the server's session id) as a login of userid by
// authtype on the connected socket fd.
void userlist_login(uint64_t session, const std::string& userid, const std::string& authtype, int fd);
// Clears the slot of session, if it has one.
void userlist_logout(uint64_t session);
