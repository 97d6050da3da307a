// Local delivery of one message into users' folders, behind `orvdeliver`
// and the LMTP server `orvlmtpd`.
//
// The message arrives as an MTA hands it to a pipe transport: RFC 5322 text
// with LF or CRLF line ends, possibly led by an mbox "From " envelope line.
// It is stored with CRLF line ends.  One message goes to one or more users;
// their folders on one partition share one file (hard links through the
// single-copy table of store/append.h).
//
// Exit statuses are those mail transfer agents understand (sysexits): 0
// delivered; 75 EX_TEMPFAIL for a full quota within its grace period and
// for every failure that may pass (a locked folder, a full disk, a store
// that is not running, a directory that cannot answer, a user whose INBOX
// is on disk but missing from a damaged mailbox list); 67 EX_NOUSER for a
// user without an INBOX (or, with a directory configured, without an entry
// in it or kept on another mail host: a directory user's INBOX is made on
// the first delivery, see store/autocreate.h); 65
// EX_DATAERR for a message the store refuses (empty, NUL bytes, too large);
// 73 EX_CANTCREAT for a quota exceeded beyond its grace period; 64 for a
// bad command line.  With several users the status is the most retryable
// one: 75 if any delivery may be retried, so the MTA never bounces mail it
// could still deliver (run one user per call to avoid repeated copies, see
// the README).
//
// The LMTP server takes the steps one recipient at a time (resolve and
// check at RCPT, append after the data); deliver_exit_status classifies
// every result for both programs, so a failure is temporary or permanent
// alike for each of them.
//
// The store must be started (configuration loaded, mboxlist_init done).
// Failures are logged by the store; one line per user goes to err.  Every
// function may block (folder locks, the directory): servers call them from
// their blocking-work pool.  Distinct calls may run on different threads at
// once; one appendmsg is used by one thread at a time.
#pragma once

#include <cstdio>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

inline constexpr int DELIVER_OK = 0;
inline constexpr int DELIVER_USAGE = 64;
inline constexpr int DELIVER_DATAERR = 65;
inline constexpr int DELIVER_NOUSER = 67;
inline constexpr int DELIVER_CANTCREAT = 73;
inline constexpr int DELIVER_TEMPFAIL = 75;

// The message as stored: a leading "From " envelope line dropped, every
// line end made CR LF (a lone LF gets its CR; CR LF stays; a CR not before
// LF is kept as it is).
std::string deliver_canonicalize(std::string_view in);

// The exit status for the result of one delivery.
int deliver_exit_status(int code);

// Combines two statuses of a multi-user delivery.
int deliver_combine(int a, int b);

struct appendmsg;

// Why the store would refuse a message whatever its folder: 0, or
// IMAP_MESSAGE_NOBLANKLINE (empty), IMAP_MESSAGE_CONTAINSNULL or
// IMAP_MESSAGE_TOO_LARGE.
int deliver_refusal(const char* base, size_t size);

// The folder (internal name) that user's mail goes to: the user's folder
// `folder` (client name) when given and present, else the INBOX.  A
// directory user's missing INBOX is provisioned here.  0, or
// IMAP_MAILBOX_BADNAME for a user id that cannot name a folder, or the
// provisioning's errors (IMAP_MAILBOX_NONEXISTENT for a user the directory
// does not know).
int deliver_resolve(const std::string& user, const char* folder, std::string* name);

// Whether a message of size octets (0: not known yet) could be appended to
// folder name now: the folder exists and takes mail and the quota has room
// (IMAP_QUOTA_EXCEEDED within the grace period, _PERSISTENT beyond it).
// Nothing is changed.
int deliver_check(const std::string& name, size_t size);

// Appends the message of m (base and size set, the rest as append_msg
// wants it) to folder name.  Keep one m for all the folders of one message:
// its single-copy table makes the copies on one partition one file.
int deliver_append(appendmsg* m, const std::string& name, time_t internaldate);

// Delivers msg (already canonical) to each user's INBOX, or to the user's
// folder `folder` (client name, e.g. "Lists/dev") when given and present;
// a missing folder falls back to the INBOX.  internaldate 0 means now.
// Returns the combined exit status; one line per user goes to err.
int deliver_message(const std::string& msg, const std::vector<std::string>& users, const char* folder,
                    time_t internaldate, FILE* err);
