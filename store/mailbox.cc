// Opening, reading, locking and writing a folder's index file; cache items;
// message files; the conversion of the older format.  Layouts and lock
// order are described in mailbox.h.
#include "store/mailbox.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "common/acl.h"
#include "common/assert.h"
#include "common/bvlog.h"
#include "common/config.h"
#include "common/fileio.h"
#include "common/imap_err.h"
#include "common/lock.h"
#include "common/unique_fd.h"
#include "common/xmalloc.h"
#include "store/mailbox_internal.h"
#include "store/mboxlist.h"
#include "store/mboxlist_internal.h"
#include "store/message.h"
#include "store/quota.h"

mailbox_sync_levels g_mailbox_sync;

namespace {

bool quiet_recover(const mailbox* m) { return (m->mode & MAILBOX_OPEN_RECOVER) != 0; }

const char* mbname(const mailbox* m) { return m->name ? m->name : "(unnamed)"; }

void free_strings(mailbox* m) {
  if (m->msgpath != m->path) free(m->msgpath);
  free(m->path);
  free(m->name);
  free(m->partition);
  free(m->acl);
  for (auto& f : m->flagname) {
    free(f);
    f = nullptr;
  }
}

// mailbox_read_index_fixed_header; *torn (when not null) tells that a torn
// last record was seen without the index lock and only left out of m->mbd:
// the file still counts it.
int read_fixed_header(mailbox* m, bool* torn);

}  // namespace

void mailbox_set_location(mailbox* m, const char* name, const char* partition, const char* path, const char* msgpath,
                          const char* acl) {
  m->name = xstrdup(name);
  m->partition = partition ? xstrdup(partition) : nullptr;
  m->path = xstrdup(path);
  m->msgpath = msgpath && *msgpath ? xstrdup(msgpath) : m->path;
  m->acl = xstrdup(acl ? acl : "");
}

UnlinkGuard::~UnlinkGuard() {
  if (!path_.empty()) (void)fs_unlink(path_.c_str());
}

namespace {
// Through mboxlist_changequota, so that crossing the warning threshold is
// announced as for any other change of usage.
int changequota_db(const char* name, uint64_t bytes, uint32_t count, int subtract, quotadata* out) {
  if (out) *out = quotadata{};
  if (bytes == 0 && count == 0) return 0;
  return mboxlist_changequota(name, nullptr, bytes, count, subtract, out);
}
mailbox_listops g_listops = {mboxlist_updatedata, changequota_db, mboxlist_catchup_usage, mboxlist_commit_usage};
}  // namespace

mailbox_listops mailbox_set_listops(const mailbox_listops& ops) {
  mailbox_listops old = g_listops;
  g_listops = ops;
  return old;
}
const mailbox_listops& mailbox_listops_current() { return g_listops; }
int mailbox_listupdate(mailbox* m, int write_index) { return g_listops.updatedata(m, write_index); }

// ---- Configuration -----------------------------------------------------------

void mailbox_reloadconfig() {
  config_cache* c = config_getdefaultcache();
  mailbox_sync_levels s = g_mailbox_sync;
  int all = config_get_int(c, "local.store.synclevel", -1);
  if (all != -1) s = {all, all, all, all, all, all};
  s.message = config_get_int(c, "local.store.messagesynclevel", s.message);
  s.cache = config_get_int(c, "local.store.cachesynclevel", s.cache);
  s.index = config_get_int(c, "local.store.indexsynclevel", s.index);
  s.expunge = config_get_int(c, "local.store.expungesynclevel", s.expunge);
  s.peruser = config_get_int(c, "local.store.perusersynclevel", s.peruser);
  s.subscribe = config_get_int(c, "local.store.subscribesynclevel", s.subscribe);
  g_mailbox_sync = s;
}

const mailbox_sync_levels& mailbox_sync() { return g_mailbox_sync; }

int mailbox_index_synclevel(const mailbox* m) { return (m->mode & MAILBOX_OPEN_DEFERSYNC) ? 0 : g_mailbox_sync.index; }
int mailbox_message_synclevel(const mailbox* m) {
  return (m->mode & MAILBOX_OPEN_DEFERSYNC) ? 0 : g_mailbox_sync.message;
}

namespace {

// The syncfs part of mailbox_flush: every file of m's file systems.
int flush_files(mailbox* m) {
  struct stat ist;
  if (fs_syncfs(m->index_fd) != 0 || fstat(m->index_fd, &ist) != 0) {
    bvlog(0, LOG_STORE_WRITEFAIL, "Unable to flush the files of %s: %m", mbname(m));
    return IMAP_IOERROR;
  }
  if (!m->msgpath || (m->path && strcmp(m->msgpath, m->path) == 0)) return 0;
  UniqueFd dir(fs_open(m->msgpath, O_RDONLY | O_DIRECTORY));
  struct stat mst;
  // A message directory not made yet holds nothing to flush.
  if (!dir && errno == ENOENT) return 0;
  if (!dir || fstat(dir.get(), &mst) != 0 || (mst.st_dev != ist.st_dev && fs_syncfs(dir.get()) != 0)) {
    bvlog(0, LOG_STORE_WRITEFAIL, "Unable to flush the message files of %s in %s: %m", mbname(m), m->msgpath);
    return IMAP_IOERROR;
  }
  return 0;
}

}  // namespace

namespace {

// Writes m's fixed header without flushing it.
int write_fixed_header_unsynced(mailbox* m) {
  unsigned char buf[INDEX_HEADER_SIZE];
  mboxdata_encode(m->mbd, buf);
  mboxidxhdr_encode(m->hdr, buf + MBOXDATA_SIZE);
  if (fs_pwrite(m->index_fd, buf, sizeof buf, 0) != static_cast<ssize_t>(sizeof buf)) {
    bvlog(0, LOG_STORE_WRITEFAIL, "Unable to write index header for %s: %m", mbname(m));
    return IMAP_IOERROR;
  }
  return 0;
}

// One descriptor per file system among fds (by st_dev), for syncfs.
struct FsSet {
  std::vector<dev_t> devs;
  std::vector<int> fds;
  std::vector<UniqueFd> owned;
  // False when fd cannot be looked at.
  bool add(int fd) {
    struct stat st;
    if (fstat(fd, &st) != 0) return false;
    if (std::find(devs.begin(), devs.end(), st.st_dev) != devs.end()) return true;
    devs.push_back(st.st_dev);
    fds.push_back(fd);
    return true;
  }
  bool add_dir(const char* path) {
    UniqueFd dir(fs_open(path, O_RDONLY | O_DIRECTORY));
    // A message directory not made yet holds nothing to flush.
    if (!dir) return errno == ENOENT;
    if (!add(dir.get())) return false;
    if (!fds.empty() && fds.back() == dir.get()) owned.push_back(std::move(dir));
    return true;
  }
  bool sync() const {
    for (int fd : fds) {
      if (fs_syncfs(fd) != 0) return false;
    }
    return true;
  }
};

// Deferred appends not flushed: neither the header nor the list will
// count them.
void drop_deferred(mailbox* m) {
  m->header_deferred = false;
  m->deferred_bytes = 0;
  m->deferred_msgs = 0;
}

// The mailbox list's commit of m's deferred appends, once their files are
// on disk and before the header is written (the commit itself only marks
// the header deferred).  A failed commit leaves the header unwritten too.
int commit_deferred(mailbox* m) {
  if (!m->deferred_msgs) return 0;
  const uint64_t bytes = m->deferred_bytes;
  const uint32_t msgs = m->deferred_msgs;
  m->deferred_bytes = 0;
  m->deferred_msgs = 0;
  const int mode = m->mode;
  m->mode |= MAILBOX_OPEN_DEFERSYNC;
  int r = mboxlist_commit_append(m, bytes, msgs, nullptr);
  m->mode = mode;
  if (r) m->header_deferred = false;
  return r;
}

}  // namespace

int mailbox_flush_many(mailbox* const* ms, size_t n, std::mutex* handles) {
  std::unique_lock<std::mutex> held;
  if (handles) held = std::unique_lock<std::mutex>(*handles);
  // The handles are left alone while the disk works.
  auto sync = [&](const FsSet& fs) {
    if (held.owns_lock()) held.unlock();
    bool ok = fs.sync();
    if (handles) held.lock();
    return ok;
  };
  auto drop_headers = [&] {
    for (size_t i = 0; i < n; ++i) drop_deferred(ms[i]);
  };
  FsSet files, indexes;
  for (size_t i = 0; i < n; ++i) {
    mailbox* m = ms[i];
    if (m->index_fd < 0) continue;
    bool ok = files.add(m->index_fd) && indexes.add(m->index_fd);
    if (ok && m->msgpath && !(m->path && strcmp(m->msgpath, m->path) == 0)) ok = files.add_dir(m->msgpath);
    if (!ok) {
      bvlog(0, LOG_STORE_WRITEFAIL, "Unable to flush the files of %s: %m", mbname(m));
      drop_headers();
      return IMAP_IOERROR;
    }
  }
  // Every folder's message files, records and cache entries first: no
  // header may count what a crash of the machine could still take away.
  if ((g_mailbox_sync.index > 0 || g_mailbox_sync.message > 0) && !sync(files)) {
    bvlog(0, LOG_STORE_WRITEFAIL, "Unable to flush the files of %zu folders: %m", n);
    drop_headers();
    return IMAP_IOERROR;
  }
  int r = 0;
  bool wrote = false;
  for (size_t i = 0; i < n; ++i) {
    mailbox* m = ms[i];
    if (m->index_fd < 0) continue;
    if (int e = commit_deferred(m)) r = r ? r : e;
    if (!m->header_deferred) continue;
    m->header_deferred = false;
    if (int e = write_fixed_header_unsynced(m)) r = r ? r : e;
    wrote = true;
  }
  // Then the headers, all in one flush per file system, where a flush
  // per index would cost one journal commit each.
  if (wrote && g_mailbox_sync.index > 0 && !sync(indexes)) {
    bvlog(0, LOG_STORE_WRITEFAIL, "Unable to flush the index headers of %zu folders: %m", n);
    return IMAP_IOERROR;
  }
  return r;
}

int mailbox_flush_before_rewrite(mailbox* m) {
  if (m->index_fd < 0 || !m->header_deferred) return 0;
  if (g_mailbox_sync.index > 0 || g_mailbox_sync.message > 0) {
    if (int r = flush_files(m)) {
      drop_deferred(m);
      return r;
    }
  }
  if (int r = commit_deferred(m)) return r;
  m->header_deferred = false;
  return write_fixed_header_unsynced(m);
}

int mailbox_flush(mailbox* m) {
  if (m->index_fd < 0) return 0;
  if (g_mailbox_sync.index > 0 || g_mailbox_sync.message > 0) {
    if (int r = flush_files(m)) {
      // What the header would count may not be on disk: it stays unwritten.
      drop_deferred(m);
      return r;
    }
  }
  if (int r = commit_deferred(m)) return r;
  if (!m->header_deferred) return 0;
  // Only now, with the records, cache entries and message files on disk,
  // may the header count them.
  m->header_deferred = false;
  const int mode = m->mode;
  m->mode &= ~MAILBOX_OPEN_DEFERSYNC;
  int r = mailbox_write_index_fixed_header(m);
  m->mode = mode;
  return r;
}

int mailbox_makedirs(const char* path) {
  if (make_dirs(path, 0777) == 0) return 0;
  if (errno == ENOTDIR || errno == ENAMETOOLONG) {
    bvlog(0, LOG_STORE_ERR, "Unable to create directory %s: %m", path);
    return IMAP_MAILBOX_BADNAME;
  }
  bvlog(0, LOG_STORE_WRITEFAIL, "Unable to create directory %s: %m", path);
  return IMAP_IOERROR;
}

// ---- Variable header -----------------------------------------------------------

std::string mailbox_encode_variable_header(const mailbox* m) {
  std::string out;
  int last = MAX_USER_FLAGS - 1;
  while (last >= 0 && !m->flagname[last]) --last;
  for (int i = 0; i <= last; ++i) {
    if (m->flagname[i]) out += m->flagname[i];
    out += '\0';
  }
  out += '\n';
  if (m->acl) out += m->acl;
  out += '\0';
  return out;
}

uint32_t mailbox_grown_room(uint32_t room, size_t content) {
  uint64_t r = room;
  while (r < content + VARHDR_SLACK) r += VARHDR_GROW_STEP;
  return static_cast<uint32_t>(r);
}

// ---- Closing and opening ----------------------------------------------------------

void mailbox_close(mailbox* m) {
  if (m->index_lock_count > 0 && m->index_fd >= 0) (void)lock_unlock(m->index_fd);
  map_free(m->index_map);
  if (m->index_fd >= 0) close(m->index_fd);
  free_strings(m);
  *m = mailbox{};
}

int mailbox_open_path(const char* name, int mode, const char* partition, const char* path, const char* msgpath,
                      const char* acl, const auth_state* auth_state, mailbox* m) {
  *m = mailbox{};
  mailbox_set_location(m, name, partition, path, msgpath, acl);
  m->mode = mode;
  m->myrights = acl_myrights(auth_state, m->acl);
  MailboxCloser closer(m);
  if (int r = mailbox_reopen_index(m)) return r;
  if (m->index_fd >= 0 && m->mbd.version == MBOX_VERSION_V1) {
    if (int r = mailbox_convertfromv1(m)) return r;
  }
  closer.release();
  return 0;
}

namespace {

// The index counts messages that its list record and quota root do not (an
// append died between writing the index header and its commit), or no
// longer holds messages they still count (an expunge died between putting
// its index in place and its commit).  The usage
// catches up under the index lock, taken without waiting: a holder is an
// append (whose commit catches up), an expunge (which does too), or this
// process itself through another handle; in each case the open goes on and
// a later open or append does it.  A failed catch-up is logged and does not
// fail the open; a failure to take the lock (the index could not be re-read)
// does.
int catch_up_usage(mailbox* m) {
  const int mode = m->mode;
  m->mode |= MAILBOX_OPEN_NONBLOCK;
  int r = mailbox_lock_index(m);
  m->mode = mode;
  if (r) return r == IMAP_MAILBOX_LOCKED ? 0 : r;
  // The lock re-read the header: another process may have committed since.
  if (g_listops.catchup) (void)g_listops.catchup(m);
  mailbox_unlock_index(m);
  return 0;
}

}  // namespace

int mailbox_open(const char* name, int mode, const auth_state* auth_state, mailbox* m) {
  static std::once_flag config_once;
  std::call_once(config_once, mailbox_reloadconfig);
  *m = mailbox{};

  mboxdata mbd;
  char *partition = nullptr, *path = nullptr, *msgpath = nullptr, *acl = nullptr;
  int r = mboxlist_lookup(name, &mbd, &partition, &path, &msgpath, &acl);
  CStr own_part(partition), own_path(path), own_msgpath(msgpath), own_acl(acl);

  if (r == IMAP_MAILBOX_NONEXISTENT && strncmp(name, "user/", 5) == 0 && strchr(name + 5, '/')) {
    // A folder on disk that the list lost: found through its owner's INBOX
    // partition and put back.  Files without a record are also what a
    // rename or deletion leaves for a moment between its transaction and
    // the removal of the old files, so this happens only under the
    // folder's creation lock, with the record still missing, and never in
    // the trees of an unfinished rename.
    MboxlistCreateLock lock;
    if (int l = lock.trylock(name)) return l;
    r = mboxlist_lookup(name, nullptr, nullptr, nullptr, nullptr, nullptr);
    if (r == 0) return IMAP_MAILBOX_LOCKED;  // came back meanwhile: open it again
    if (r != IMAP_MAILBOX_NONEXISTENT || mboxlist_rename_pending(name)) return r;
    std::string inbox(name, strchr(name + 5, '/') - name);
    char* inbox_part = nullptr;
    if (mboxlist_lookup(inbox.c_str(), nullptr, &inbox_part, nullptr, nullptr, nullptr) != 0) return r;
    CStr own_inbox_part(inbox_part);
    char pathbuf[1025], msgpathbuf[1025];
    if (mboxlist_getpath(name, inbox_part, pathbuf, msgpathbuf) != 0) return r;
    if (mailbox_open_path(name, MAILBOX_OPEN_QUIET, inbox_part, pathbuf, msgpathbuf[0] ? msgpathbuf : nullptr, "",
                          auth_state, m) != 0 ||
        m->index_fd < 0) {
      mailbox_close(m);
      return r;
    }
    if (mailbox_read_index_header_acl(m) != 0) {
      mailbox_close(m);
      return IMAP_MAILBOX_NONEXISTENT;
    }
    m->myrights = acl_myrights(auth_state, m->acl);
    m->mode = mode;
    if (int u = mailbox_listupdate(m, 0)) {
      mailbox_close(m);
      return u;
    }
    bvlog(0, LOG_STORE_NOTICE, "Folder %s found on disk and put back into the mailbox list", name);
    return 0;
  }
  if (r) return r;

  mailbox_set_location(m, name, partition, path, msgpath, acl);
  m->mode = mode;
  m->myrights = acl_myrights(auth_state, m->acl);
  if ((mode & MAILBOX_OPEN_LAZY) && mbd.exists == 0) {
    m->mbd = mbd;
    return 0;
  }
  MailboxCloser closer(m);
  r = mailbox_reopen_index(m);
  if (r) {
    std::string idx = mailbox_file(m->path, FNAME_INDEX);
    // The index file is gone, or is shorter than its fixed header in a
    // folder whose record shows it never held a message: a creation that a
    // crash kept from the disk (a restore does not flush the folders it
    // creates until it has filled them), and nothing to lose.
    auto lost = [&] {
      struct stat st;
      if (stat(idx.c_str(), &st) != 0) return errno == ENOENT;
      return st.st_size < static_cast<off_t>(INDEX_HEADER_SIZE) && mbd.last_uid == 0 && mbd.exists == 0;
    };
    if (!lost()) return r;
    // Make the folder again, empty, in place.  A rename or deletion removes
    // the files of a folder whose record we may just have read: the
    // creation lock, tried without waiting (a caller may hold it or an
    // index lock), and the record read again under it tell a lost index
    // from a folder that has gone.  A folder known only to the list (never
    // made on disk) needs neither.
    std::string n(m->name), p(m->path), mp(m->msgpath), a(m->acl);
    std::string part(m->partition ? m->partition : "");
    bool separate = m->msgpath != m->path;
    mailbox_close(m);
    MboxlistCreateLock lock;
    if (mbd.version != MBOX_VERSION_TRANSITION) {
      if (int l = lock.trylock(n.c_str())) return l;
      char* nowpart = nullptr;
      r = mboxlist_lookup(n.c_str(), nullptr, &nowpart, nullptr, nullptr, nullptr);
      CStr own_nowpart(nowpart);
      // Gone, or moved to another partition, since we read the record: a
      // temporary failure, the caller may look again.
      if (r == IMAP_MAILBOX_NONEXISTENT || (r == 0 && part != nowpart)) return IMAP_MAILBOX_LOCKED;
      if (r) return r;
      if (!lost()) return IMAP_MAILBOX_LOCKED;  // made again meanwhile
    }
    // A folder that never held a message keeps its UID validity (no client
    // saw anything to throw away, and a restore still finds the one it
    // saved); one that held mail gets a new one, so its clients start over.
    r = mailbox_create(n.c_str(), part.c_str(), p.c_str(), separate ? mp.c_str() : nullptr, a.c_str(), MBOX_VERSION, m,
                       mbd.last_uid == 0 ? mbd.uid_validity : 0);
    if (r) return r;
    bvlog(0, LOG_STORE_NOTICE, "Folder %s had lost its index; made again, empty", n.c_str());
    m->mode = mode;
    m->myrights = acl_myrights(auth_state, m->acl);
    if ((r = mailbox_listupdate(m, 0)) != 0) return r;
    closer.release();
    return 0;
  }
  if (m->index_fd >= 0 && m->mbd.version == MBOX_VERSION_V1 && !(mode & MAILBOX_OPEN_RECOVER)) {
    if ((r = mailbox_convertfromv1(m)) != 0) return r;
  }
  if (m->index_fd >= 0 && !(mode & MAILBOX_OPEN_RECOVER) &&
      (mboxlist_index_ahead(m->mbd, mbd) || mboxlist_index_behind(m->mbd, mbd))) {
    if ((r = catch_up_usage(m)) != 0) return r;
  }
  closer.release();
  return 0;
}

int mailbox_reopen_index(mailbox* m) {
  ORV_ASSERT(m->index_lock_count == 0);
  map_free(m->index_map);
  m->index_map = nullptr;
  if (m->index_fd >= 0) close(m->index_fd);
  m->index_fd = -1;

  std::string fname = mailbox_file(m->path, FNAME_INDEX);
  int flags = O_RDWR | ((m->mode & MAILBOX_OPEN_TRUNCATE) ? O_TRUNC : 0);
  m->index_fd = fs_open(fname.c_str(), flags);
  if (m->index_fd < 0) {
    if (quiet_recover(m)) return 0;
    int e = errno;
    if (!(m->mode & MAILBOX_OPEN_QUIET) || e != ENOENT) {
      errno = e;
      bvlog(0, LOG_STORE_WRITEFAIL, "Unable to open index file for %s: %m", mbname(m));
    }
    errno = e;
    return IMAP_IOERROR;
  }
  bool torn = false;
  int r = read_fixed_header(m, &torn);
  if (r == 0 && torn) {
    // A crash left the last record unfinished: dropped for good under the
    // index lock, taken without waiting.  A holder has dropped it already
    // (taking the lock re-reads and checks the header), so a busy lock
    // leaves the view read so far.
    const int mode = m->mode;
    m->mode |= MAILBOX_OPEN_NONBLOCK;
    r = mailbox_lock_index(m);
    m->mode = mode;
    if (r == 0) mailbox_unlock_index(m);
    if (r == IMAP_MAILBOX_LOCKED) r = 0;
  }
  if (r == 0) return 0;
  map_free(m->index_map);
  m->index_map = nullptr;
  close(m->index_fd);
  m->index_fd = -1;
  if (r == IMAP_MAILBOX_BADFORMAT && quiet_recover(m)) return 0;
  if (!(m->mode & MAILBOX_OPEN_QUIET)) {
    bvlog(0, LOG_STORE_WRITEFAIL, "Unable to read index file for %s: %s", mbname(m), error_message(r));
  }
  return r;
}

// ---- Reading -------------------------------------------------------------------

namespace {

// An append of one message writes its record and then the header that
// counts it, and flushes both at once.  A machine crash during that flush
// can leave on disk the new header without the whole record (zeros, or
// half of it where the write straddled a sector), without the end of its
// cache entry, or without the directory entry of its message file.  Such a
// message was never acknowledged.  Appends of several records flush them
// before the header, so only the last record a header counts can be torn.
//
// Whether the last record counted by m->mbd is torn that way: a uid of 0,
// not above the previous record's or above last_uid, a cache entry that is
// not behind the previous one or ends past the file, or a message file
// missing or of another size.  Only when the record before it looks sound:
// anything else is damage of another kind, left to the shape checks and
// the check tool, never dropped; so is a missing message file when the
// file before it is missing too.  *flen is the file's size (refreshed when
// another process may have grown the file since it was taken).  *qused
// receives the sizes of the records before it summed.  The common case
// costs one record decode and one stat.
// Whether record's message file is there with the record's size (a
// failure other than a missing file counts as whole: nothing to judge by).
bool message_file_whole(const mailbox* m, const index_record& record) {
  char rel[MAILBOX_FNAME_LEN];
  std::string fname = std::string(m->msgpath) + "/" + mailbox_message_fname(m, record.uid, rel);
  struct stat st;
  if (stat(fname.c_str(), &st) != 0) return errno != ENOENT && errno != ENOTDIR;
  return static_cast<uint64_t>(st.st_size) == record.size;
}

bool tail_record_torn(mailbox* m, size_t* flen, uint64_t* qused) {
  const uint32_t n = m->mbd.exists;
  if (n == 0 || m->mbd.version != MBOX_VERSION || !m->index_map) return false;
  const auto* base = reinterpret_cast<const unsigned char*>(m->index_map->base);
  const uint64_t off = m->hdr.start_offset + uint64_t(INDEX_RECORD_SIZE) * (n - 1);
  if (off + INDEX_RECORD_SIZE > m->index_map->length || off + INDEX_RECORD_SIZE > m->hdr.cache_offset) return false;
  const index_record last = index_record_decode(base + off);
  index_record prev;
  if (n > 1) {
    prev = index_record_decode(base + off - INDEX_RECORD_SIZE);
    if (prev.uid == 0 || prev.uid >= m->mbd.last_uid) return false;
  }
  bool torn = last.uid == 0 || last.uid > m->mbd.last_uid || last.uid <= prev.uid ||
              (n > 1 && last.cache_offset <= prev.cache_offset);
  if (!torn) {
    const uint64_t entry_end = uint64_t(m->hdr.cache_offset) + last.cache_offset + CACHE_MIN_ENTRY;
    if (entry_end > *flen) {
      struct stat st;
      if (fstat(m->index_fd, &st) != 0) return false;
      *flen = static_cast<size_t>(st.st_size);
      m->index_length = *flen;
      torn = entry_end > *flen;
    }
  }
  if (!torn && !message_file_whole(m, last)) {
    // When the file before it is not whole either, files are missing for
    // another reason (a message partition not mounted, damage): dropping
    // would go on one record per open.  Nothing is dropped then.
    struct stat st;
    torn = n > 1 ? message_file_whole(m, prev) : stat(m->msgpath, &st) == 0;
  }
  if (!torn) return false;
  *qused = 0;
  for (uint32_t i = 0; i + 1 < n; ++i) {
    *qused += index_record_decode(base + m->hdr.start_offset + uint64_t(INDEX_RECORD_SIZE) * i).size;
  }
  return true;
}

// Drops the torn last record (index lock held): its slot zeroed again and
// the header written without it, then its message file, which no remaining
// record names, removed.  last_uid stays, so its uid is never given again.
int drop_torn_tail(mailbox* m, uint64_t qused) {
  const uint32_t n = m->mbd.exists;
  const uint64_t off = m->hdr.start_offset + uint64_t(INDEX_RECORD_SIZE) * (n - 1);
  const auto* base = reinterpret_cast<const unsigned char*>(m->index_map->base);
  const uint32_t prev_uid = n > 1 ? index_record_decode(base + off - INDEX_RECORD_SIZE).uid : 0;
  const mboxdata was = m->mbd;
  // Not synced by itself: the header write below syncs both, and a crash
  // before it leaves the same torn tail to be found again.
  const unsigned char zeros[INDEX_RECORD_SIZE] = {};
  if (fs_pwrite(m->index_fd, zeros, sizeof zeros, static_cast<off_t>(off)) != static_cast<ssize_t>(sizeof zeros)) {
    bvlog(0, LOG_STORE_WRITEFAIL, "Unable to clear the unfinished index record of %s: %m", mbname(m));
    return IMAP_IOERROR;
  }
  m->mbd.exists = n - 1;
  m->mbd.qused = qused;
  if (int r = mailbox_write_index_fixed_header(m)) {
    m->mbd = was;
    return r;
  }
  if (m->mbd.last_uid > prev_uid) {
    char rel[MAILBOX_FNAME_LEN];
    std::string fname = std::string(m->msgpath) + "/" + mailbox_message_fname(m, m->mbd.last_uid, rel);
    if (fs_unlink(fname.c_str()) != 0 && errno != ENOENT) {
      bvlog(0, LOG_STORE_ERR, "Unable to remove %s: %m", fname.c_str());
    }
  }
  bvlog(0, LOG_STORE_NOTICE,
        "Folder %s: dropped 1 index record a crash left unfinished (uid %u, never acknowledged); %u messages remain",
        mbname(m), m->mbd.last_uid, m->mbd.exists);
  return 0;
}

}  // namespace

int mailbox_read_index_fixed_header(mailbox* m) { return read_fixed_header(m, nullptr); }

namespace {
int read_fixed_header(mailbox* m, bool* torn_left) {
  const bool recover = quiet_recover(m);
  auto corrupt = [&](const char* what, bool always = false) {
    if (!recover || always) bvlog(0, LOG_STORE_WRITEFAIL, "Mailbox corrupted, %s: %s", what, mbname(m));
    return IMAP_MAILBOX_BADFORMAT;
  };
  struct stat st;
  if (fstat(m->index_fd, &st) != 0) {
    bvlog(0, LOG_STORE_WRITEFAIL, "Unable to stat index for %s: %m", mbname(m));
    return IMAP_IOERROR;
  }
  if (st.st_size < static_cast<off_t>(INDEX_HEADER_SIZE)) return corrupt("missing fixed headers");

  const bool partial = (m->mode & (MAILBOX_OPEN_NOCACHE | MAILBOX_OPEN_APPEND)) != 0;
  if (partial) {
    // pread keeps the descriptor's position, which appends use as the end
    // of the cache area.
    unsigned char buf[INDEX_HEADER_SIZE];
    if (pread(m->index_fd, buf, sizeof buf, 0) != static_cast<ssize_t>(sizeof buf)) {
      return corrupt("missing fixed headers");
    }
    m->mbd = mboxdata_decode(buf);
    m->hdr = mboxidxhdr_decode(buf + MBOXDATA_SIZE);
    uint64_t want = uint64_t(m->hdr.start_offset) + uint64_t(INDEX_RECORD_SIZE) * m->mbd.exists;
    if (want > static_cast<uint64_t>(st.st_size)) want = static_cast<uint64_t>(st.st_size);
    m->index_map = map_refresh(m->index_fd, m->index_map, 0, static_cast<long>(want));
  } else {
    m->index_map = map_refresh(m->index_fd, m->index_map, MAP_F_WHOLE, -1);
  }
  if (!m->index_map) {
    bvlog(0, LOG_STORE_WRITEFAIL, "Unable to map index file for %s: %m", mbname(m));
    return IMAP_IOERROR;
  }
  size_t flen = partial ? static_cast<size_t>(st.st_size) : m->index_map->fdlength;
  if (!partial) {
    // The file may have shrunk between the fstat and the map.
    if (m->index_map->length < INDEX_HEADER_SIZE) return corrupt("missing fixed headers");
    const auto* b = reinterpret_cast<const unsigned char*>(m->index_map->base);
    m->mbd = mboxdata_decode(b);
    m->hdr = mboxidxhdr_decode(b + MBOXDATA_SIZE);
  }
  m->index_ino = st.st_ino;
  m->index_mtime = st.st_mtime;
  m->index_length = flen;

  if (m->hdr.start_offset > flen) {
    if (!recover) return corrupt("start_offset beyond EOF");
    m->hdr.start_offset = static_cast<uint32_t>(flen);
  }
  const uint32_t v = m->mbd.version;
  if (v != MBOX_VERSION && v != MBOX_VERSION_V1 && v != MBOX_VERSION_TRANSITION) {
    return corrupt("Version not recognized", true);
  }
  // A start_offset inside the fixed header would give the variable header a
  // negative size; no writer ever makes one.
  if (m->hdr.start_offset < INDEX_HEADER_SIZE && !recover) return corrupt("start_offset inside fixed header");

  if (v == MBOX_VERSION_V1) {
    uint64_t need = uint64_t(m->hdr.start_offset) + uint64_t(INDEX_RECORD_V1_SIZE) * m->mbd.exists;
    if (need > flen) return corrupt("appears truncated");
  } else {
    uint64_t rec_end = uint64_t(m->hdr.start_offset) + uint64_t(INDEX_RECORD_SIZE) * m->mbd.exists;
    if (rec_end > m->hdr.cache_offset) return corrupt("cache and idxrec overlap");
    uint64_t qused = 0;
    if (!recover && tail_record_torn(m, &flen, &qused)) {
      if (m->index_lock_count > 0) {
        if (int r = drop_torn_tail(m, qused)) return r;
      } else {
        // Read as if dropped; the caller drops it under the lock.
        m->mbd.exists--;
        m->mbd.qused = qused;
        if (torn_left) *torn_left = true;
      }
    }
    uint64_t expected = m->hdr.cache_offset;
    auto last_entry_end = [&]() -> uint64_t {
      if (m->mbd.exists == 0 || flen < m->hdr.cache_offset) return m->hdr.cache_offset;
      size_t off = m->hdr.start_offset + INDEX_RECORD_SIZE * (m->mbd.exists - 1);
      if (off + INDEX_RECORD_SIZE > m->index_map->length) return m->hdr.cache_offset;
      index_record last = index_record_decode(reinterpret_cast<const unsigned char*>(m->index_map->base) + off);
      return uint64_t(m->hdr.cache_offset) + last.cache_offset + CACHE_MIN_ENTRY;
    };
    expected = last_entry_end();
    if (flen < expected) {
      // Another process may have grown the file since our fstat.
      if (fstat(m->index_fd, &st) != 0 || st.st_size < static_cast<off_t>(INDEX_HEADER_SIZE)) {
        return IMAP_MAILBOX_BADFORMAT;
      }
      flen = static_cast<size_t>(st.st_size);
      m->index_length = flen;
      expected = last_entry_end();
      if (flen < expected) {
        if (m->mbd.exists == 0 && flen >= m->hdr.start_offset && flen < m->hdr.cache_offset) {
          // A creator died before writing the reserved room.
          if (fs_ftruncate(m->index_fd, m->hdr.cache_offset) != 0) {
            bvlog(0, LOG_STORE_WRITEFAIL, "Unable to extend index file for %s: %m", mbname(m));
            return IMAP_IOERROR;
          }
          m->index_map = map_refresh(m->index_fd, m->index_map, partial ? 0 : MAP_F_WHOLE,
                                     partial ? static_cast<long>(m->hdr.start_offset) : -1);
          if (!m->index_map) {
            bvlog(0, LOG_STORE_WRITEFAIL, "Unable to map index file for %s: %m", mbname(m));
            return IMAP_IOERROR;
          }
          m->index_length = m->hdr.cache_offset;
          bvlog(0, LOG_STORE_NOTICE, "Fixed partially created mailbox: %s", mbname(m));
        } else {
          return corrupt("appears truncated");
        }
      } else if (!partial) {
        m->index_map = map_refresh(m->index_fd, m->index_map, MAP_F_WHOLE, -1);
        if (!m->index_map) {
          bvlog(0, LOG_STORE_WRITEFAIL, "Unable to map index file for %s: %m", mbname(m));
          return IMAP_IOERROR;
        }
      }
    }
  }
  int r = mailbox_read_index_variable_header(m);
  return recover ? 0 : r;
}
}  // namespace

namespace {

// The variable header as mapped: [80, start_offset), clipped to the map.
bool varhdr_span(const mailbox* m, const char** p, size_t* n) {
  if (!m->index_map || m->hdr.start_offset < INDEX_HEADER_SIZE) return false;
  size_t end = m->hdr.start_offset;
  if (end > m->index_map->length) return false;
  *p = m->index_map->base + INDEX_HEADER_SIZE;
  *n = end - INDEX_HEADER_SIZE;
  return true;
}

int read_acl_at(mailbox* m, const char* p, size_t n, const char* lf) {
  const char* acl = lf + 1;
  const char* nul = static_cast<const char*>(memchr(acl, '\0', static_cast<size_t>(p + n - acl)));
  if (!nul) {
    if (!quiet_recover(m)) bvlog(0, LOG_STORE_WRITEFAIL, "ACLs corrupted: %s", mbname(m));
    return IMAP_MAILBOX_BADFORMAT;
  }
  free(m->acl);
  m->acl = xstrndup(acl, static_cast<size_t>(nul - acl));
  return 0;
}

// The LF that ends the flag list, or null (logged) when the variable
// header has none.
const char* flags_end(const mailbox* m, const char** p, size_t* n) {
  const char* lf = nullptr;
  if (varhdr_span(m, p, n)) lf = static_cast<const char*>(memchr(*p, '\n', *n));
  if (!lf && !quiet_recover(m)) bvlog(0, LOG_STORE_WRITEFAIL, "Flags corrupted: %s", mbname(m));
  return lf;
}

}  // namespace

int mailbox_read_index_variable_header(mailbox* m) {
  const char* p;
  size_t n;
  const char* lf = flags_end(m, &p, &n);
  if (!lf) return IMAP_MAILBOX_BADFORMAT;
  // Every name is kept as written, plug-in flag names included: the
  // plug-in's flags live in system_flags, and dropping a user's flag name
  // would leave its messages' bits without a name.
  const char* q = p;
  int slot = 0;
  for (; slot < MAX_USER_FLAGS && q < lf; ++slot) {
    const char* nul = static_cast<const char*>(memchr(q, '\0', static_cast<size_t>(lf - q)));
    const char* end = nul ? nul : lf;
    free(m->flagname[slot]);
    m->flagname[slot] = end > q ? xstrndup(q, static_cast<size_t>(end - q)) : nullptr;
    q = nul ? nul + 1 : lf;
  }
  for (; slot < MAX_USER_FLAGS; ++slot) {
    free(m->flagname[slot]);
    m->flagname[slot] = nullptr;
  }
  return read_acl_at(m, p, n, lf);
}

int mailbox_read_index_header_acl(mailbox* m) {
  const char* p;
  size_t n;
  const char* lf = flags_end(m, &p, &n);
  if (!lf) return IMAP_MAILBOX_BADFORMAT;
  return read_acl_at(m, p, n, lf);
}

int mailbox_read_index_record(mailbox* m, unsigned msgno, index_record* record) {
  const bool v1 = m->mbd.version == MBOX_VERSION_V1;
  const size_t size = v1 ? INDEX_RECORD_V1_SIZE : INDEX_RECORD_SIZE;
  if (msgno == 0) return IMAP_INVALID_MSGNO;
  uint64_t off = uint64_t(m->hdr.start_offset) + uint64_t(size) * (msgno - 1);
  if (off + size > m->index_length) {
    if (!quiet_recover(m)) bvlog(0, LOG_STORE_WRITEFAIL, "Index record %u for %s past end of file", msgno, mbname(m));
    return IMAP_IOERROR;
  }
  if (!m->index_map || off + size > m->index_map->length) {
    if (!quiet_recover(m)) {
      bvlog(0, LOG_STORE_WRITEFAIL, "Index record not read because mailbox %s not mapped", mbname(m));
    }
    return IMAP_IOERROR;
  }
  const auto* b = reinterpret_cast<const unsigned char*>(m->index_map->base) + off;
  *record = v1 ? index_record_decode_v1(b) : index_record_decode(b);
  return 0;
}

int mailbox_read_acl(mailbox* m, const auth_state* auth_state) {
  char* acl = nullptr;
  if (int r = mboxlist_lookup(m->name, nullptr, nullptr, nullptr, nullptr, &acl)) return r;
  free(m->acl);
  m->acl = acl;
  m->myrights = acl_myrights(auth_state, m->acl);
  return 0;
}

const unsigned char* mailbox_cache_item(const map_handle* map, const char* mboxname, unsigned msgno, int itemno) {
  auto bad = [&]() -> const unsigned char* {
    bvlog(0, LOG_SEV_ERR, "Invalid cache data for msg %u in mailbox %s. Needs reconstruct", msgno, mboxname);
    return nullptr;
  };
  if (!map || map->length < INDEX_HEADER_SIZE || msgno == 0 || itemno < 0 ||
      itemno >= static_cast<int>(CACHE_ITEM_COUNT)) {
    return bad();
  }
  const auto* base = reinterpret_cast<const unsigned char*>(map->base);
  const uint64_t len = map->length;
  const uint64_t cache_start = get_le32(base + 60);
  const uint64_t start_offset = get_le32(base + 64);
  const uint64_t rec = start_offset + uint64_t(INDEX_RECORD_SIZE) * (msgno - 1);
  if (rec + INDEX_RECORD_SIZE > len) return bad();
  uint64_t p = cache_start + get_le32(base + rec + 40);
  for (;;) {
    if (p < cache_start || p + 4 > len) return bad();
    uint64_t l = get_be32(base + p);
    if (p + 4 + l > len) return bad();
    if (itemno-- == 0) return base + p;
    p += 4 + ((l + 3) & ~uint64_t(3));
  }
}

// ---- Locks ---------------------------------------------------------------------------

namespace {
thread_local int t_lock_nowait = 0;
}  // namespace

MailboxLockNoWait::MailboxLockNoWait() { ++t_lock_nowait; }
MailboxLockNoWait::~MailboxLockNoWait() { --t_lock_nowait; }
bool mailbox_lock_nowait() { return t_lock_nowait > 0; }

int mailbox_lock_index(mailbox* m) {
  ORV_ASSERT(m->index_fd >= 0);
  if (m->index_lock_count++ > 0) return 0;
  ORV_ASSERT(m->peruser_lock_count == 0);
  std::string fname = mailbox_file(m->path, FNAME_INDEX);
  for (;;) {
    if ((m->mode & MAILBOX_OPEN_NONBLOCK) || t_lock_nowait > 0) {
      if (lock_nonblocking(m->index_fd) != 0) {
        m->index_lock_count = 0;
        return IMAP_MAILBOX_LOCKED;
      }
    } else if (lock_blocking(m->index_fd) != 0) {
      m->index_lock_count = 0;
      bvlog(0, LOG_STORE_WRITEFAIL, "Unable to lock index for %s: %m", mbname(m));
      return IMAP_IOERROR;
    }
    struct stat st;
    if (stat(fname.c_str(), &st) != 0) {
      bvlog(0, LOG_STORE_WRITEFAIL, "Unable to stat index for %s: %m", mbname(m));
      (void)lock_unlock(m->index_fd);
      m->index_lock_count = 0;
      return IMAP_IOERROR;
    }
    if (st.st_ino == m->index_ino) {
      int r = mailbox_read_index_fixed_header(m);
      if (r == 0 || quiet_recover(m)) return 0;
      (void)lock_unlock(m->index_fd);
      m->index_lock_count = 0;
      return r;
    }
    // Replaced by another process (expunge, header growth): follow it.
    (void)lock_unlock(m->index_fd);
    m->index_lock_count = 0;
    if (int r = mailbox_reopen_index(m)) return r;
    if (m->index_fd < 0) return IMAP_IOERROR;
    m->index_lock_count = 1;
  }
}

void mailbox_unlock_index(mailbox* m) {
  ORV_ASSERT(m->index_lock_count > 0);
  if (--m->index_lock_count > 0) return;
  if (m->header_deferred) {
    // The next lock reads the header back from the file: appends never
    // flushed stay uncounted, as if this process had died.
    bvlog(0, LOG_STORE_ERR, "Appends to %s were not flushed and are dropped", mbname(m));
    drop_deferred(m);
  }
  (void)lock_unlock(m->index_fd);
}

// ---- Writing ----------------------------------------------------------------------------

int mailbox_write_index_fixed_header(mailbox* m) {
  if (m->mode & MAILBOX_OPEN_DEFERSYNC) {
    m->header_deferred = true;
    return 0;
  }
  unsigned char buf[INDEX_HEADER_SIZE];
  mboxdata_encode(m->mbd, buf);
  mboxidxhdr_encode(m->hdr, buf + MBOXDATA_SIZE);
  if (fs_pwrite(m->index_fd, buf, sizeof buf, 0) != static_cast<ssize_t>(sizeof buf) ||
      sync_file(m->index_fd, mailbox_index_synclevel(m)) != 0) {
    bvlog(0, LOG_STORE_WRITEFAIL, "Unable to write index header for %s: %m", mbname(m));
    return IMAP_IOERROR;
  }
  return 0;
}

namespace {

// Copies bytes [from, to) of in to the current end of out.
bool copy_range(int in, int out, uint64_t from, uint64_t to, uint64_t out_off) {
  std::vector<char> buf(1 << 20);
  while (from < to) {
    size_t want = static_cast<size_t>(std::min<uint64_t>(buf.size(), to - from));
    ssize_t n = pread(in, buf.data(), want, static_cast<off_t>(from));
    if (n <= 0) {
      if (n == 0) errno = EIO;
      return false;
    }
    if (fs_pwrite(out, buf.data(), static_cast<size_t>(n), static_cast<off_t>(out_off)) != n) return false;
    from += static_cast<uint64_t>(n);
    out_off += static_cast<uint64_t>(n);
  }
  return true;
}

}  // namespace

int mailbox_write_index_variable_header(mailbox* m) {
  ORV_ASSERT(m->index_lock_count > 0);
  std::string content = mailbox_encode_variable_header(m);
  const uint32_t room = m->hdr.start_offset - INDEX_HEADER_SIZE;
  if (content.size() <= room) {
    content.resize(room, '\0');
    if (fs_pwrite(m->index_fd, content.data(), content.size(), INDEX_HEADER_SIZE) !=
            static_cast<ssize_t>(content.size()) ||
        sync_file(m->index_fd, mailbox_index_synclevel(m)) != 0) {
      bvlog(0, LOG_STORE_WRITEFAIL, "Unable to write index header for %s: %m", mbname(m));
      return IMAP_IOERROR;
    }
    return 0;
  }

  // Grow: write a complete new file and rename it over the old one, so a
  // crash leaves either the old file or the new one.  The new header counts
  // every record, so deferred appends are flushed first.
  if (m->header_deferred) {
    if (int r = mailbox_flush_before_rewrite(m)) return r;
  }
  const uint32_t newroom = mailbox_grown_room(room, content.size());
  const uint32_t growth = newroom - room;
  if (uint64_t(m->hdr.cache_offset) + growth > UINT32_MAX) {
    bvlog(0, LOG_STORE_ERR, "Unable to grow index header for %s: index would pass 4 GiB", mbname(m));
    return IMAP_IOERROR;
  }
  std::string newname = mailbox_file(m->path, FNAME_INDEX_NEW);
  UniqueFd nfd(fs_open(newname.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0666));
  if (!nfd) {
    bvlog(0, LOG_STORE_WRITEFAIL, "Unable to create index file for %s: %m", mbname(m));
    return IMAP_IOERROR;
  }
  UnlinkGuard unlink_new(newname);
  if (lock_blocking(nfd.get()) != 0) {
    bvlog(0, LOG_STORE_WRITEFAIL, "Unable to lock new index for %s: %m", mbname(m));
    return IMAP_IOERROR;
  }
  struct stat st;
  if (fstat(m->index_fd, &st) != 0) {
    bvlog(0, LOG_STORE_WRITEFAIL, "Unable to stat index for %s: %m", mbname(m));
    return IMAP_IOERROR;
  }
  mboxidxhdr hdr = m->hdr;
  const uint32_t old_start = hdr.start_offset;
  hdr.start_offset = INDEX_HEADER_SIZE + newroom;
  hdr.cache_offset += growth;
  std::string head(INDEX_HEADER_SIZE, '\0');
  mboxdata_encode(m->mbd, reinterpret_cast<unsigned char*>(head.data()));
  mboxidxhdr_encode(hdr, reinterpret_cast<unsigned char*>(head.data()) + MBOXDATA_SIZE);
  content.resize(newroom, '\0');
  head += content;
  // The rest of the old file (records, reserved room, cache) follows
  // unchanged.  It is read from the file, not the map: a map made with
  // MAILBOX_OPEN_NOCACHE or before this handle appended cache bytes does
  // not reach the end.
  const uint64_t old_end = static_cast<uint64_t>(st.st_size);
  if (fs_pwrite(nfd.get(), head.data(), head.size(), 0) != static_cast<ssize_t>(head.size()) ||
      !copy_range(m->index_fd, nfd.get(), old_start, old_end, head.size()) ||
      sync_file(nfd.get(), g_mailbox_sync.index) != 0) {
    bvlog(0, LOG_STORE_WRITEFAIL, "Unable to write new index for %s: %m", mbname(m));
    return IMAP_IOERROR;
  }
  std::string fname = mailbox_file(m->path, FNAME_INDEX);
  if (fs_rename(newname.c_str(), fname.c_str()) != 0) {
    bvlog(0, LOG_STORE_WRITEFAIL, "Unable to rename index file for %s: %m", mbname(m));
    return IMAP_IOERROR;
  }
  unlink_new.release();
  (void)sync_parent_dir(fname.c_str(), g_mailbox_sync.index);
  // Continue on the new file, already locked.
  (void)lock_unlock(m->index_fd);
  close(m->index_fd);
  m->index_fd = nfd.release();
  m->hdr = hdr;
  m->newfiles++;
  struct stat nst;
  if (fstat(m->index_fd, &nst) == 0) {
    m->index_ino = nst.st_ino;
    m->index_mtime = nst.st_mtime;
  }
  m->index_length = head.size() + (old_end - old_start);
  if (m->index_map) {
    const bool partial = (m->mode & (MAILBOX_OPEN_NOCACHE | MAILBOX_OPEN_APPEND)) != 0;
    long want = partial ? static_cast<long>(hdr.start_offset + uint64_t(INDEX_RECORD_SIZE) * m->mbd.exists) : -1;
    m->index_map = map_refresh(m->index_fd, m->index_map, partial ? 0 : MAP_F_WHOLE, want);
    if (!m->index_map) {
      bvlog(0, LOG_STORE_WRITEFAIL, "Unable to map index file for %s: %m", mbname(m));
      return IMAP_IOERROR;
    }
  }
  return 0;
}

int mailbox_write_index_record(mailbox* m, unsigned msgno, const index_record* record) {
  ORV_ASSERT(msgno > 0);
  unsigned char buf[INDEX_RECORD_SIZE];
  index_record_encode(*record, buf);
  off_t off = static_cast<off_t>(m->hdr.start_offset + uint64_t(INDEX_RECORD_SIZE) * (msgno - 1));
  if (fs_pwrite(m->index_fd, buf, sizeof buf, off) != static_cast<ssize_t>(sizeof buf) ||
      sync_file(m->index_fd, g_mailbox_sync.index) != 0) {
    bvlog(0, LOG_STORE_WRITEFAIL, "Unable to write index record %u for %s: %m", msgno, mbname(m));
    return IMAP_IOERROR;
  }
  return 0;
}

int mailbox_append_index(mailbox* m, const index_record* record, unsigned start, unsigned num) {
  ORV_ASSERT(m->index_lock_count > 0 && start > 0);
  if (num == 0) return 0;
  uint64_t off = m->hdr.start_offset + uint64_t(INDEX_RECORD_SIZE) * (start - 1);
  if (off + uint64_t(INDEX_RECORD_SIZE) * num > m->hdr.cache_offset) {
    // Writing on would overwrite the cache area.
    bvlog(0, LOG_STORE_ERR, "Unable to append index records for %s: no room before the cache", mbname(m));
    return IMAP_IOERROR;
  }
  std::vector<unsigned char> buf(INDEX_RECORD_SIZE * num);
  for (unsigned i = 0; i < num; ++i) index_record_encode(record[i], buf.data() + INDEX_RECORD_SIZE * i);
  // One record is not synced here: the header write that counts it syncs
  // both, one flush per append, and a crash that tears it during that
  // flush is recognised when the folder is next read (tail_record_torn).
  // Several records are synced before their header, so a crash can only
  // ever tear the last record a header counts.
  if (fs_pwrite(m->index_fd, buf.data(), buf.size(), static_cast<off_t>(off)) != static_cast<ssize_t>(buf.size()) ||
      (num > 1 && sync_file(m->index_fd, mailbox_index_synclevel(m)) != 0)) {
    bvlog(0, LOG_STORE_ERR, "Unable to append index records for %s: %m", mbname(m));
    return IMAP_IOERROR;
  }
  return 0;
}

// ---- Message files -------------------------------------------------------------------------

char* mailbox_message_fname(const mailbox*, uint32_t uid, char* buf) {
  snprintf(buf, MAILBOX_FNAME_LEN, "%02u/%u.msg", (uid / 100) % 100, uid);
  return buf;
}

int mailbox_map_message(const mailbox* m, uint32_t uid, int* fdp, map_handle** mapp) {
  char rel[MAILBOX_FNAME_LEN];
  std::string fname = m->msgpath;
  if (fname.empty() || (fname.back() != '/' && fname.back() != '\\')) fname += '/';
  fname += mailbox_message_fname(m, uid, rel);
  UniqueFd fd(fs_open(fname.c_str(), O_RDONLY));
  if (!fd) return errno;
  if (mapp) {
    *mapp = map_refresh(fd.get(), nullptr, 0, -1);
    if (!*mapp) {
      bvlog(0, LOG_STORE_ERR, "Unable to map message file %s for %s: %m", fname.c_str(), mbname(m));
      return IMAP_IOERROR;
    }
  }
  if (fdp) *fdp = fd.release();
  return 0;
}

void mailbox_unmap_message(const mailbox*, int* fdp, map_handle* map) {
  map_free(map);
  if (fdp && *fdp >= 0) {
    close(*fdp);
    *fdp = -1;
  }
}

int message_parse_file(int fd, mailbox* m, const char* extra, index_record* record) {
  return message_parse_file(fd, m->name, m->index_fd, m->hdr.cache_offset, extra, record);
}

int message_parse_mapped(const char* base, size_t len, mailbox* m, const char* extra, index_record* record) {
  return message_parse_mapped(base, len, m->name, m->index_fd, m->hdr.cache_offset, extra, record);
}

// ---- Conversion of the older format ----------------------------------------------------------

int mailbox_convertfromv1(mailbox* m) {
  if (int r = mailbox_lock_index(m)) return r;
  struct Unlock {
    mailbox* m;
    ~Unlock() {
      if (m->index_lock_count > 0) mailbox_unlock_index(m);
    }
  } unlock{m};
  if (m->mbd.version != MBOX_VERSION_V1) return 0;  // converted by another process meanwhile

  std::string cchname = mailbox_file(m->path, FNAME_CACHE);
  UniqueFd cfd(fs_open(cchname.c_str(), O_RDWR));
  if (!cfd) {
    bvlog(0, LOG_STORE_WRITEFAIL, "Unable to open cache file for %s: %m", mbname(m));
    return IMAP_IOERROR;
  }
  MapPtr cmap(map_refresh(cfd.get(), nullptr, 0, -1));
  if (!cmap) {
    bvlog(0, LOG_STORE_WRITEFAIL, "Unable to map cache file for %s: %m", mbname(m));
    return IMAP_IOERROR;
  }
  const auto* cbase = reinterpret_cast<const unsigned char*>(cmap->base);
  if (cmap->length < 4 || get_le32(cbase) != m->hdr.cache_offset) {
    bvlog(0, LOG_STORE_WRITEFAIL, "Mailbox corrupted, cache file does not match index: %s", mbname(m));
    return IMAP_MAILBOX_BADFORMAT;
  }
  const uint32_t exists = m->mbd.exists;
  const uint64_t start = m->hdr.start_offset;
  if (start + uint64_t(INDEX_RECORD_V1_SIZE) * exists > m->index_map->length) {
    bvlog(0, LOG_STORE_WRITEFAIL, "Mailbox corrupted, appears truncated: %s", mbname(m));
    return IMAP_MAILBOX_BADFORMAT;
  }
  const uint64_t new_cache = start + uint64_t(INDEX_RECORD_SIZE) * exists + INDEX_RESERVE_RECORDS * INDEX_RECORD_SIZE;
  if (new_cache + cmap->length > UINT32_MAX) {
    bvlog(0, LOG_STORE_ERR, "Unable to convert %s: index would pass 4 GiB", mbname(m));
    return IMAP_IOERROR;
  }

  mboxdata mbd = m->mbd;
  mboxidxhdr hdr = m->hdr;
  mbd.version = MBOX_VERSION;
  hdr.cache_offset = static_cast<uint32_t>(new_cache);
  std::vector<unsigned char> out(new_cache, 0);
  mboxdata_encode(mbd, out.data());
  mboxidxhdr_encode(hdr, out.data() + MBOXDATA_SIZE);
  const auto* ibase = reinterpret_cast<const unsigned char*>(m->index_map->base);
  memcpy(out.data() + INDEX_HEADER_SIZE, ibase + INDEX_HEADER_SIZE, start - INDEX_HEADER_SIZE);
  for (uint32_t i = 0; i < exists; ++i) {
    index_record r = index_record_decode_v1(ibase + start + INDEX_RECORD_V1_SIZE * i);
    // Offsets counted from the start of store.cch, whose first word is gone.
    r.cache_offset -= 4;
    r.orig_uid = r.uid;
    r.orig_uidvalidity = mbd.uid_validity;
    index_record_encode(r, out.data() + start + INDEX_RECORD_SIZE * i);
  }
  std::string newname = mailbox_file(m->path, FNAME_INDEX_NEW);
  UniqueFd nfd(fs_open(newname.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0666));
  if (!nfd) {
    bvlog(0, LOG_STORE_WRITEFAIL, "Unable to create index for %s: %m", mbname(m));
    return IMAP_IOERROR;
  }
  UnlinkGuard unlink_new(newname);
  struct iovec iov[2] = {{out.data(), out.size()}, {const_cast<char*>(cmap->base + 4), cmap->length - 4}};
  if (retry_writev(nfd.get(), iov, 2) < 0 || sync_file(nfd.get(), g_mailbox_sync.index) != 0) {
    bvlog(0, LOG_STORE_WRITEFAIL, "Unable to write index header for %s: %m", mbname(m));
    return IMAP_IOERROR;
  }
  mboxdata saved_mbd = m->mbd;
  mboxidxhdr saved_hdr = m->hdr;
  m->mbd = mbd;
  m->hdr = hdr;
  if (mailbox_listupdate(m, 0) != 0) {
    bvlog(0, LOG_STORE_ERR, "Unable to update mboxlist for %s", mbname(m));
    m->mbd = saved_mbd;
    m->hdr = saved_hdr;
    return IMAP_IOERROR;
  }
  std::string fname = mailbox_file(m->path, FNAME_INDEX);
  if (fs_rename(newname.c_str(), fname.c_str()) != 0) {
    bvlog(0, LOG_STORE_WRITEFAIL, "Unable to rename index file for %s: %m", mbname(m));
    m->mbd = saved_mbd;
    m->hdr = saved_hdr;
    (void)mailbox_listupdate(m, 0);
    return IMAP_IOERROR;
  }
  unlink_new.release();
  (void)sync_parent_dir(fname.c_str(), g_mailbox_sync.index);
  (void)fs_unlink(cchname.c_str());
  m->newfiles++;
  mailbox_unlock_index(m);
  return mailbox_reopen_index(m);
}
