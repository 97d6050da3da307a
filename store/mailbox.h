// A folder's files: the index file with its cache area, the expunge log and
// the message files, the open-folder handle `mailbox`, and the folder life
// cycle (create, delete, rename, expunge, clean-up of expunged files).
//
// Files of a folder.  The index directory `path` holds:
//   store.idx     the index file (layout below)
//   store.exp     the expunge log (layout at mailbox_lock_expunge)
//   store.cch     the cache file of the older format; read once by the
//                 conversion, then removed
//   index.new, expunge.new   replacements being written; renamed over the
//                 real file only when complete and synced
//   store.usr, store.sub     per-user state and subscriptions (seen module)
// The message directory `msgpath` (often the same directory) holds one file
// per message, "NN/UID.msg" with NN = (uid / 100) mod 100.
//
// store.idx, every integer little-endian (store/byteorder.h):
//      0  60  mboxdata (store/mboxdata.h): version, exists, flags, ...
//     60   4  cache_offset    file offset of the cache area
//     64   4  start_offset    file offset of record 1 (end of variable header)
//     68   4  first_expunged  kept and copied unchanged
//     72   4  unused1         zero
//     76   4  unused2         zero
//     80   -  variable header: the 96 user flag slots in order (a name and
//             its NUL, or one NUL for an empty slot; trailing empty slots
//             omitted), one LF, the ACL text and its NUL, zero padding up to
//             start_offset
//     start_offset  76 * exists  records (store/index_record.h), uid order
//     ...   reserved room, zero-filled, so appends rarely rewrite the file
//     cache_offset  to EOF  one cache entry per message, in record order,
//             each directly behind the previous one; a record's
//             cache_offset is relative to the header's.  An entry is 11
//             items: 4-byte big-endian length L, L bytes, zero padding to a
//             multiple of 4 (store/message.h lists the items).
// A new folder's file is 7856 bytes: start_offset 256, room for 100
// records, cache_offset 7856.  The older format (version 0x101) has 68-byte
// records and keeps its cache in store.cch, whose first word repeats the
// header's cache_offset.
//
// Ownership: a `mailbox` is caller-owned storage filled by mailbox_open,
// mailbox_open_path or mailbox_create.  Its strings, flag names and map
// belong to the handle until mailbox_close, which resets it to the closed
// state (index_fd -1, everything else zero); closing twice is harmless.
// `msgpath` is the same pointer as `path` when the folder keeps its
// messages with its index.
//
// Locks, in this order: the index lock (an exclusive lock on the open
// store.idx, counted per handle), then the per-user lock (seen module),
// then the expunge log's lock.  All three come after the folder creation
// lock and before the locks of any mailbox-list transaction: none of them
// is waited for inside a transaction (the whole order is in
// store/mboxlist.h).  Every change of store.idx is either an
// in-place write under the index lock (headers, records, appended cache) or
// the replacement of the whole file by rename (variable header growth,
// expunge, conversion).  Taking the lock re-checks the inode of store.idx
// and follows a replacement, so a reader holding the old descriptor keeps a
// consistent old view until it next locks.  Readers may read the map without
// the lock.  A handle is used by one thread at a time.
//
// Failures: functions return 0, an errno value or an imap_err code
// (common/imap_err.h).  The function that sees a failing system call logs
// it once, naming the folder.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <mutex>

#include "common/map.h"
#include "store/index_record.h"
#include "store/mboxdata.h"

struct auth_state;

inline constexpr int MAX_USER_FLAGS = 96;

// Sizes of the index file's parts.
inline constexpr uint32_t INDEX_HEADER_SIZE = 80;  // mboxdata + mboxidxhdr
inline constexpr uint32_t INDEX_NEW_START = 256;   // start_offset of a new folder
inline constexpr uint32_t INDEX_RESERVE_RECORDS = 100;
inline constexpr uint32_t INDEX_NEW_SIZE = INDEX_NEW_START + INDEX_RESERVE_RECORDS * INDEX_RECORD_SIZE;
static_assert(INDEX_NEW_SIZE == 7856);
// Smallest cache entry: 11 empty items.
inline constexpr uint32_t CACHE_ITEM_COUNT = 11;
inline constexpr uint32_t CACHE_MIN_ENTRY = 4 * CACHE_ITEM_COUNT;
// Cache items (0-based for mailbox_cache_item).
enum : int {
  CACHE_ENVELOPE = 0,
  CACHE_BODYSTRUCTURE,
  CACHE_BODY,
  CACHE_SECTION,
  CACHE_HEADER,
  CACHE_FROM,
  CACHE_TO,
  CACHE_CC,
  CACHE_BCC,
  CACHE_SUBJECT,
  CACHE_EXTRA,
};

// Bytes 60..79 of store.idx, little-endian 32-bit words:
//   60 cache_offset  64 start_offset  68 first_expunged  72 unused1  76 unused2
inline constexpr int MBOXIDXHDR_SIZE = 20;
static_assert(MBOXDATA_SIZE + MBOXIDXHDR_SIZE == INDEX_HEADER_SIZE);
struct mboxidxhdr {
  uint32_t cache_offset = 0;
  uint32_t start_offset = 0;
  uint32_t first_expunged = 0;
  uint32_t unused1 = 0;
  uint32_t unused2 = 0;
};
inline void mboxidxhdr_encode(const mboxidxhdr& h, unsigned char* p) {
  put_le32(p, h.cache_offset);
  put_le32(p + 4, h.start_offset);
  put_le32(p + 8, h.first_expunged);
  put_le32(p + 12, h.unused1);
  put_le32(p + 16, h.unused2);
}
inline mboxidxhdr mboxidxhdr_decode(const unsigned char* p) {
  mboxidxhdr h;
  h.cache_offset = get_le32(p);
  h.start_offset = get_le32(p + 4);
  h.first_expunged = get_le32(p + 8);
  h.unused1 = get_le32(p + 12);
  h.unused2 = get_le32(p + 16);
  return h;
}

// Open modes (`mode`).
enum : int {
  MAILBOX_OPEN_NOCACHE = 1,    // map headers and records only, not the cache
  MAILBOX_OPEN_QUIET = 2,      // a failure to read the index is not logged
  MAILBOX_OPEN_LAZY = 4,       // an empty folder (per the list) is not opened
  MAILBOX_OPEN_NONBLOCK = 8,   // a busy index lock gives IMAP_MAILBOX_LOCKED
  MAILBOX_OPEN_APPEND = 16,    // as NOCACHE; used by appends
  MAILBOX_OPEN_RECOVER = 32,   // tolerant reading for repair (see below)
  MAILBOX_OPEN_TRUNCATE = 64,  // open store.idx with O_TRUNC
  // Bulk appends (a restore): message files, index records and cache
  // entries are written without a flush each, and the fixed header that
  // counts them is kept in the handle (header_deferred) instead of being
  // written.  mailbox_flush makes the files durable first and only then
  // writes the header, so the header on disk never counts a record or a
  // message file that a crash of the machine could still take away: until
  // the flush, a crash (or a kill) leaves the folder as it was at the last
  // flush, plus files and index bytes nothing counts, which the next append
  // overwrites.  The caller flushes before it lets go of the index lock.
  MAILBOX_OPEN_DEFERSYNC = 128,
};

// The open-folder handle.
struct mailbox {
  int index_fd = -1;
  map_handle* index_map = nullptr;
  int index_lock_count = 0;    // depth of the index lock held through this handle
  int peruser_lock_count = 0;  // per-user lock (seen module); 0 when the index lock is first taken
  int mode = 0;
  int newfiles = 0;        // times this handle replaced or removed its index file
  time_t index_mtime = 0;  // of store.idx at the last read
  ino_t index_ino = 0;
  size_t index_length = 0;
  char* name = nullptr;  // internal folder name
  char* partition = nullptr;
  char* path = nullptr;     // index directory
  char* msgpath = nullptr;  // message directory; == path when the same
  long myrights = 0;        // acl_myrights of the opening user
  mboxdata mbd;
  mboxidxhdr hdr;
  char* flagname[MAX_USER_FLAGS] = {};  // null = empty slot
  char* acl = nullptr;
  // MAILBOX_OPEN_DEFERSYNC: mbd and hdr changed since the fixed header was
  // last written; mailbox_flush writes them.
  bool header_deferred = false;
  // MAILBOX_OPEN_DEFERSYNC: the appends the mailbox list (folder record and
  // quota usage) does not count yet; mailbox_flush commits them, once their
  // files are on disk and just before the header counts them, so the list
  // and the header on disk stay in step.
  uint64_t deferred_bytes = 0;
  uint32_t deferred_msgs = 0;
};

// ---- Opening and reading ---------------------------------------------------

// Opens folder `name` (internal name) for the user of auth_state: finds it in
// the mailbox list, fills the handle and reads store.idx.  A missing index
// file is re-created empty (and the list record updated); a folder found on
// disk under its owner's INBOX partition but missing from the list is put
// back into the list; an older-format index is converted (not under
// MAILBOX_OPEN_RECOVER).  With MAILBOX_OPEN_LAZY and no messages per the
// list, no file is touched and index_fd stays -1.  Re-creating and putting
// back happen only under the folder's creation lock, tried without
// waiting, and only while the record still says so: a folder renamed or
// deleted under the caller's feet gives IMAP_MAILBOX_LOCKED (look again
// later), never a folder brought back under its old name.  An index that
// counts messages its list record does not (an append died between its
// index header write and its commit), or no longer holds messages it still
// counts (an expunge died between its index rename and its commit), brings
// the list record and the quota usage to it (mboxlist_catchup_usage), when
// the index lock is free: it
// is taken without waiting, before any transaction.  So the caller must not
// hold a database transaction open across this call.
// 0, IMAP_MAILBOX_NONEXISTENT, IMAP_MAILBOX_LOCKED, IMAP_MAILBOX_BADFORMAT,
// IMAP_IOERROR, ...
// The handle is closed on failure.
[[nodiscard]] int mailbox_open(const char* name, int mode, const auth_state* auth_state, mailbox* mailbox);
// Opens a folder whose location and ACL the caller knows (no list lookup).
// msgpath may be null (messages with the index).  Converts an older index.
[[nodiscard]] int mailbox_open_path(const char* name, int mode, const char* partition, const char* path,
                                    const char* msgpath, const char* acl, const auth_state* auth_state,
                                    mailbox* mailbox);
// (Re)opens and reads store.idx.  The index lock must not be held.
// Under MAILBOX_OPEN_RECOVER a missing or unrecognisable file gives 0 with
// no descriptor.
[[nodiscard]] int mailbox_reopen_index(mailbox* mailbox);
// Frees the map, releases a held index lock, closes the descriptor, frees
// every string and resets the handle.  Harmless on a closed handle.
void mailbox_close(mailbox* mailbox);

// Refresh the handle from the open index file.  The fixed header read also
// checks the file's shape (IMAP_MAILBOX_BADFORMAT with a log line naming
// the folder: shorter than 80 bytes, unknown version, start_offset past the
// end, records overlapping the cache, truncated file) and repairs two
// cases: an empty folder whose file ends before cache_offset is extended,
// and a last record that a crash left unfinished (see
// mailbox_append_index) is dropped from the count, under the index lock
// (without it, only from the handle's view; opening takes the lock, without
// waiting, to drop it for good).  Its uid is not given again.
[[nodiscard]] int mailbox_read_index_fixed_header(mailbox* mailbox);
[[nodiscard]] int mailbox_read_index_variable_header(mailbox* mailbox);
// Only the ACL of the variable header.
[[nodiscard]] int mailbox_read_index_header_acl(mailbox* mailbox);
// Copies record msgno (from 1) out of the map.  IMAP_IOERROR past the end
// of the file or when the index is not mapped.
[[nodiscard]] int mailbox_read_index_record(mailbox* mailbox, unsigned msgno, index_record* record);
// Replaces the handle's ACL with the list's and recomputes myrights.
[[nodiscard]] int mailbox_read_acl(mailbox* mailbox, const auth_state* auth_state);

// Item itemno (0-based, CACHE_*) of message msgno's cache entry in an index
// map: a pointer to its 4-byte big-endian length word, the data follows.
// Null (and "Invalid cache data for msg N in mailbox NAME. Needs
// reconstruct" logged) when any item up to it would leave the map.
const unsigned char* mailbox_cache_item(const map_handle* indexmap, const char* mboxname, unsigned msgno, int itemno);

// ---- Locks -----------------------------------------------------------------

// The counted index lock.  Taking it (0 -> 1) locks store.idx, re-reads the
// fixed header and follows a replacement of the file by another process.
// 0, IMAP_MAILBOX_LOCKED (MAILBOX_OPEN_NONBLOCK and busy), IMAP_IOERROR, or
// a header error.
[[nodiscard]] int mailbox_lock_index(mailbox* mailbox);
// Unlocking a handle that holds no lock is a programming error (assertion).
void mailbox_unlock_index(mailbox* mailbox);
// While one of these lives on the calling thread, every index lock and
// folder creation lock (store/mboxlist.h) is only tried: a busy one gives
// IMAP_MAILBOX_LOCKED instead of a wait.  For a caller that holds several
// index locks and so may not wait on another lock without risking a cycle
// (a restore's batch of folders): it lets its locks go and tries again.
class MailboxLockNoWait {
 public:
  MailboxLockNoWait();
  ~MailboxLockNoWait();
  MailboxLockNoWait(const MailboxLockNoWait&) = delete;
  MailboxLockNoWait& operator=(const MailboxLockNoWait&) = delete;
};
bool mailbox_lock_nowait();

// store.exp: the 8 bytes "EXPVER01", then 8-byte entries, each a signed
// 32-bit expunge time and the 32-bit uid, little-endian, in the order
// written; each batch starts at an offset rounded up to a multiple of 8.
inline constexpr char EXPUNGE_MAGIC[] = "EXPVER01";
inline constexpr size_t EXPUNGE_MAGIC_SIZE = 8;
inline constexpr size_t EXPUNGE_ENTRY_SIZE = 8;
// Opens and locks the expunge log `fname` (a file name), following a
// replacement; with docreate creates it and writes its magic when shorter
// than 8 bytes.  *fd_p gets the locked descriptor (the caller unlocks and
// closes), *size_p the file size.  IMAP_MAILBOX_NONEXISTENT when absent and
// not docreate, IMAP_IOERROR otherwise.
[[nodiscard]] int mailbox_lock_expunge(const char* fname, int docreate, int* fd_p, size_t* size_p);

// ---- Writing (index lock held) ---------------------------------------------

// Writes mbd and hdr at offset 0 and syncs.  0 or IMAP_IOERROR.  Under
// MAILBOX_OPEN_DEFERSYNC only marks the header for mailbox_flush.
[[nodiscard]] int mailbox_write_index_fixed_header(mailbox* mailbox);
// Writes the flag names and the ACL; when they no longer fit, the file is
// rewritten with a variable header grown in steps of 256 bytes (records
// and cache moved behind it) and renamed over store.idx; the handle then
// continues, locked, on the new file.  0 or IMAP_IOERROR.
[[nodiscard]] int mailbox_write_index_variable_header(mailbox* mailbox);
// Writes record msgno in place and syncs.
[[nodiscard]] int mailbox_write_index_record(mailbox* mailbox, unsigned msgno, const index_record* record);
// Writes num records from record[0] at the position of record `start`, in
// one write; syncs them when num > 1.  A single record is synced by the
// header write that counts it (mailbox_write_index_fixed_header), one flush
// per append: a crash during that flush may leave the header counting a
// torn record, which reading the header recognises and drops (the message
// was never acknowledged).  The caller makes sure they fit before
// cache_offset.  The header is not changed.
[[nodiscard]] int mailbox_append_index(mailbox* mailbox, const index_record* record, unsigned start, unsigned num);

// ---- Message files ----------------------------------------------------------

// Room for a relative message file name ("NN/4294967295.msg").
inline constexpr size_t MAILBOX_FNAME_LEN = 32;
// Writes "NN/UID.msg" into buf (MAILBOX_FNAME_LEN bytes); returns buf.
char* mailbox_message_fname(const mailbox* mailbox, uint32_t uid, char* buf);
// Opens message uid read-only; with mapp also maps it whole.  The
// descriptor goes to *fdp, or is closed when fdp is null.  A failing open
// returns its errno value (ENOENT for a missing file); a failing map
// IMAP_IOERROR.
[[nodiscard]] int mailbox_map_message(const mailbox* mailbox, uint32_t uid, int* fdp, map_handle** mapp);
// Frees map and closes *fdp (set to -1).
void mailbox_unmap_message(const mailbox* mailbox, int* fdp, map_handle* map);

// Parses the message file open on fd and appends its cache entry at the
// current position of the folder's index descriptor (the end of its cache
// area); fills record (store/message.h).  Index lock held.
[[nodiscard]] int message_parse_file(int fd, mailbox* mailbox, const char* extra, index_record* record);
[[nodiscard]] int message_parse_mapped(const char* base, size_t len, mailbox* mailbox, const char* extra,
                                       index_record* record);

// ---- Configuration and directories -------------------------------------------

// Re-reads the sync levels ("local.store.synclevel" for all, then each of
// "local.store.{index,message,cache,expunge,peruser,subscribe}synclevel").
void mailbox_reloadconfig();
struct mailbox_sync_levels {
  int index = 1, message = 1, cache = 1, expunge = 1, peruser = 1, subscribe = 1;
};
// The levels in force (read by the append and seen modules).
const mailbox_sync_levels& mailbox_sync();
// The level at which m's appends flush its index (0 under
// MAILBOX_OPEN_DEFERSYNC), and its message files.
int mailbox_index_synclevel(const mailbox* m);
int mailbox_message_synclevel(const mailbox* m);
// Makes everything written to open folder m durable: its message files,
// index and cache, and the directory entries of both, by flushing the file
// system that holds them (and the message directory's, when that is
// another one) in one call each, which costs about what a single file's
// flush does where a flush per file would cost one each; then writes a
// fixed header deferred by MAILBOX_OPEN_DEFERSYNC and flushes the index.
// At message and index level 0 only the header is written.  Index lock
// held.  0, or IMAP_IOERROR (logged); after a failed flush the deferred
// header is not written (what it would count may be lost): the folder
// stays as it was at the last flush, and the list record, which already
// counts the appends, is brought down by the folder's next append.
[[nodiscard]] int mailbox_flush(mailbox* m);
// mailbox_flush for n folders at once, each with its index lock held: one
// flush of every file system that holds their files, then every deferred
// header written, then one flush of every file system that holds their
// indexes.  A failure of the first flush leaves every header unwritten
// (as mailbox_flush does for one).  handles, when given, is held whenever
// the handles are read or changed and let go during the flushes of the
// file systems, so that another thread holding it may read them meanwhile.
// 0 or IMAP_IOERROR (logged).
[[nodiscard]] int mailbox_flush_many(mailbox* const* ms, size_t n, std::mutex* handles = nullptr);

// Creates path and its missing parents (0777 before umask).  0,
// IMAP_MAILBOX_BADNAME (a component is not a directory or the name is too
// long) or IMAP_IOERROR.
[[nodiscard]] int mailbox_makedirs(const char* path);

// Converts an older-format folder (68-byte records, store.cch) in place.
[[nodiscard]] int mailbox_convertfromv1(mailbox* mailbox);

// ---- Life cycle ----------------------------------------------------------------

// While one of these lives on the calling thread, the folders it creates
// are not flushed at creation.  For a restore, which flushes each folder it
// fills before any index header counts a message (restore_batch.h): a
// crash before that flush may leave the new index empty on disk, and the
// folder's next open makes it again, as its list record shows it never
// held a message.
class MailboxCreateUnsynced {
 public:
  MailboxCreateUnsynced();
  ~MailboxCreateUnsynced();
  MailboxCreateUnsynced(const MailboxCreateUnsynced&) = delete;
  MailboxCreateUnsynced& operator=(const MailboxCreateUnsynced&) = delete;
};

// Creates the folder's directories and an empty index file and its seen
// data.  msgpath may be null; mailboxp may be null (a temporary handle is
// used) or receives the open handle; uid_validity 0 means now.
// 0, IMAP_MAILBOX_EXISTS (a non-empty index is there; *mailboxp is then
// open on it), IMAP_MAILBOX_BADNAME (path too long) or IMAP_IOERROR; a
// failure leaves no half-made folder behind.
[[nodiscard]] int mailbox_create(const char* name, const char* partition, const char* path, const char* msgpath,
                                 const char* acl, uint32_t version, mailbox* mailboxp, uint32_t uid_validity);
// Removes every file of the folder and its emptied directories (and its
// seen data unless saveseendb), and closes the handle.  Always 0: what
// cannot be removed is logged.
int mailbox_delete(mailbox* mailbox, int saveseendb);

// Renaming, in two phases around the caller's list transaction.
// Start: locks the old folder's index (held until the old handle is
// closed) and makes the new folder a complete copy (index and message
// files linked or copied).  *newmailboxp receives a new heap handle.
[[nodiscard]] int mailbox_rename_start(mailbox* oldmailbox, const char* newname, const char* newpartition,
                                       const char* newpath, const char* newmsgpath, int renameUser,
                                       mailbox** newmailboxp);
// Commit: removes the old folder (an INBOX moved into a subfolder stays,
// emptied), closes it, moves *newmailbox into *oldmailbox and frees the
// new handle.  Returns the result of removing the old folder.
[[nodiscard]] int mailbox_rename_commit(mailbox* oldmailbox, mailbox* newmailbox);
// Abort: removes the new folder and frees the handle.
[[nodiscard]] int mailbox_rename_abort(mailbox* newmailbox);

// Expunge.
enum : int {
  EXPUNGE_FORCE = 2,     // rewrite even when nothing is chosen
  EXPUNGE_LOCKED = 4,    // the caller holds the index lock and keeps it
  EXPUNGE_NONOTIFY = 8,  // no expunge event
};
// Decides about one record: non-zero to expunge it, 0 to keep it, -1 to
// keep it and every following record without asking again.
using mailbox_expungeproc_t = int (*)(void* rock, const index_record* record);
int expungeall(void* rock, const index_record* record);
int expungenone(void* rock, const index_record* record);
// Rewrites the index without the chosen records, leaving room for
// extraspace (>= 0) more records, and logs the removed uids in store.exp.
// Message files are left for mailbox_clean_expunge.  The old index stays
// untouched until the complete new one is renamed over it; only then are
// the list record and quota usage brought down (mailbox_listops commit), so
// a process killed in between leaves them counting too much, never too
// little, until the folder's next open.  0 once the new index is in place
// (a failure to record it in the list is logged), or IMAP_IOERROR with
// nothing changed.
[[nodiscard]] int mailbox_expunge(mailbox* mailbox, int flags, int extraspace, mailbox_expungeproc_t expungeproc,
                                  void* expungerock);
// Deletes the message files of the expunge log's entries expunged at or
// before expunge_date and drops them from the log.  msgpath null means
// path.  0, IMAP_MAILBOX_NONEXISTENT (no log), IMAP_MAILBOX_BADFORMAT,
// IMAP_IOERROR.
[[nodiscard]] int mailbox_clean_expunge(const char* path, const char* msgpath, time_t expunge_date);

// Places file `from` at `to` by hard link, else by copy; an existing target
// is replaced.  0 or IMAP_IOERROR.
[[nodiscard]] int mailbox_copyfile(const char* from, const char* to);
// The same for message files; also creates the target's two-digit
// directory when it is missing.
[[nodiscard]] int mailbox_copymsgfile(const char* fromname, const char* toname);
