// Appending messages to folders, single-copy storage and per-user marks.
//
// Every message enters a folder here: the target is opened for append
// (append_setup) with rights, version and quota checks, the message file is
// placed in the folder's message directory, parsed into the cache
// (store/message.h), its index record added, the quota usage and the list
// record updated and the event plug-in told (store/storenotify.h).  When
// one message goes to several folders, the copies on one partition share a
// file through hard links: the single-copy table remembers, per partition,
// a file that already holds the message.
//
// Ownership: an appendmbox holds the open target handle between
// append_setup and append_finish (or the caller's handle when it fills the
// pointer itself).  An appendmsg is filled by the caller; append_freemsg
// frees its table, its map, its fname (unless borrowed) and itself (unless
// caller storage).
//
// Locks: append_setup takes the target's index lock and it is held by every
// append_msg / stream / append_copy call; append_finish releases it,
// append_copy always releases it.  append_addperuser takes the user's
// per-user lock (seen module) inside the index lock.
//
// Durability and failure: the commit point of one append is the list
// record's update (mboxlist_updatedata, which also writes the index's fixed
// header).  A failure before it removes the new message file (never a file
// the message shares with another folder), cuts the partial cache entry off
// the index file and restores the handle's folder data, so the folder is
// exactly as before.  Failures after it (a keyword slot header rewrite, the
// per-user marks) keep the committed message and report the error.
// A target opened with MAILBOX_OPEN_DEFERSYNC (append_setup's mode) is
// not flushed per message: the caller flushes the folder once with
// mailbox_flush (store/mailbox.h) before it counts the messages stored.
// Results are 0, errno values or imap_err codes; each failing system call
// is logged once (priority 59) with its path.
#pragma once

#include <sys/uio.h>

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>

#include "store/mailbox.h"
#include "store/quota_record.h"

struct auth_state;

// Folder version that holds mail (append_setup's `version`).
inline constexpr uint32_t APPEND_VERSION_MAIL = MBOX_VERSION;
// aclcheck value that skips the rights check.
inline constexpr long APPEND_ACL_NOCHECK = 0x80000;

// Rights bits of myrights used by appends.
enum : long {
  APPEND_RIGHT_LOOKUP = 0x1,
  APPEND_RIGHT_SEEN = 0x4,
  APPEND_RIGHT_WRITE = 0x8,  // flags and keywords
  APPEND_RIGHT_INSERT = 0x10,
  APPEND_RIGHT_DELETE = 0x80,
};

// System flag bits set from client flags.
enum : uint32_t {
  FLAG_ANSWERED = 1,
  FLAG_FLAGGED = 2,
  FLAG_DELETED = 4,  // marked for removal by the next expunge
  FLAG_DRAFT = 8,
};

// The append context.
struct appendmbox {
  struct mailbox* mailbox = nullptr;  // the target; points at `handle` after append_setup
  unsigned count = 0;                 // messages appended through this context
  struct mailbox handle;              // storage for append_setup
};

// Single-copy table entry: a file on `partition` that holds the message.
struct singleMsg {
  char* partition;
  char* msgfilename;
  singleMsg* next;
};

// appendmsg.flags
enum : int {
  APPENDMSG_CALLER_STORAGE = 1,  // the struct is not freed by append_freemsg
  APPENDMSG_FNAME_BORROWED = 4,  // fname is not freed
};

// One message to append.
struct appendmsg {
  int flags = 0;
  const iovec* pre = nullptr;              // written in front of the message (may be null)
  const char* base = nullptr;              // the message (required)
  size_t size = 0;                         // must not be 0
  map_handle* map = nullptr;               // map of the message file, when it was mapped
  char* fname = nullptr;                   // a file already holding the message, or null
  const char* xauthen = nullptr;           // cache item 11, or null
  singleMsg* singleMsgList = nullptr;      // single-copy table
  const char* currentPartition = nullptr;  // null: no single copy wanted
};

// A message arriving in pieces.
struct appendstream {
  appendmbox* ambox = nullptr;
  unsigned size_left = 0;  // announced bytes not yet received
  int destfd = -1;         // the message's temporary file, -1 when none
  unsigned size = 0;       // bytes of the current message, terminator included
  int header_state = 0;    // state of the header check
  uint64_t total_size = 0;
  unsigned total_messages = 0;
  // The temporary file of the current message, in the folder's message
  // directory ("" when none).
  char tmpname[1100] = {};
};

// A message to copy from another folder.
struct copymsg {
  uint32_t uid = 0;
  uint32_t internaldate = 0;
  uint32_t sentdate = 0;
  uint32_t size = 0;
  uint32_t header_size = 0;
  const char* cache_begin = nullptr;  // the source's cache entry
  uint32_t cache_len = 0;
  int peruser_flags = 0;  // bit 0 seen, bit 1 deleted for the copying user
  uint32_t system_flags = 0;
  const char* flag[MAX_USER_FLAGS + 1] = {};  // keyword names, null-terminated
  // The source record's origin (0: the source uid / source uid_validity).
  uint32_t orig_uid = 0;
  uint32_t orig_uidvalidity = 0;
};

// Opens folder name with mode | MAILBOX_OPEN_APPEND into ambox->handle and
// runs append_setup_mailbox; the handle is closed on failure.  On success
// the index lock is held.  quotacheck: 0 no quota check, > 0 bytes to
// check, < 0 minus the size of one message (also checked against the whole
// limit: IMAP_MESSAGE_TOO_LARGE).
[[nodiscard]] int append_setup(appendmbox* ambox, const char* name, int mode, uint32_t version,
                               const auth_state* auth_state, long aclcheck, long quotacheck);
// Rights, version and quota checks on an open folder; takes the index lock
// (released again on failure).  IMAP_PERMISSION_DENIED /
// IMAP_MAILBOX_NONEXISTENT (rights), IMAP_MAILBOX_NOTSUPPORTED (version),
// IMAP_MESSAGE_TOO_LARGE, IMAP_QUOTA_EXCEEDED (retry later),
// IMAP_QUOTA_EXCEEDED_PERSISTENT, IMAP_IOERROR, or the lock's errors.
[[nodiscard]] int append_setup_mailbox(mailbox* mailbox, uint32_t version, long aclcheck, long quotacheck);

// Appends one message (index lock held).  flag: nflags names ("\Seen",
// keywords, ...); userid: the user whose seen/deleted marks are set (may be
// null); orig_uid / orig_uidvalidity stored when non-zero; notnotify
// suppresses the event; uid, when above last_uid, is the uid to use.
// *uidp (may be null) receives the uid given.  IMAP_MAILBOX_FULL, with the
// folder untouched, when the next uid would pass 4294967295: uids never
// wrap.
[[nodiscard]] int append_msg(appendmbox* ambox, appendmsg* msg, time_t internaldate, const char* const* flag,
                             int nflags, const char* userid, uint32_t orig_uid, uint32_t orig_uidvalidity,
                             int notnotify, uint32_t uid, uint32_t* uidp = nullptr);
// Appends a message held in memory.
[[nodiscard]] int append_fromstring(appendmbox* ambox, const char* message, size_t size, time_t internaldate,
                                    const char* const* flag, int nflags, const char* userid, const char* xauthen);

// Streams.  start announces a message of size bytes; data passes pieces
// through the header check into the message's temporary file; finish adds a
// header terminator when the data ended inside the header, syncs and
// appends the file; abort removes the temporary file of an unfinished
// message (messages already finished stay appended).  Any error aborts.
// start refuses a folder whose uids are used up (IMAP_MAILBOX_FULL).
[[nodiscard]] int append_stream_start(appendstream* astream, unsigned size);
[[nodiscard]] int append_stream_data(appendstream* astream, const char* ptr, unsigned length);
[[nodiscard]] int append_stream_finish(appendstream* astream, time_t internaldate, const char* const* flag, int nflags,
                                       const char* userid, int notnotify);
void append_stream_abort(appendstream* astream);

// The header check of streams, one byte at a time from *state (1 at the
// start of a message): 0, IMAP_MESSAGE_CONTAINSNULL,
// IMAP_MESSAGE_BADHEADER or IMAP_MESSAGE_CONTAINSNL (a LF without CR).
[[nodiscard]] int append_header_check(int* state, const char* p, size_t n);
// Bytes that end a message cut inside its header in state (1..7).
const char* append_header_terminator(int state);

// Copies nummsg messages of mailbox into append_mailbox, whose index lock
// the caller holds; always releases that lock.  userid: the user whose
// per-user marks are copied.  IMAP_MAILBOX_FULL (nothing copied) when the
// new uids would pass 4294967295.
[[nodiscard]] int append_copy(mailbox* srcmailbox, mailbox* append_mailbox, int nummsg, const copymsg* msgs,
                              const char* userid);
// Marks uids start..end seen (peruser_flag 1) or deleted (2) for userid.
[[nodiscard]] int append_addperuser(mailbox* mailbox, const char* userid, int peruser_flag, uint32_t start,
                                    uint32_t end);
// Appends the range start:end to a per-user uid set in compact form.
void append_addrange(std::string* set, uint32_t start, uint32_t end);

// Releases the index lock taken by append_setup and closes the handle it
// opened.
void append_finish(appendmbox* ambox);
// Frees the table, the map, fname (unless borrowed) and msg (unless caller
// storage).
void append_freemsg(appendmsg* msg);

// Single-copy table.
const char* append_locate_singlecopy(const appendmsg* msg, const char* partition);
void append_add_singlecopy(appendmsg* msg, const char* partition, const char* msgfilename);
void append_replace_singlecopy(appendmsg* msg, const char* partition, const char* msgfilename);
void append_free_singlecopy(appendmsg* msg);

// Places a message file at toname by hard link, or by writing iov (when
// given), or by copying fromname.  0 or IMAP_IOERROR.
[[nodiscard]] int append_linkfile(const char* fromname, const char* toname, const iovec* iov, int iovcnt);

// Sends the over-quota warning when due (never fails the append): when the
// usage of qd (the root of mailbox) has reached store.quotawarn percent
// (100 with overdraft) and no warning was sent within
// store.quotaexceededmsginterval days, the text of store.quotaexceededmsg
// is composed for the owner from his directory entry (language, first mail
// address) and appended through mailbox itself, whose index lock the caller
// holds; then qwarn is set.  Without a directory (local.ugldaphost), with
// the directory unreachable or without a usable text, nothing is appended
// and qwarn stays unset (logged).
void append_overquota_notification(mailbox* mailbox, const quotadata* qd, int overdraft);
