// The connection and last-access report (orvconnutil).
//
// -a prints, per user, the last access over IMAP, web mail and POP from the
// quota records of the mailbox list.  -c lists the users logged in now: the
// IMAP and POP servers publish their sessions in one shared-memory segment
// per serving process (the login list below), the web-mail server keeps its
// sessions in a Berkeley DB database.  Both are written by other programs,
// so everything read from them is untrusted: text fields are printed with
// bounded widths, counts are clamped, short records are skipped.
//
// Login list segment "<local.tmpdir>/<service>.<pid>", native byte order,
// maxsessions * 532 + 4 bytes:
//   0        4  hiwatermark_indx   slots in use; -1 means all maxsessions
//   4+532*i  532 login record i:
//     0    128 uid              NUL-terminated when it fits
//     128  256 auth_adm_uid     administrator who authenticated for the user
//     384    4 login_time       seconds since the epoch
//     388   50 from_ip          client address text
//     438   50 to_ip            server address text
//     488    4 src_tcp_port     client port
//     492    4 dest_tcp_port    server port
//     496   20 authtype         authentication type text
//     516    1 is_valid         1 while the slot holds a live login
//     517    3 -                alignment
//     520    4 counter          changed by the writer around every rewrite
//     524    4 indx             slot index
//     528    4 nextfreeindex    free-list link
// A writer rewrites a slot as: is_valid = 0, counter + 1, the fields,
// counter + 1, is_valid = 1.  A reader takes a slot only when it was valid
// and the counter was the same before and after its copy, so it never
// prints a half-rewritten record.
//
// Web-mail session record: the value of the 8-byte session id key is an
// 88-byte record (login_time @0, remoteaddr @12 as four address bytes in
// memory order, remote_tcp_port @16, conn_addr @20 (20 bytes) are used here)
// followed by the NUL-terminated user id.
//
// Single-threaded.  Functions return exit statuses (CONNUTIL_*) where they
// decide the outcome of the program; the parsers return false on bad input.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "common/loginslot.h"

// Exit statuses.
inline constexpr int CONNUTIL_OK = 0;
inline constexpr int CONNUTIL_USAGE = 64;      // also: the report is not enabled
inline constexpr int CONNUTIL_PATHLONG = 65;   // a segment name of 1025 characters or more
inline constexpr int CONNUTIL_NOPROCESS = 66;  // no serving process found
inline constexpr int CONNUTIL_SYSERR = 70;     // database or system error
inline constexpr int CONNUTIL_CONFIG = 78;     // the configuration could not be read
inline constexpr int CONNUTIL_NOTFOUND = 79;   // not logged in, or no access record
// Returned from main after a deferred signal; a parent sees its low eight
// bits, 9.
inline constexpr int CONNUTIL_INTERRUPTED = 777;

inline constexpr size_t SESSION_RECORD_SIZE = 88;
inline constexpr int CONNUTIL_MAX_PROCS = 64;

struct connutil_options {
  bool connected = false;  // -c
  bool access = false;     // -a
  std::string service;     // -s, "" for both
  std::string uid;         // -u
  std::string file;        // -f
  bool help = false;
  bool version = false;
};

// Parses the command line ("acu:s:f:-:"); usage errors are written to err
// in their fixed order followed by the usage text.  0, or CONNUTIL_USAGE.
// --help and --version set their flags (nothing is printed).
int connutil_parse(int argc, char** argv, connutil_options* opts, FILE* err);
void connutil_usage(FILE* err);

// "%d/%b/%Y:%H:%M:%S" in local time; "----NOT-RECORDED----" for 0.
std::string connutil_time2str(time_t t);

// The user of a quota root "user/<id>"; false for the roots of shared
// folders, which the access report leaves out.
bool connutil_user_of_root(const char* root, std::string* user);
// A line of the access report: user, then the IMAP, HTTP and POP times.
std::string connutil_format_access(const char* name, uint32_t pop, uint32_t imap, uint32_t http);

// One login slot as copied out of a segment; the texts are cut at their
// field size when the writer left no NUL.
struct login_slot {
  std::string uid, auth_adm_uid, from_ip, to_ip, authtype;
  uint32_t login_time = 0;
  int32_t src_tcp_port = 0, dest_tcp_port = 0;
};
// Decodes the 532 bytes of a record.
void connutil_decode_slot(const unsigned char* rec, login_slot* out);
// The number of slots to scan for a header value: -1 and values beyond
// maxsessions give maxsessions, other negative values 0.
size_t connutil_clamp_hiwater(int32_t raw, size_t maxsessions);
// Reads slot rec (4-aligned, in a segment others write) consistently: false
// when it is not valid or was rewritten during the copy.  between (tests)
// runs after the first counter read, before the copy.
bool connutil_read_slot(unsigned char* rec, login_slot* out, void (*between)(void*) = nullptr, void* arg = nullptr);
// The listing line of a slot (without the empty line after it).
std::string connutil_format_login(const login_slot& s);

// A web-mail session record.
struct session_rec {
  std::string uid;
  uint32_t login_time = 0;
  unsigned char addr[4] = {};
  int32_t port = 0;
  std::string conn_addr;
};
// false for a value shorter than 89 bytes or without a NUL after the record.
bool connutil_decode_session(const void* data, size_t len, session_rec* out);
// The listing line of a record; the first record of a walk has no brackets.
std::string connutil_format_session(const session_rec& r, bool first, int proxy_port);

// Process ids (at most CONNUTIL_MAX_PROCS, ascending) of the processes of
// user uid under proc_root whose command line contains "<service>d", self
// excluded.  0, or -1 when proc_root cannot be read.
int connutil_find_processes(const char* proc_root, const std::string& service, uid_t uid, pid_t self,
                            std::vector<pid_t>* pids);

// Reads the next name of a user file: false at the end.  Line ends are
// removed; empty lines skipped; a line longer than 128 characters is
// skipped with a warning on warn.
bool connutil_next_user(FILE* f, std::string* name, FILE* warn);

// The whole report after option parsing and configuration (main does
// those): the -a and -c parts, returning the exit status.
int connutil_run(const connutil_options& opts);
