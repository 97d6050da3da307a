#include "store/append.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "common/assert.h"
#include "common/bvlog.h"
#include "common/config.h"
#include "common/fileio.h"
#include "common/imap_err.h"
#include "common/unique_fd.h"
#include "common/xmalloc.h"
#include "store/autocreate.h"
#include "store/mboxlist.h"
#include "store/mboxname.h"
#include "store/msgtype.h"
#include "store/quota.h"
#include "store/seen_db.h"
#include "store/storenotify.h"
#include "store/storeutil.h"
#include "store/userattr.h"

namespace {

// The path of message uid in folder m.
std::string message_path(const mailbox* m, uint32_t uid) {
  char rel[MAILBOX_FNAME_LEN];
  std::string p = m->msgpath ? m->msgpath : m->path;
  if (p.empty() || p.back() != '/') p += '/';
  return p + mailbox_message_fname(m, uid, rel);
}

std::string dirname_of(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

// Creates path exclusively (mode 0666), making its directory when missing
// and replacing a stale file left by an interrupted append.  Descriptor, or
// -1 with errno.
int create_exclusive(const std::string& path) {
  bool made_dir = false, removed = false;
  for (;;) {
    int fd = fs_open(path.c_str(), O_RDWR | O_CREAT | O_EXCL, 0666);
    if (fd >= 0) return fd;
    if (errno == ENOENT && !made_dir) {
      made_dir = true;
      if (make_dirs(dirname_of(path).c_str(), 0777) != 0) return -1;
      continue;
    }
    if (errno == EEXIST && !removed) {
      removed = true;
      if (fs_unlink(path.c_str()) != 0 && errno != ENOENT) return -1;
      continue;
    }
    return -1;
  }
}

// link(from, to) with the same retries.  0, or -1 with errno.
int link_retry(const char* from, const char* to) {
  bool made_dir = false, removed = false;
  for (;;) {
    if (fs_link(from, to) == 0) return 0;
    if (errno == EEXIST && !removed) {
      removed = true;
      if (fs_unlink(to) != 0 && errno != ENOENT) return -1;
      continue;
    }
    if (errno == ENOENT && !made_dir) {
      made_dir = true;
      if (make_dirs(dirname_of(to).c_str(), 0777) != 0) return -1;
      continue;
    }
    return -1;
  }
}

size_t iov_total(const iovec* iov, int iovcnt) {
  size_t n = 0;
  for (int i = 0; i < iovcnt; ++i) n += iov[i].iov_len;
  return n;
}

// The mailbox list's count of an append to m: committed now, or, under a
// deferred header, added to what mailbox_flush commits along with the
// header (a restore's thousands of appends then cost one list transaction
// per folder, not one each).
int commit_or_defer(mailbox* m, uint64_t bytes, uint32_t msgs, quotadata* qd, bool* list_touched) {
  if (m->mode & MAILBOX_OPEN_DEFERSYNC) {
    *qd = quotadata{};
    m->deferred_bytes += bytes;
    m->deferred_msgs += msgs;
    return mailbox_write_index_fixed_header(m);  // only marks the header deferred
  }
  *list_touched = true;
  return mboxlist_commit_append(m, bytes, msgs, qd);
}

// Writes a new message file from iov and syncs it at level.  0 or
// IMAP_IOERROR (logged; nothing left behind).
int write_new_file(const std::string& path, const iovec* iov, int iovcnt, bool for_link, int level) {
  UniqueFd fd(create_exclusive(path));
  if (!fd) {
    bvlog(0, LOG_STORE_ERR, "Unable to create message file %s: %m", path.c_str());
    return IMAP_IOERROR;
  }
  ssize_t n = retry_writev(fd.get(), iov, iovcnt);
  if (n < 0 || static_cast<size_t>(n) != iov_total(iov, iovcnt) || sync_file(fd.get(), level) != 0) {
    int saved = errno;
    (void)fs_unlink(path.c_str());
    errno = saved;
    if (for_link)
      bvlog(0, LOG_STORE_ERR, "Unable to write message file %s: %m", path.c_str());
    else
      bvlog(0, LOG_STORE_ERR, "Unable to write message %s: %m", path.c_str());
    return IMAP_IOERROR;
  }
  return 0;
}

// append_linkfile, also saying whether the target is a link to fromname.
int place_file(const char* fromname, const char* toname, const iovec* iov, int iovcnt, bool* linked) {
  *linked = false;
  if (fromname && link_retry(fromname, toname) == 0) {
    *linked = true;
    return 0;
  }
  if (iov) {
    return write_new_file(toname, iov, iovcnt, true, mailbox_sync().message);
  }
  if (!fromname) return IMAP_IOERROR;
  if (copy_file(fromname, toname, 1) == 0) return 0;
  if (fs_unlink(toname) != 0 && errno != ENOENT) bvlog(0, LOG_STORE_ERR, "Unable to remove %s: %m", toname);
  if (copy_file(fromname, toname, 0) == 0) return 0;
  bvlog(0, LOG_STORE_ERR, "Unable to copy to %s: %m", toname);
  return IMAP_IOERROR;
}

// Removes the table entry of partition when it names path (a file that is
// being taken back), so later folders do not link to a missing file.
void forget_singlecopy(appendmsg* msg, const char* partition, const std::string& path) {
  for (singleMsg** pp = &msg->singleMsgList; *pp; pp = &(*pp)->next) {
    if (strcmp((*pp)->partition, partition) != 0) continue;
    if (path == (*pp)->msgfilename) {
      singleMsg* dead = *pp;
      *pp = dead->next;
      free(dead->partition);
      free(dead->msgfilename);
      free(dead);
    }
    return;
  }
}

bool has_right(const mailbox* m, long right) { return (m->myrights & right) == right; }

// The item'th cache item of an entry: its data and length.  False when the
// entry is too short.
bool cache_item(const char* entry, uint32_t len, int item, const char** data, uint32_t* dlen) {
  uint32_t off = 0;
  for (int i = 0;; ++i) {
    if (len - off < 4 || off > len) return false;
    const auto* p = reinterpret_cast<const unsigned char*>(entry + off);
    uint32_t n = uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
    if (n > len - off - 4) return false;
    if (i == item) {
      *data = entry + off + 4;
      *dlen = n;
      return true;
    }
    off += 4 + ((n + 3) & ~3u);
  }
}

// A keyword's slot in m: found case-insensitively, or the first empty slot
// (*added set).  -1 when it has none: no free slot, or a name of the
// message-type plug-in, whose flags never take slots.
int keyword_slot(mailbox* m, const char* name, bool* added) {
  for (int i = 0; i < MAX_USER_FLAGS; ++i) {
    if (m->flagname[i] && strcasecmp(m->flagname[i], name) == 0) return i;
  }
  for (int i = 0; i < MSGTYPE_FLAG_COUNT; ++i) {
    const char* t = msgtype_flag_name(i);
    if (t && strcasecmp(t, name) == 0) return -1;
  }
  for (int i = 0; i < MAX_USER_FLAGS; ++i) {
    if (!m->flagname[i]) {
      m->flagname[i] = xstrdup(name);
      *added = true;
      return i;
    }
  }
  return -1;
}

// Restores the handle's flag names after a failed append took new slots.
void restore_flagnames(mailbox* m, const bool* was_empty) {
  for (int i = 0; i < MAX_USER_FLAGS; ++i) {
    if (was_empty[i] && m->flagname[i]) {
      free(m->flagname[i]);
      m->flagname[i] = nullptr;
    }
  }
}

// Everything an append changed before its commit, and how to undo it.
struct Rollback {
  mailbox* m;
  mboxdata mbd;
  off_t index_end;
  uint32_t first_slot;  // record slot (from 1) of the first new record
  uint32_t nslots;
  std::vector<std::string> files;  // message files made
  bool was_empty[MAX_USER_FLAGS] = {};

  Rollback(mailbox* mb, uint32_t slots) : m(mb), mbd(mb->mbd), first_slot(mb->mbd.exists + 1), nslots(slots) {
    index_end = lseek(mb->index_fd, 0, SEEK_END);
    for (int i = 0; i < MAX_USER_FLAGS; ++i) was_empty[i] = mb->flagname[i] == nullptr;
  }

  // Leaves the folder as it was: message files removed, the cache cut
  // back, the reserved record slots zeroed again, usage and folder data
  // restored (the commit's transaction was aborted, so usage and the list
  // record never changed).
  void run(bool list_touched) {
    for (const std::string& f : files) {
      if (fs_unlink(f.c_str()) != 0 && errno != ENOENT) bvlog(0, LOG_STORE_ERR, "Unable to remove %s: %m", f.c_str());
    }
    if (index_end >= 0 && fs_ftruncate(m->index_fd, index_end) != 0)
      bvlog(0, LOG_STORE_WRITEFAIL, "Unable to truncate index file of %s: %m", m->name);
    std::vector<unsigned char> zeros(INDEX_RECORD_SIZE * nslots, 0);
    off_t off = static_cast<off_t>(m->hdr.start_offset + uint64_t(INDEX_RECORD_SIZE) * (first_slot - 1));
    if (off + static_cast<off_t>(zeros.size()) <= static_cast<off_t>(m->hdr.cache_offset))
      (void)fs_pwrite(m->index_fd, zeros.data(), zeros.size(), off);
    m->mbd = mbd;
    restore_flagnames(m, was_empty);
    if (list_touched) {
      // The list transaction aborted, but the fixed header may have been
      // written before it did.
      if (mailbox_write_index_fixed_header(m) != 0)
        bvlog(0, LOG_STORE_ERR, "Unable to restore index header of %s", m->name);
    }
  }
};

struct FlagPlan {
  bool seen = false, deleted = false, newslot = false;
  uint32_t system = 0;
  uint32_t user[3] = {0, 0, 0};
};

void plan_flags(mailbox* m, const char* const* flag, int nflags, FlagPlan* plan) {
  const bool may_write = has_right(m, APPEND_RIGHT_WRITE);
  for (int i = 0; i < nflags; ++i) {
    const char* f = flag[i];
    if (!f) continue;
    if (strcasecmp(f, "\\seen") == 0) {
      plan->seen = true;
    } else if (strcasecmp(f, "\\deleted") == 0) {
      plan->deleted = true;
    } else if (strcasecmp(f, "\\draft") == 0) {
      if (may_write) plan->system |= FLAG_DRAFT;
    } else if (strcasecmp(f, "\\flagged") == 0) {
      if (may_write) plan->system |= FLAG_FLAGGED;
    } else if (strcasecmp(f, "\\answered") == 0) {
      if (may_write) plan->system |= FLAG_ANSWERED;
    } else if (f[0] != '\\' && may_write) {
      int slot = keyword_slot(m, f, &plan->newslot);
      if (slot >= 0) plan->user[slot / 32] |= 1u << (slot % 32);
    }
  }
}

// Rewrites the variable header after keywords took new slots, once the
// message is committed.  A failure keeps the message (its record is
// committed and its file must stay) and is reported.
int write_new_keywords(mailbox* m) {
  int r = mailbox_write_index_variable_header(m);
  if (r) bvlog(0, LOG_STORE_ERR, "Unable to record new keywords of %s; the message is kept without them", m->name);
  return r;
}

int ensure_room(mailbox* m, uint32_t n) {
  if (uint64_t(m->hdr.cache_offset) >= m->hdr.start_offset + uint64_t(INDEX_RECORD_SIZE) * (m->mbd.exists + n))
    return 0;
  int r = mailbox_expunge(m, EXPUNGE_LOCKED, static_cast<int>(n), expungenone, nullptr);
  if (r) return r;
  m->mode |= MAILBOX_OPEN_APPEND;
  return 0;
}

bool holds_mail(const mailbox* m) {
  return mbox_version_has_mail(m->mbd.version) || m->mbd.version == MBOX_VERSION_TRANSITION;
}

// Whether n more uids fit above last_uid.  Uids are 32-bit and only ever
// grow: after uid 4294967295 a folder can take no more messages (a wrapped
// uid 0 or a small uid would break the ascending order every reader relies
// on).  Logs and says IMAP_MAILBOX_FULL when they do not fit.
int uids_left(const mailbox* m, uint64_t n) {
  if (uint64_t(m->mbd.last_uid) + n <= UINT32_MAX) return 0;
  bvlog(0, LOG_STORE_ERR, "Folder %s is full: last uid %u leaves no room for %llu more messages", m->name,
        m->mbd.last_uid, static_cast<unsigned long long>(n));
  return IMAP_MAILBOX_FULL;
}

}  // namespace

// ---- Single-copy table --------------------------------------------------------

const char* append_locate_singlecopy(const appendmsg* msg, const char* partition) {
  if (!partition) return nullptr;
  for (const singleMsg* s = msg->singleMsgList; s; s = s->next) {
    if (strcmp(s->partition, partition) == 0) return s->msgfilename;
  }
  return nullptr;
}

void append_add_singlecopy(appendmsg* msg, const char* partition, const char* msgfilename) {
  if (!partition || !msgfilename) return;
  auto* s = static_cast<singleMsg*>(xmalloc(sizeof(singleMsg)));
  s->partition = xstrdup(partition);
  s->msgfilename = xstrdup(msgfilename);
  s->next = msg->singleMsgList;
  msg->singleMsgList = s;
}

void append_replace_singlecopy(appendmsg* msg, const char* partition, const char* msgfilename) {
  if (!partition || !msgfilename) return;
  for (singleMsg* s = msg->singleMsgList; s; s = s->next) {
    if (strcmp(s->partition, partition) == 0) {
      free(s->msgfilename);
      s->msgfilename = xstrdup(msgfilename);
      return;
    }
  }
}

void append_free_singlecopy(appendmsg* msg) {
  while (singleMsg* s = msg->singleMsgList) {
    msg->singleMsgList = s->next;
    free(s->partition);
    free(s->msgfilename);
    free(s);
  }
}

namespace {

// Everything append_freemsg frees except the structure itself.
void release_contents(appendmsg* msg) {
  append_free_singlecopy(msg);
  map_free(msg->map);
  msg->map = nullptr;
  if (!(msg->flags & APPENDMSG_FNAME_BORROWED)) free(msg->fname);
  msg->fname = nullptr;
}

}  // namespace

void append_freemsg(appendmsg* msg) {
  if (!msg) return;
  release_contents(msg);
  if (!(msg->flags & APPENDMSG_CALLER_STORAGE)) free(msg);
}

int append_linkfile(const char* fromname, const char* toname, const iovec* iov, int iovcnt) {
  bool linked;
  return place_file(fromname, toname, iov, iovcnt, &linked);
}

// ---- Setup ------------------------------------------------------------------

int append_setup(appendmbox* ambox, const char* name, int mode, uint32_t version, const auth_state* auth_state,
                 long aclcheck, long quotacheck) {
  ambox->count = 0;
  ambox->mailbox = &ambox->handle;
  int r = mailbox_open(name, mode | MAILBOX_OPEN_APPEND, auth_state, &ambox->handle);
  if (r == 0) r = append_setup_mailbox(&ambox->handle, version, aclcheck, quotacheck);
  if (r) {
    mailbox_close(&ambox->handle);
    ambox->mailbox = nullptr;
  }
  return r;
}

int append_setup_mailbox(mailbox* m, uint32_t version, long aclcheck, long quotacheck) {
  if (aclcheck != APPEND_ACL_NOCHECK && (m->myrights & aclcheck) != aclcheck)
    return (m->myrights & APPEND_RIGHT_LOOKUP) ? IMAP_PERMISSION_DENIED : IMAP_MAILBOX_NONEXISTENT;
  if (m->mbd.version != version) return IMAP_MAILBOX_NOTSUPPORTED;
  if (int r = mailbox_lock_index(m)) return r;
  // Another process may have given keywords new slots since the open.
  if (int r = mailbox_read_index_variable_header(m)) {
    mailbox_unlock_index(m);
    return r;
  }

  config_cache* c = config_getdefaultcache();
  bool notify = store_isInbox(m->name) && config_get_switch(c, "store.quotanotification", 1);
  bool enforce = config_get_switch(c, "store.quotaenforcement", 1);
  bool overdraft = config_get_switch(c, "local.store.quotaoverdraft", 0);
  if (config_get_switch(c, "local.store.overquotastatus", 0)) enforce = overdraft = true;
  if (quotacheck == 0 || (!enforce && !notify)) return 0;

  quotadata qd;
  int r = mboxlist_getquotaroot(m->name, &qd, nullptr);
  if (r == IMAP_QUOTAROOT_NONEXISTENT) return 0;
  if (r) {
    mailbox_unlock_index(m);
    return r;
  }
  if (notify) append_overquota_notification(m, &qd, overdraft);
  uint64_t size;
  if (quotacheck < 0) {
    uint64_t one = static_cast<uint64_t>(-quotacheck);
    if (qd.qmax != QUOTA_UNLIMITED && (one >> 10) > qd.qmax) {
      mailbox_unlock_index(m);
      return IMAP_MESSAGE_TOO_LARGE;
    }
    size = one;
  } else {
    size = static_cast<uint64_t>(quotacheck);
  }
  if (overdraft) size = 1;
  if (enforce) {
    r = quota_check_limits(qd, size, 1, time(nullptr), config_get_int(c, "store.quotagraceperiod", 120));
    if (r) {
      mailbox_unlock_index(m);
      return r;
    }
  }
  return 0;
}

void append_overquota_notification(mailbox* m, const quotadata* qd, int overdraft) {
  config_cache* c = config_getdefaultcache();
  int percent = overdraft ? 100 : config_get_int(c, "store.quotawarn", 90);
  if (!quota_over_threshold(*qd, percent)) return;
  int interval_days = config_get_int(c, "store.quotaexceededmsginterval", 7);
  time_t now = time(nullptr);
  if (qd->qwarn && int64_t(qd->qwarn) + int64_t(interval_days) * 86400 > int64_t(now)) return;
  char owner[MBOXNAME_OWNER_BUF];
  const char* user = mboxname_owner(m->name, owner);
  if (!user) return;
  // The message is composed from the owner's directory entry; a store
  // without a directory has nothing to address it with.
  const char* host = config_get_string(c, "local.ugldaphost", nullptr);
  if (!host || !*host) {
    bvlog(0, LOG_STORE_NOTICE, "Over-quota warning for %s not sent: no directory to compose it from", user);
    return;
  }
  // Nothing here may fail the append: a directory that is down or slow
  // (bounded by the pool's time-outs) only costs this warning, which the
  // next append over the threshold tries again since qwarn stays unset.
  if (userattr_init(nullptr, nullptr) != 0) return;  // logged there
  UserAttrs vals;
  if (int r = userattr_get(user, &vals)) {
    bvlog(0, LOG_STORE_WARNING, "Over-quota warning for %s not sent: %s", user, error_message(r));
    return;
  }
  const std::optional<std::string> lang = userattr_pref_lang(&vals);
  const std::string* mail = vals.first(kAttrMail);
  // The caller holds this folder's index lock.  The locks are per open
  // file description, so opening the folder again for the warning would
  // wait for ever on our own lock: the warning goes through the caller's
  // handle instead.
  appendmbox through;
  through.mailbox = m;
  int r = CreateMessage(user, m->name, mail ? mail->c_str() : nullptr, lang ? lang->c_str() : nullptr,
                        "store.quotaexceededmsg", &through);
  if (r == -1) {
    bvlog(0, LOG_STORE_NOTICE, "Over-quota warning for %s not sent: no usable store.quotaexceededmsg", user);
    return;
  }
  if (r) return;  // logged by CreateMessage
  char root[MBOXNAME_BUF];
  if (mboxlist_quotaroot(m->name, root) == 0) (void)mboxlist_warnquota(root);  // logs its failure
}

void append_finish(appendmbox* ambox) {
  mailbox* m = ambox->mailbox;
  if (!m) return;
  if (m->index_lock_count > 0) mailbox_unlock_index(m);
  if (m == &ambox->handle) mailbox_close(m);
  ambox->mailbox = nullptr;
}

// ---- One message ------------------------------------------------------------

int append_msg(appendmbox* ambox, appendmsg* msg, time_t internaldate, const char* const* flag, int nflags,
               const char* userid, uint32_t orig_uid, uint32_t orig_uidvalidity, int notnotify, uint32_t uid,
               uint32_t* uidp) {
  mailbox* m = ambox->mailbox;
  ORV_ASSERT(m && m->index_lock_count > 0);
  if (!holds_mail(m)) return IMAP_MAILBOX_NOTSUPPORTED;
  ORV_ASSERT(msg && msg->base);
  if (msg->size == 0) {
    bvlog(0, LOG_STORE_ERR, "Unable to append a zero length message file");
    return IMAP_MESSAGE_NOBLANKLINE;
  }
  // A uid of the caller's choosing above last_uid always fits; else the
  // next one must.
  if (uid <= m->mbd.last_uid) {
    if (int r = uids_left(m, 1)) return r;
  }
  ambox->count++;
  if (int r = ensure_room(m, 1)) return r;

  Rollback rb(m, 1);
  if (rb.index_end < 0) {
    bvlog(0, LOG_STORE_WRITEFAIL, "Unable to seek index file of %s: %m", m->name);
    return IMAP_IOERROR;
  }
  index_record record;
  record.uid = uid > m->mbd.last_uid ? uid : m->mbd.last_uid + 1;
  record.internaldate = static_cast<uint32_t>(internaldate);
  record.last_updated = static_cast<uint32_t>(time(nullptr));
  record.orig_uid = orig_uid ? orig_uid : record.uid;
  record.orig_uidvalidity = orig_uidvalidity ? orig_uidvalidity : m->mbd.uid_validity;

  const std::string target = message_path(m, record.uid);
  iovec iov[2];
  int iovcnt = 0;
  if (msg->pre) iov[iovcnt++] = *msg->pre;
  iov[iovcnt++] = iovec{const_cast<char*>(msg->base), msg->size};
  const size_t fullsize = iov_total(iov, iovcnt);
  const char* part = msg->currentPartition;

  // Place the message file.
  if (!msg->fname) {
    const char* shared = append_locate_singlecopy(msg, part);
    if (shared) {
      bool linked;
      if (int r = place_file(shared, target.c_str(), iov, iovcnt, &linked)) return r;
      if (!linked) append_replace_singlecopy(msg, part, target.c_str());
    } else {
      if (int r = write_new_file(target, iov, iovcnt, false, mailbox_message_synclevel(m))) return r;
      if (part) append_add_singlecopy(msg, part, target.c_str());
    }
    rb.files.push_back(target);
  } else if (target != msg->fname) {
    const char* shared = append_locate_singlecopy(msg, part);
    bool linked = false;
    if (part && shared && link_retry(shared, target.c_str()) == 0) {
      linked = true;
    }
    if (!linked) {
      if (int r = place_file(msg->fname, target.c_str(), iov, iovcnt, &linked)) return r;
      if (part && shared)
        append_replace_singlecopy(msg, part, target.c_str());
      else if (part)
        append_add_singlecopy(msg, part, target.c_str());
    }
    rb.files.push_back(target);
  }

  // Parse into the cache at the end of the index file; with a buffer in
  // front, the message is read back from its file as stored.
  const char* base = msg->base;
  size_t len = msg->size;
  if (msg->pre) {
    if (!msg->map) {
      msg->map = map_open(target.c_str(), static_cast<long>(fullsize), 0, 0);
      if (!msg->map || msg->map->length < fullsize) {
        bvlog(0, LOG_STORE_ERR, "Unable to map file %s: %m", target.c_str());
        if (part) forget_singlecopy(msg, part, target);
        rb.run(false);
        return IMAP_IOERROR;
      }
    }
    base = msg->map->base;
    len = fullsize;
  }
  int r = message_parse_mapped(base, len, m, msg->xauthen, &record);
  FlagPlan plan;
  if (r == 0) {
    plan_flags(m, flag, nflags, &plan);
    record.system_flags |= plan.system;
    for (int i = 0; i < 3; ++i) record.user_flags[i] = plan.user[i];

    if (m->mbd.exists == 0) {
      m->mbd.oldest_uid = record.uid;
      m->mbd.oldest_msg = record.internaldate;
    } else if (record.internaldate < m->mbd.oldest_msg) {
      m->mbd.oldest_msg = record.internaldate;
    }
    if (record.size > m->mbd.largest_msg) m->mbd.largest_msg = record.size;
    m->mbd.exists++;
    m->mbd.last_uid = record.uid;
    m->mbd.last_append = static_cast<uint32_t>(time(nullptr));
    r = mailbox_append_index(m, &record, m->mbd.exists, 1);
  }
  quotadata qd;
  bool list_touched = false;
  if (r == 0) r = commit_or_defer(m, record.size, 1, &qd, &list_touched);
  if (r) {
    if (part) forget_singlecopy(msg, part, target);
    rb.run(list_touched);
    return r;
  }
  // Committed.  What follows never takes the message back.
  if (uidp) *uidp = record.uid;
  int late = 0;
  if (plan.newslot) late = write_new_keywords(m);
  if (userid && plan.seen && has_right(m, APPEND_RIGHT_SEEN)) {
    if (int e = append_addperuser(m, userid, 1, record.uid, record.uid)) late = late ? late : e;
  }
  if (userid && plan.deleted && has_right(m, APPEND_RIGHT_DELETE)) {
    if (int e = append_addperuser(m, userid, 2, record.uid, record.uid)) late = late ? late : e;
  }
  if (!notnotify) {
    const char* hdr = base;
    uint32_t hlen = record.header_size;
    uint32_t msize = record.size;
    storenotify_append(m, 1, &record.uid, &hdr, &hlen, &msize, &qd);
  }
  return late;
}

int append_fromstring(appendmbox* ambox, const char* message, size_t size, time_t internaldate, const char* const* flag,
                      int nflags, const char* userid, const char* xauthen) {
  appendmsg msg;
  msg.flags = APPENDMSG_CALLER_STORAGE;
  msg.base = message;
  msg.size = size;
  msg.xauthen = xauthen;
  int r = append_msg(ambox, &msg, internaldate, flag, nflags, userid, 0, 0, 0, 0);
  release_contents(&msg);
  return r;
}

// ---- Streams ------------------------------------------------------------------

namespace {

enum HeaderState : int {
  HS_START = 1,     // start of the first header line
  HS_CR_FIELD = 2,  // CR inside a field
  HS_LINE = 3,      // start of a further header line
  HS_NAME = 4,      // in a field name
  HS_VALUE = 5,     // in a field value
  HS_CR_START = 6,  // CR at the start of a line (end of header)
  HS_BODY = 7,
};

constexpr int kBad = -1, kBareLf = -2;

// Next state for byte c; kBad / kBareLf for the errors.
int header_next(int state, unsigned char c) {
  enum { SP, CR, LF, COLON, OTHER };
  int cls = (c == ' ' || c == '\t') ? SP : c == '\r' ? CR : c == '\n' ? LF : c == ':' ? COLON : OTHER;
  static const int table[8][5] = {
      {},                                                    // unused
      {kBad, HS_CR_START, kBareLf, kBad, HS_NAME},           // 1
      {HS_VALUE, HS_CR_FIELD, HS_LINE, kBad, HS_VALUE},      // 2
      {HS_VALUE, HS_CR_START, kBareLf, kBad, HS_NAME},       // 3
      {kBad, kBad, kBareLf, HS_VALUE, HS_NAME},              // 4
      {HS_VALUE, HS_CR_FIELD, kBareLf, HS_VALUE, HS_VALUE},  // 5
      {HS_BODY, HS_CR_START, HS_BODY, HS_BODY, HS_BODY},     // 6
      {HS_BODY, HS_CR_START, kBareLf, HS_BODY, HS_BODY},     // 7
  };
  return table[state][cls];
}

}  // namespace

int append_header_check(int* state, const char* p, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    unsigned char c = static_cast<unsigned char>(p[i]);
    if (c == 0) return IMAP_MESSAGE_CONTAINSNULL;
    int s = *state;
    if (s < HS_START || s > HS_BODY) return IMAP_MESSAGE_BADHEADER;
    int next = header_next(s, c);
    if (next == kBad) return IMAP_MESSAGE_BADHEADER;
    if (next == kBareLf) return IMAP_MESSAGE_CONTAINSNL;
    *state = next;
  }
  return 0;
}

const char* append_header_terminator(int state) {
  switch (state) {
    case HS_START:
    case HS_LINE:
      return "\r\n";
    case HS_CR_FIELD:
      return "\n\r\n";
    case HS_NAME:
      return ":\r\n\r\n";
    case HS_VALUE:
      return "\r\n\r\n";
    case HS_CR_START:
      return "\n";
    default:
      return "";
  }
}

int append_stream_start(appendstream* as, unsigned size) {
  mailbox* m = as->ambox->mailbox;
  ORV_ASSERT(m && m->index_lock_count > 0);
  if (as->destfd >= 0) return IMAP_IOERROR;  // a message is still open
  if (!holds_mail(m)) return IMAP_MAILBOX_NOTSUPPORTED;
  // Refused before a byte is written; the finish checks again.
  if (int r = uids_left(m, 1)) {
    append_stream_abort(as);
    return r;
  }
  as->total_size += size;
  as->total_messages += 1;
  config_cache* c = config_getdefaultcache();
  if (as->total_messages > 1 && config_get_switch(c, "store.quotaenforcement", 1)) {
    quotadata qd;
    int r = mboxlist_getquotaroot(m->name, &qd, nullptr);
    if (r == 0) {
      r = quota_check_limits(qd, as->total_size, as->total_messages, time(nullptr),
                             config_get_int(c, "store.quotagraceperiod", 120));
      if (r == IMAP_QUOTA_EXCEEDED_PERSISTENT || r == IMAP_QUOTA_EXCEEDED) {
        append_stream_abort(as);
        return r;
      }
    } else if (r != IMAP_QUOTAROOT_NONEXISTENT) {
      append_stream_abort(as);
      return r;
    }
  }
  // A temporary name in the message directory (same file system, so the
  // finish links it into place); the uid is chosen only at the finish.
  static unsigned counter = 0;
  std::string dir = m->msgpath ? m->msgpath : m->path;
  if (dir.empty() || dir.back() != '/') dir += '/';
  snprintf(as->tmpname, sizeof as->tmpname, "%sstream.%ld.%u.tmp", dir.c_str(), static_cast<long>(getpid()),
           __atomic_add_fetch(&counter, 1, __ATOMIC_RELAXED));
  as->destfd = create_exclusive(as->tmpname);
  if (as->destfd < 0) {
    bvlog(0, LOG_STORE_ERR, "Unable to create message file %s: %m", as->tmpname);
    as->tmpname[0] = '\0';
    append_stream_abort(as);
    return IMAP_IOERROR;
  }
  as->size_left = as->size = size;
  as->header_state = HS_START;
  return 0;
}

namespace {

int stream_write(appendstream* as, const char* p, size_t n) {
  if (int r = append_header_check(&as->header_state, p, n)) return r;
  if (retry_write(as->destfd, p, n) != static_cast<ssize_t>(n)) {
    bvlog(0, LOG_STORE_ERR, "Unable to write message: %m");
    return IMAP_IOERROR;
  }
  return 0;
}

}  // namespace

int append_stream_data(appendstream* as, const char* ptr, unsigned length) {
  int r = 0;
  if (as->destfd < 0 || length > as->size_left)
    r = IMAP_IOERROR;
  else
    r = stream_write(as, ptr, length);
  if (r) {
    append_stream_abort(as);
    return r;
  }
  as->size_left -= length;
  return 0;
}

int append_stream_finish(appendstream* as, time_t internaldate, const char* const* flag, int nflags, const char* userid,
                         int notnotify) {
  int r = 0;
  if (as->destfd < 0 || as->size_left != 0) r = IMAP_IOERROR;
  if (r == 0) {
    const char* term = append_header_terminator(as->header_state);
    size_t n = strlen(term);
    if (n) {
      // The terminator completes the header; it is not itself checked.
      if (retry_write(as->destfd, term, n) != static_cast<ssize_t>(n)) {
        bvlog(0, LOG_STORE_ERR, "Unable to write message: %m");
        r = IMAP_IOERROR;
      }
      as->size += static_cast<unsigned>(n);
      as->total_size += n;
    }
  }
  if (r == 0 && fs_fsync(as->destfd) != 0) {
    bvlog(0, LOG_STORE_ERR, "Unable to fsync message: %m");
    r = IMAP_IOERROR;
  }
  MapPtr map;
  if (r == 0) {
    map.reset(map_refresh(as->destfd, nullptr, 0, as->size));
    if (!map || map->length < as->size) {
      bvlog(0, LOG_STORE_ERR, "Unable to map destination file: %m");
      r = IMAP_IOERROR;
    }
  }
  if (r) {
    append_stream_abort(as);
    return r;
  }
  close(as->destfd);
  as->destfd = -1;
  appendmsg msg;
  msg.flags = APPENDMSG_CALLER_STORAGE | APPENDMSG_FNAME_BORROWED;
  msg.base = map->base;
  msg.size = as->size;
  msg.fname = as->tmpname;
  r = append_msg(as->ambox, &msg, internaldate, flag, nflags, userid, 0, 0, notnotify, 0);
  release_contents(&msg);
  // The message now has its own link (or failed); the temporary name goes.
  (void)fs_unlink(as->tmpname);
  as->tmpname[0] = '\0';
  if (r) append_stream_abort(as);
  return r;
}

void append_stream_abort(appendstream* as) {
  if (as->destfd >= 0) {
    close(as->destfd);
    as->destfd = -1;
  }
  // Only the unfinished message's temporary file is the stream's to
  // remove: finished messages are committed and keep their files.
  if (as->tmpname[0]) {
    if (fs_unlink(as->tmpname) != 0 && errno != ENOENT) bvlog(0, LOG_STORE_ERR, "Unable to remove %s: %m", as->tmpname);
    as->tmpname[0] = '\0';
  }
  as->total_messages = 0;
  as->size_left = 0;
}

// ---- Copies -------------------------------------------------------------------

int append_copy(mailbox* src, mailbox* m, int nummsg, const copymsg* msgs, const char* userid) {
  ORV_ASSERT(m->index_lock_count > 0);
  struct Unlock {
    mailbox* m;
    ~Unlock() {
      if (m->index_lock_count > 0) mailbox_unlock_index(m);
    }
  } unlock{m};
  if (!holds_mail(m)) return IMAP_MAILBOX_NOTSUPPORTED;
  if (nummsg <= 0) return 0;
  const uint32_t n = static_cast<uint32_t>(nummsg);
  if (int r = uids_left(m, n)) return r;
  if (int r = ensure_room(m, n)) return r;

  Rollback rb(m, n);
  if (rb.index_end < 0) {
    bvlog(0, LOG_STORE_WRITEFAIL, "Unable to seek index file of %s: %m", m->name);
    return IMAP_IOERROR;
  }
  const bool may_write = has_right(m, APPEND_RIGHT_WRITE);
  bool newslot = false;
  std::vector<index_record> records(n);
  std::vector<uint32_t> uids(n), hlens(n), msizes(n);
  std::vector<const char*> headers(n);
  uint64_t total = 0;
  off_t cache_end = rb.index_end;
  int r = 0;
  for (uint32_t i = 0; i < n && r == 0; ++i) {
    const copymsg& c = msgs[i];
    index_record& rec = records[i];
    rec.uid = m->mbd.last_uid + i + 1;
    rec.internaldate = c.internaldate;
    rec.last_updated = static_cast<uint32_t>(time(nullptr));
    // A copy keeps the identity of the original delivery, so its POP3
    // unique id stays the same in every folder it is copied to.
    rec.orig_uid = c.orig_uid ? c.orig_uid : c.uid;
    rec.orig_uidvalidity = c.orig_uidvalidity ? c.orig_uidvalidity : src->mbd.uid_validity;
    if (c.cache_len == 0 || !c.cache_begin) {
      bvlog(0, LOG_STORE_ERR, "COPY failed. Mailbox contains invalid cache data, needs reconstruct: %s", src->name);
      r = IMAP_MAILBOX_BADFORMAT;
      break;
    }
    std::string from = message_path(src, c.uid), to = message_path(m, rec.uid);
    if ((r = append_linkfile(from.c_str(), to.c_str(), nullptr, 0)) != 0) break;
    rb.files.push_back(to);
    rec.cache_offset = static_cast<uint32_t>(cache_end - m->hdr.cache_offset);
    rec.sentdate = c.sentdate;
    rec.size = c.size;
    rec.header_size = c.header_size;
    rec.content_offset = c.header_size;
    if (fs_pwrite(m->index_fd, c.cache_begin, c.cache_len, cache_end) != static_cast<ssize_t>(c.cache_len)) {
      bvlog(0, LOG_STORE_WRITEFAIL, "Unable to write cache file for %s: %m", m->name);
      r = IMAP_IOERROR;
      break;
    }
    cache_end += c.cache_len;
    if (may_write) {
      rec.system_flags = c.system_flags;
      for (int k = 0; k < MAX_USER_FLAGS && c.flag[k]; ++k) {
        int slot = keyword_slot(m, c.flag[k], &newslot);
        if (slot >= 0) rec.user_flags[slot / 32] |= 1u << (slot % 32);
      }
    } else {
      rec.system_flags = c.system_flags & 0xFF000010u;
    }
    if (m->mbd.exists + i == 0 || rec.internaldate < m->mbd.oldest_msg) m->mbd.oldest_msg = rec.internaldate;
    if (rec.size > m->mbd.largest_msg) m->mbd.largest_msg = rec.size;
    total += rec.size;
    uids[i] = rec.uid;
    msizes[i] = rec.size;
    const char* h;
    uint32_t hl;
    if (cache_item(c.cache_begin, c.cache_len, CACHE_HEADER, &h, &hl)) {
      headers[i] = h;
      hlens[i] = hl;
    } else {
      headers[i] = "";
      hlens[i] = 0;
    }
  }
  if (r == 0) r = mailbox_append_index(m, records.data(), m->mbd.exists + 1, n);
  quotadata qd;
  if (r == 0) {
    if (m->mbd.exists == 0) m->mbd.oldest_uid = records[0].uid;
    m->mbd.exists += n;
    m->mbd.last_uid += n;
    m->mbd.last_append = static_cast<uint32_t>(time(nullptr));
  }
  bool list_touched = false;
  if (r == 0) r = commit_or_defer(m, total, n, &qd, &list_touched);
  if (r) {
    rb.run(list_touched);
    return r;
  }
  int late = 0;
  if (newslot) late = write_new_keywords(m);
  // Per-user marks in runs of consecutive uids.
  if (userid) {
    for (int bit = 0; bit < 2; ++bit) {
      long right = bit == 0 ? APPEND_RIGHT_SEEN : APPEND_RIGHT_DELETE;
      if (!has_right(m, right)) continue;
      for (uint32_t i = 0; i < n;) {
        if (!(msgs[i].peruser_flags & (1 << bit))) {
          ++i;
          continue;
        }
        uint32_t j = i;
        while (j + 1 < n && (msgs[j + 1].peruser_flags & (1 << bit))) ++j;
        if (int e = append_addperuser(m, userid, bit + 1, uids[i], uids[j])) late = late ? late : e;
        i = j + 1;
      }
    }
  }
  // The copied cache entries stay readable through msgs until we return.
  mailbox_unlock_index(m);
  storenotify_append(m, n, uids.data(), headers.data(), hlens.data(), msizes.data(), &qd);
  return late;
}

// ---- Per-user marks --------------------------------------------------------------

void append_addrange(std::string* set, uint32_t start, uint32_t end) {
  // The last number of the set and where it starts.
  size_t pos = set->size();
  while (pos > 0 && (*set)[pos - 1] >= '0' && (*set)[pos - 1] <= '9') --pos;
  uint32_t last = pos < set->size() ? static_cast<uint32_t>(strtoul(set->c_str() + pos, nullptr, 10)) : 0;
  if (last != 0 && uint64_t(last) + 1 >= start) {
    // Extends the last range; never shortens it.
    if (end <= last) return;
    if (pos > 0 && (*set)[pos - 1] == ':') {
      set->resize(pos);
    } else {
      *set += ':';
    }
    *set += std::to_string(end);
    return;
  }
  if (!set->empty()) *set += ',';
  *set += std::to_string(start);
  if (end != start) *set += ':' + std::to_string(end);
}

int append_addperuser(mailbox* m, const char* userid, int peruser_flag, uint32_t start, uint32_t end) {
  if (peruser_flag != 1 && peruser_flag != 2) return IMAP_MAILBOX_BADFORMAT;
  seen_folder folder;
  folder.name = m->name;
  folder.path = m->path;
  folder.last_uid = m->mbd.last_uid;
  seen* s = nullptr;
  if (int r = seen_open_folder(folder, userid, &s)) return r;
  struct Close {
    seen* s;
    ~Close() { seen_close(s); }
  } close_seen{s};
  time_t lastread, lastchange;
  uint32_t lastuid;
  char* uids = nullptr;
  if (int r = seen_lockread(s, &lastread, &lastuid, &lastchange, &uids)) return r;
  std::string text = uids ? uids : "";
  free(uids);
  size_t sp = text.find(' ');
  std::string seen_set = sp == std::string::npos ? text : text.substr(0, sp);
  std::string del_set = sp == std::string::npos ? std::string() : text.substr(sp + 1);
  append_addrange(peruser_flag == 1 ? &seen_set : &del_set, start, end);
  std::string out = seen_set + " " + del_set;
  return seen_write(s, lastread, lastuid, time(nullptr), out.c_str());
}
