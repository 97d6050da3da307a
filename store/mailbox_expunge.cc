// Expunge: rewriting a folder's index without some records, the expunge
// log, and the later removal of expunged message files.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "common/assert.h"
#include "common/bvlog.h"
#include "common/fileio.h"
#include "common/imap_err.h"
#include "common/lock.h"
#include "common/unique_fd.h"
#include "store/mailbox.h"
#include "store/mailbox_internal.h"
#include "store/quota_record.h"
#include "store/storenotify.h"

int expungeall(void*, const index_record*) { return 1; }
int expungenone(void*, const index_record*) { return -1; }

int mailbox_lock_expunge(const char* fname, int docreate, int* fd_p, size_t* size_p) {
  *fd_p = -1;
  *size_p = 0;
  for (;;) {
    int fd = fs_open(fname, O_RDWR | (docreate ? O_CREAT : 0), 0666);
    if (fd < 0) {
      if (!docreate && (errno == ENOENT || errno == EINVAL)) return IMAP_MAILBOX_NONEXISTENT;
      bvlog(0, LOG_STORE_ERR, "Unable to open expunge file %s: %m", fname);
      return IMAP_IOERROR;
    }
    struct stat st;
    const char* failaction = "locking";
    fd = lock_reopen(fd, fname, &st, &failaction);
    if (fd < 0) {
      if (errno == ENOENT) continue;  // removed by a clean-up while we waited
      bvlog(0, LOG_STORE_ERR, "%s %s: %m", failaction, fname);
      return IMAP_IOERROR;
    }
    UniqueFd owned(fd);
    size_t size = static_cast<size_t>(st.st_size);
    if (docreate && size < EXPUNGE_MAGIC_SIZE) {
      if (fs_pwrite(fd, EXPUNGE_MAGIC, EXPUNGE_MAGIC_SIZE, 0) != static_cast<ssize_t>(EXPUNGE_MAGIC_SIZE) ||
          sync_file(fd, g_mailbox_sync.expunge) != 0) {
        bvlog(0, LOG_STORE_ERR, "Unable to write expunge file %s: %m", fname);
        (void)lock_unlock(fd);
        return IMAP_IOERROR;
      }
      size = EXPUNGE_MAGIC_SIZE;
    }
    *fd_p = owned.release();
    *size_p = size;
    return 0;
  }
}

namespace {

struct ExpungeEntry {
  int32_t when;
  uint32_t uid;
};

// The uids the folder's index lists now, sorted, read with plain reads and
// no lock.  An expunge logs its uids only once the index without them is in
// place (and holds the log's lock across both), so a logged uid found here
// means a damaged log, and its file must stay.  False when the index cannot
// be read.
bool indexed_uids(const char* path, std::vector<uint32_t>* out) {
  UniqueFd fd(open(mailbox_file(path, FNAME_INDEX).c_str(), O_RDONLY | O_CLOEXEC));
  unsigned char head[INDEX_HEADER_SIZE];
  struct stat st;
  if (!fd || pread(fd.get(), head, sizeof head, 0) != static_cast<ssize_t>(sizeof head) || fstat(fd.get(), &st) != 0)
    return false;
  const mboxdata mbd = mboxdata_decode(head);
  const mboxidxhdr hdr = mboxidxhdr_decode(head + MBOXDATA_SIZE);
  const bool v1 = mbd.version == MBOX_VERSION_V1;
  const size_t recsize = v1 ? INDEX_RECORD_V1_SIZE : INDEX_RECORD_SIZE;
  const uint64_t bytes = uint64_t(recsize) * mbd.exists;
  if (hdr.start_offset < INDEX_HEADER_SIZE || hdr.start_offset + bytes > static_cast<uint64_t>(st.st_size))
    return false;
  std::vector<unsigned char> recs(bytes);
  if (pread(fd.get(), recs.data(), recs.size(), hdr.start_offset) != static_cast<ssize_t>(recs.size())) return false;
  out->clear();
  for (size_t off = 0; off < recs.size(); off += recsize)
    out->push_back(v1 ? index_record_decode_v1(&recs[off]).uid : index_record_decode(&recs[off]).uid);
  std::sort(out->begin(), out->end());
  return true;
}

void encode_entries(const std::vector<ExpungeEntry>& entries, std::vector<unsigned char>& out) {
  out.resize(entries.size() * EXPUNGE_ENTRY_SIZE);
  for (size_t i = 0; i < entries.size(); ++i) {
    put_le32(out.data() + EXPUNGE_ENTRY_SIZE * i, static_cast<uint32_t>(entries[i].when));
    put_le32(out.data() + EXPUNGE_ENTRY_SIZE * i + 4, entries[i].uid);
  }
}

}  // namespace

int mailbox_expunge(mailbox* m, int flags, int extraspace, mailbox_expungeproc_t expungeproc, void* expungerock) {
  ORV_ASSERT(extraspace >= 0);
  if (m->mbd.exists == 0 && !(flags & EXPUNGE_FORCE) && extraspace == 0) return 0;
  const bool locked_by_caller = (flags & EXPUNGE_LOCKED) != 0;
  // A bulk append (header deferred) that only needs room: the new file
  // takes every record, but its header, like the old file's on disk,
  // counts only what was flushed; the handle goes on counting the rest,
  // its header still deferred.  So nothing needs flushing first, and a
  // crash after the rename finds what it would have found before.
  const bool keep_deferred = m->header_deferred && locked_by_caller && expungeproc == expungenone &&
                             !(flags & EXPUNGE_FORCE) && extraspace > 0;
  mboxdata on_disk;
  if (keep_deferred) {
    unsigned char h[INDEX_HEADER_SIZE];
    if (pread(m->index_fd, h, sizeof h, 0) != static_cast<ssize_t>(sizeof h)) {
      bvlog(0, LOG_STORE_WRITEFAIL, "Unable to read index header for %s: %m", m->name);
      return IMAP_IOERROR;
    }
    on_disk = mboxdata_decode(h);
  } else if (m->header_deferred) {
    // Otherwise the new index counts every record, and its header is read
    // back from the file below: the deferred appends are flushed first.
    if (int r = mailbox_flush_before_rewrite(m)) return r;
  }
  if (m->mode & (MAILBOX_OPEN_NOCACHE | MAILBOX_OPEN_APPEND)) {
    // The cache area must be mapped to be copied.
    m->mode &= ~(MAILBOX_OPEN_NOCACHE | MAILBOX_OPEN_APPEND);
    if (locked_by_caller) {
      const mboxdata live_mbd = m->mbd;
      const mboxidxhdr live_hdr = m->hdr;
      if (int r = mailbox_read_index_fixed_header(m)) return r;
      // The file maps whole now; the handle's view stays its own.
      if (keep_deferred) {
        m->mbd = live_mbd;
        m->hdr = live_hdr;
      }
    }
  }
  if (!locked_by_caller) {
    if (int r = mailbox_lock_index(m)) return r;
  }
  auto unlock = [&]() {
    if (!locked_by_caller) mailbox_unlock_index(m);
  };
  // The list record is rewritten from the index below: an index ahead of it
  // (an append died before its commit) must first bring the quota root
  // along, or the rewrite would hide the difference for good.
  if (const mailbox_listops& ops = mailbox_listops_current(); ops.catchup) (void)ops.catchup(m);
  const mboxdata saved_mbd = m->mbd;
  const mboxidxhdr saved_hdr = m->hdr;
  const uint32_t exists = m->mbd.exists;
  const uint32_t start = m->hdr.start_offset;
  const uint32_t old_cache = m->hdr.cache_offset;
  const auto* base = reinterpret_cast<const unsigned char*>(m->index_map->base);
  const size_t maplen = m->index_map->length;
  auto record_at = [&](uint32_t msgno) { return index_record_decode(base + start + INDEX_RECORD_SIZE * (msgno - 1)); };
  if (uint64_t(start) + uint64_t(INDEX_RECORD_SIZE) * exists > maplen || old_cache > maplen) {
    bvlog(0, LOG_STORE_WRITEFAIL, "Mailbox corrupted, appears truncated: %s", m->name);
    unlock();
    return IMAP_MAILBOX_BADFORMAT;
  }

  // The first record chosen.  A first non-zero answer of -1 keeps
  // everything: the rewrite would change nothing.
  uint32_t first_hit = 0;
  int first_answer = 0;
  if (!(flags & EXPUNGE_FORCE) && extraspace == 0) {
    for (uint32_t msgno = 1; msgno <= exists; ++msgno) {
      index_record rec = record_at(msgno);
      if (int a = expungeproc(expungerock, &rec)) {
        first_hit = msgno;
        first_answer = a;
        break;
      }
    }
    if (first_hit == 0 || first_answer == -1) {
      unlock();
      return 0;
    }
  }

  const uint64_t new_cache64 =
      uint64_t(start) + uint64_t(INDEX_RECORD_SIZE) * (uint64_t(exists) + uint64_t(extraspace) +
                                                       std::max<uint64_t>(exists, INDEX_RESERVE_RECORDS));
  if (new_cache64 + (maplen - old_cache) > UINT32_MAX) {
    bvlog(0, LOG_STORE_ERR, "Unable to expunge %s: index would pass 4 GiB", m->name);
    unlock();
    return IMAP_IOERROR;
  }
  const uint32_t new_cache = static_cast<uint32_t>(new_cache64);

  std::string newname = mailbox_file(m->path, FNAME_INDEX_NEW);
  UniqueFd nfd(fs_open(newname.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0666));
  if (!nfd) {
    bvlog(0, LOG_STORE_WRITEFAIL, "Unable to create index for %s: %m", m->name);
    unlock();
    return IMAP_IOERROR;
  }
  UnlinkGuard unlink_new(newname);

  // Walk the records.  Cache entries lie in record order, so the cache is
  // carried over run by run: a run of kept records is copied in one piece
  // when the next expunged record (or the end) is reached, a run of
  // expunged records is skipped.
  std::vector<unsigned char> recs;
  recs.reserve(size_t(INDEX_RECORD_SIZE) * exists);
  std::vector<ExpungeEntry> gone;
  const int32_t now = static_cast<int32_t>(time(nullptr));
  uint64_t bytes_gone = 0;
  uint32_t run_start = 0;  // old cache offset (relative) where the current run began
  bool run_kept = true;    // kind of the current run
  uint64_t skipped = 0;    // cache bytes dropped so far
  uint64_t written = 0;    // cache bytes written so far
  uint32_t min_date = UINT32_MAX, min_uid = UINT32_MAX, max_size = 0, prev_off = 0;
  bool ask = true;
  bool write_failed = false;
  const uint32_t cache_len = static_cast<uint32_t>(maplen - old_cache);
  auto copy_cache = [&](uint32_t from, uint32_t to) {
    if (to <= from || write_failed) return;
    size_t n = to - from;
    if (fs_pwrite(nfd.get(), base + old_cache + from, n, static_cast<off_t>(new_cache + written)) !=
        static_cast<ssize_t>(n)) {
      write_failed = true;
      return;
    }
    written += n;
  };
  for (uint32_t msgno = 1; msgno <= exists; ++msgno) {
    index_record rec = record_at(msgno);
    if (rec.cache_offset < prev_off || rec.cache_offset > cache_len) {
      // Out of order or outside the cache: copying by runs would lose or
      // mix up cache entries.
      bvlog(0, LOG_STORE_WRITEFAIL, "Mailbox corrupted, cache offset of record %u out of order: %s", msgno, m->name);
      unlock();
      return IMAP_MAILBOX_BADFORMAT;
    }
    prev_off = rec.cache_offset;
    int answer = 0;
    if (msgno == first_hit) {
      answer = first_answer;
    } else if (ask && msgno > first_hit) {
      answer = expungeproc(expungerock, &rec);
    }
    if (answer == -1) {
      ask = false;
      answer = 0;
    }
    const bool keep = answer == 0;
    if (keep != run_kept) {
      if (run_kept) {
        copy_cache(run_start, rec.cache_offset);
      } else {
        skipped += rec.cache_offset - run_start;
      }
      run_start = rec.cache_offset;
      run_kept = keep;
    }
    if (keep) {
      rec.cache_offset -= static_cast<uint32_t>(skipped);
      size_t at = recs.size();
      recs.resize(at + INDEX_RECORD_SIZE);
      index_record_encode(rec, recs.data() + at);
      min_date = std::min(min_date, rec.internaldate);
      min_uid = std::min(min_uid, rec.uid);
      max_size = std::max(max_size, rec.size);
    } else {
      gone.push_back({now, rec.uid});
      bytes_gone += rec.size;
    }
  }
  if (run_kept) copy_cache(run_start, cache_len);

  const uint32_t kept = static_cast<uint32_t>(recs.size() / INDEX_RECORD_SIZE);
  if (write_failed ||
      fs_pwrite(nfd.get(), base + INDEX_HEADER_SIZE, start - INDEX_HEADER_SIZE, INDEX_HEADER_SIZE) !=
          static_cast<ssize_t>(start - INDEX_HEADER_SIZE) ||
      fs_pwrite(nfd.get(), recs.data(), recs.size(), start) != static_cast<ssize_t>(recs.size()) ||
      fs_ftruncate(nfd.get(), static_cast<off_t>(new_cache + written)) != 0) {
    bvlog(0, LOG_STORE_WRITEFAIL, "Unable to write index for %s: %m", m->name);
    unlock();
    return IMAP_IOERROR;
  }

  const uint32_t count = static_cast<uint32_t>(gone.size());
  m->mbd.exists = kept;
  if (count) m->mbd.flags |= 1;
  m->hdr.cache_offset = new_cache;
  m->mbd.largest_msg = kept ? max_size : 0;
  m->mbd.oldest_msg = kept ? min_date : 0;
  m->mbd.oldest_uid = kept ? min_uid : 0;
  m->mbd.qused = m->mbd.qused >= bytes_gone ? m->mbd.qused - bytes_gone : 0;

  // Until the rename below nothing outside index.new has changed, so a
  // failure (or a kill) leaves the folder as it was.  The list record and
  // the quota root follow only once the new index is in place: killed in
  // between, they count the expunged messages a little longer (the
  // folder's next open catches them up), but never less than the index
  // holds.
  UniqueFd expfd;
  size_t expsize = 0;
  auto undo = [&]() {
    m->mbd = saved_mbd;
    m->hdr = saved_hdr;
    if (expfd) (void)lock_unlock(expfd.get());
    unlock();
    return IMAP_IOERROR;
  };
  unsigned char head[INDEX_HEADER_SIZE];
  if (keep_deferred) {
    // The flushed state, in the new file's layout: the records it counts
    // are the first ones, unchanged, and the room is the new one.
    on_disk.flags = m->mbd.flags;
    mboxdata_encode(on_disk, head);
  } else {
    mboxdata_encode(m->mbd, head);
  }
  mboxidxhdr_encode(m->hdr, head + MBOXDATA_SIZE);
  // The new file is flushed before it replaces the old one, unless the
  // state on disk is a folder that never held a message: losing the new
  // file to a crash then loses nothing, and the folder's next open makes
  // an empty index again.
  const bool never_held_mail = keep_deferred && on_disk.last_uid == 0;
  if (fs_pwrite(nfd.get(), head, sizeof head, 0) != static_cast<ssize_t>(sizeof head) ||
      sync_file(nfd.get(), never_held_mail ? 0 : g_mailbox_sync.index) != 0) {
    bvlog(0, LOG_STORE_WRITEFAIL, "Unable to write index header for %s: %m", m->name);
    return undo();
  }
  const std::string expname = mailbox_file(m->path, FNAME_EXPUNGE);
  if (mbox_version_has_mail(m->mbd.version) && count) {
    int fd = -1;
    if (mailbox_lock_expunge(expname.c_str(), 1, &fd, &expsize) != 0) return undo();
    expfd.reset(fd);
  }
  if (lock_blocking(nfd.get()) != 0) {
    bvlog(0, LOG_STORE_WRITEFAIL, "Unable to lock new index for  %s: %m", m->name);
    return undo();
  }
  const std::string fname = mailbox_file(m->path, FNAME_INDEX);
  if (fs_rename(newname.c_str(), fname.c_str()) != 0) {
    bvlog(0, LOG_STORE_WRITEFAIL, "Unable to rename index file for %s: %m", m->name);
    (void)lock_unlock(nfd.get());
    return undo();
  }
  unlink_new.release();
  m->newfiles++;
  (void)sync_parent_dir(fname.c_str(), g_mailbox_sync.index);

  // The new index is in place.  Only now may the expunged uids reach the
  // log: a clean-up removes the files the log names, and before the rename
  // the old index still listed them.
  if (expfd) {
    std::vector<unsigned char> buf;
    encode_entries(gone, buf);
    off_t at = static_cast<off_t>((expsize + EXPUNGE_ENTRY_SIZE - 1) / EXPUNGE_ENTRY_SIZE * EXPUNGE_ENTRY_SIZE);
    if (fs_pwrite(expfd.get(), buf.data(), buf.size(), at) != static_cast<ssize_t>(buf.size()) ||
        sync_file(expfd.get(), g_mailbox_sync.expunge) != 0) {
      // The messages are gone from the index; their files stay until a
      // reconstruct finds them.  Nothing is lost.
      bvlog(0, LOG_STORE_ERR, "Unable to write expunge file %s: %m", expname.c_str());
    }
    (void)lock_unlock(expfd.get());
    expfd.reset();
  }
  // The expunge is done; a failure to record it in the list leaves the
  // messages counted until the next open catches up, and is only logged.
  quotadata qd;
  if (count) {
    const mailbox_listops& ops = mailbox_listops_current();
    int c = 0;
    if (ops.commit) {
      c = ops.commit(m, &qd);
    } else if ((c = ops.updatedata(m, 0)) == 0) {
      c = ops.changequota(m->name, bytes_gone, count, 1, &qd);
    }
    if (c) {
      bvlog(0, LOG_STORE_ERR, "Unable to record the expunge of %u messages from %s in the mailbox list: %s", count,
            m->name, error_message(c));
    }
  }

  // A rewrite that only makes room (an append's) removed nothing to report.
  if (!(flags & EXPUNGE_NONOTIFY) && count > 0) {
    std::vector<uint32_t> uids;
    uids.reserve(gone.size());
    for (const auto& e : gone) uids.push_back(e.uid);
    storenotify_expunge(m, count, uids.data(), &qd);
  }

  // Continue on the new file, which is locked; the old descriptor's view
  // would no longer match the handle's header.
  (void)lock_unlock(m->index_fd);
  map_free(m->index_map);
  m->index_map = nullptr;
  close(m->index_fd);
  m->index_fd = nfd.release();
  const mboxdata live_mbd = m->mbd;
  const mboxidxhdr live_hdr = m->hdr;
  int r = mailbox_read_index_fixed_header(m);
  if (r == 0 && keep_deferred) {
    m->mbd = live_mbd;
    m->hdr = live_hdr;
  }
  unlock();
  if (r) bvlog(0, LOG_STORE_ERR, "Unable to re-read index for %s after expunge: %s", m->name, error_message(r));
  return 0;
}

int mailbox_clean_expunge(const char* path, const char* msgpath, time_t expunge_date) {
  if (!msgpath || !*msgpath) msgpath = path;
  const std::string fname = mailbox_file(path, FNAME_EXPUNGE);
  int fd = -1;
  size_t size = 0;
  if (int r = mailbox_lock_expunge(fname.c_str(), 0, &fd, &size)) return r;
  UniqueFd owned(fd);
  LockGuard lock = LockGuard::adopt(fd);
  if (size < EXPUNGE_MAGIC_SIZE) {
    (void)fs_unlink(fname.c_str());
    return 0;
  }
  MapPtr map(map_refresh(fd, nullptr, 0, -1));
  if (!map) {
    bvlog(0, LOG_STORE_ERR, "Unable to map expunge file %s: %m", fname.c_str());
    return IMAP_IOERROR;
  }
  if (map->length < EXPUNGE_MAGIC_SIZE || memcmp(map->base, EXPUNGE_MAGIC, EXPUNGE_MAGIC_SIZE) != 0) {
    bvlog(0, LOG_STORE_WRITEFAIL, "Expunge file corrupted: %s", fname.c_str());
    return IMAP_MAILBOX_BADFORMAT;
  }
  std::vector<uint32_t> live;
  if (!indexed_uids(path, &live)) {
    bvlog(0, LOG_STORE_ERR, "Unable to read the index beside %s: expunged files kept", fname.c_str());
    return IMAP_IOERROR;
  }
  const auto* b = reinterpret_cast<const unsigned char*>(map->base);
  const time_t now = time(nullptr);
  size_t off = EXPUNGE_MAGIC_SIZE;
  int lastdir = -1;
  auto rmdir_if_empty = [&](int dir) {
    if (dir < 0) return;
    char d[16];
    snprintf(d, sizeof d, "/%02d", dir);
    (void)rmdir((std::string(msgpath) + d).c_str());
  };
  for (; off + EXPUNGE_ENTRY_SIZE <= map->length; off += EXPUNGE_ENTRY_SIZE) {
    int32_t when = static_cast<int32_t>(get_le32(b + off));
    uint32_t uid = get_le32(b + off + 4);
    if (when < 0 || when > now) {
      bvlog(0, LOG_STORE_ERR, "Invalid timestamp in store.exp file: %s", fname.c_str());
      break;
    }
    if (when > expunge_date) break;
    if (std::binary_search(live.begin(), live.end(), uid)) {
      bvlog(0, LOG_STORE_ERR, "store.exp of %s names message %u, which the folder still holds: file kept", path, uid);
      continue;
    }
    int dir = static_cast<int>((uid / 100) % 100);
    if (lastdir != -1 && dir != lastdir) rmdir_if_empty(lastdir);
    lastdir = dir;
    char rel[64];
    snprintf(rel, sizeof rel, "/%02d/%u.msg", dir, uid);
    std::string msg = std::string(msgpath) + rel;
    if (fs_unlink(msg.c_str()) != 0 && errno != ENOENT) {
      bvlog(0, LOG_STORE_ERR, "Unable to remove %s: %m", msg.c_str());
    }
  }
  rmdir_if_empty(lastdir);
  // A partial entry at the end (a writer that died mid-write) is dropped.
  if (off + EXPUNGE_ENTRY_SIZE > map->length) {
    if (fs_unlink(fname.c_str()) != 0) bvlog(0, LOG_STORE_ERR, "Unable to remove %s: %m", fname.c_str());
    return 0;
  }
  const std::string newname = mailbox_file(path, FNAME_EXPUNGE_NEW);
  UniqueFd nfd(fs_open(newname.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0666));
  if (!nfd) {
    bvlog(0, LOG_STORE_ERR, "Unable to open expunge file %s: %m", newname.c_str());
    return IMAP_IOERROR;
  }
  UnlinkGuard unlink_new(newname);
  size_t rest = (map->length - off) / EXPUNGE_ENTRY_SIZE * EXPUNGE_ENTRY_SIZE;
  struct iovec iov[2] = {{const_cast<char*>(EXPUNGE_MAGIC), EXPUNGE_MAGIC_SIZE},
                         {const_cast<char*>(map->base + off), rest}};
  ssize_t n = retry_writev(nfd.get(), iov, 2);
  if (n != static_cast<ssize_t>(EXPUNGE_MAGIC_SIZE + rest)) {
    bvlog(0, LOG_STORE_ERR, "Unable to write expunge file %s: %m (n=%d) (l=%d) (o=%d)", newname.c_str(),
          static_cast<int>(n), static_cast<int>(map->length), static_cast<int>(off));
    return IMAP_IOERROR;
  }
  if (sync_file(nfd.get(), g_mailbox_sync.expunge) != 0) {
    bvlog(0, LOG_STORE_ERR, "Unable to fsync expunge file %s: %m (s=%d)", newname.c_str(), g_mailbox_sync.expunge);
    return IMAP_IOERROR;
  }
  if (fs_rename(newname.c_str(), fname.c_str()) != 0) {
    bvlog(0, LOG_STORE_ERR, "Unable to rename expunge file %s to %s: %m", newname.c_str(), fname.c_str());
    return IMAP_IOERROR;
  }
  unlink_new.release();
  return 0;
}
