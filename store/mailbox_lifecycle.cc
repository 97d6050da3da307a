// Folder life cycle on disk: create, delete, rename (start, commit, abort)
// and placing files under new names.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "common/assert.h"
#include "common/bvlog.h"
#include "common/config.h"
#include "common/fileio.h"
#include "common/imap_err.h"
#include "common/lock.h"
#include "common/unique_fd.h"
#include "common/xmalloc.h"
#include "store/mailbox.h"
#include "store/mailbox_internal.h"
#include "store/seen_db.h"

namespace {

inline constexpr size_t MAX_PATH_LEN = 1024;

void fill_handle(mailbox* m, const char* name, const char* partition, const char* path, const char* msgpath,
                 const char* acl) {
  mailbox_set_location(m, name, partition, path, msgpath, acl);
  m->myrights = 0x1ff;
}

// Removes the folder's directory dir, then its parents while they are
// empty and below the partition root (root): the hash levels go with their
// last folder, the partition directory and everything above it stay.
void rmdir_upwards(std::string dir, const char* root) {
  std::string stop = root ? root : "";
  while (stop.size() > 1 && stop.back() == '/') stop.pop_back();
  if (rmdir(dir.c_str()) != 0) return;
  for (;;) {
    size_t slash = dir.find_last_of('/');
    if (slash == std::string::npos || slash == 0) return;
    dir.resize(slash);
    if (stop.empty() || dir.size() <= stop.size() || dir.compare(0, stop.size() + 1, stop + "/") != 0) return;
    if (rmdir(dir.c_str()) != 0) return;
  }
}

// Removes every plain entry of dir; `only` limits it to names that pass.
template <class Pred>
void unlink_all(const std::string& dir, Pred only) {
  std::unique_ptr<DIR, int (*)(DIR*)> d(opendir(dir.c_str()), closedir);
  if (!d) return;
  std::vector<std::string> names;
  while (dirent* e = readdir(d.get())) {
    if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
    if (only(e->d_name)) names.emplace_back(e->d_name);
  }
  for (const auto& n : names) {
    std::string f = dir + "/" + n;
    if (fs_unlink(f.c_str()) != 0 && errno != ENOENT && errno != EISDIR && errno != EPERM) {
      bvlog(0, LOG_STORE_ERR, "Unable to remove %s: %m", f.c_str());
    }
  }
}

bool two_digits(const char* n) { return n[0] >= '0' && n[0] <= '9' && n[1] >= '0' && n[1] <= '9' && n[2] == '\0'; }

thread_local int t_create_unsynced = 0;

}  // namespace

MailboxCreateUnsynced::MailboxCreateUnsynced() { ++t_create_unsynced; }
MailboxCreateUnsynced::~MailboxCreateUnsynced() { --t_create_unsynced; }

int mailbox_create(const char* name, const char* partition, const char* path, const char* msgpath, const char* acl,
                   uint32_t version, mailbox* mailboxp, uint32_t uid_validity) {
  if (strlen(path) + 16 > MAX_PATH_LEN) return IMAP_MAILBOX_BADNAME;
  if (int r = mailbox_makedirs(path)) return r;
  if (msgpath && *msgpath) {
    if (int r = mailbox_makedirs(msgpath)) return r;
  }
  mailbox tmp;
  mailbox* m = mailboxp ? mailboxp : &tmp;
  *m = mailbox{};
  MailboxCloser close_tmp(mailboxp ? nullptr : &tmp);
  m->mbd.version = version;

  std::string fname = mailbox_file(path, FNAME_INDEX);
  {
    // An index with messages is a folder already there (adopted by the
    // caller); an empty or short one is a leftover and made again below.
    UniqueFd fd(fs_open(fname.c_str(), O_RDWR));
    unsigned char head[INDEX_HEADER_SIZE];
    if (fd && pread(fd.get(), head, sizeof head, 0) == static_cast<ssize_t>(sizeof head) &&
        mboxdata_decode(head).exists != 0) {
      if (lock_blocking(fd.get()) != 0) {
        bvlog(0, LOG_STORE_WRITEFAIL, "Unable to lock index for %s: %m", name);
        return IMAP_IOERROR;
      }
      fill_handle(m, name, partition, path, msgpath, acl);
      m->index_fd = fd.release();
      int r = mailbox_read_index_fixed_header(m);
      (void)lock_unlock(m->index_fd);
      if (r) {
        mailbox_close(m);
        return r;
      }
      return IMAP_MAILBOX_EXISTS;
    }
  }

  UniqueFd fd(fs_open(fname.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0666));
  if (!fd) {
    bvlog(0, LOG_STORE_WRITEFAIL, "Unable to create index for %s: %m", name);
    return IMAP_IOERROR;
  }
  struct stat st;
  if (fstat(fd.get(), &st) == 0 && st.st_nlink > 1) {
    // Shared with another folder by a copy made with links: never write
    // through the link.
    fd.reset();
    (void)fs_unlink(fname.c_str());
    (void)fs_unlink(mailbox_file(path, FNAME_EXPUNGE).c_str());
    fd.reset(fs_open(fname.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0666));
    if (!fd) {
      bvlog(0, LOG_STORE_WRITEFAIL, "Unable to create index for %s: %m", name);
      return IMAP_IOERROR;
    }
  }
  if (lock_blocking(fd.get()) != 0) {
    bvlog(0, LOG_STORE_WRITEFAIL, "Unable to lock index for %s: %m", name);
    return IMAP_IOERROR;
  }
  if (fstat(fd.get(), &st) != 0 || st.st_size != 0) {
    // Another process created the folder while we waited for the lock.
    (void)lock_unlock(fd.get());
    return IMAP_MAILBOX_EXISTS;
  }
  fill_handle(m, name, partition, path, msgpath, acl);
  m->index_fd = fd.release();
  m->index_lock_count = 1;
  m->mbd.uid_validity = uid_validity ? uid_validity : static_cast<uint32_t>(time(nullptr));

  // A new folder's variable header has room for a short ACL; a longer one
  // (a parent's many entries, a renamed or restored folder) gets the room a
  // later change would have grown it to, the spare records following.
  std::string content = mailbox_encode_variable_header(m);
  const uint32_t new_room = INDEX_NEW_START - INDEX_HEADER_SIZE;
  const uint32_t room = content.size() <= new_room ? new_room : mailbox_grown_room(new_room, content.size());
  m->hdr.start_offset = INDEX_HEADER_SIZE + room;
  m->hdr.cache_offset = m->hdr.start_offset + (INDEX_NEW_SIZE - INDEX_NEW_START);

  // One write of the whole file: a creator that dies part-way leaves a
  // short empty folder, which the next open extends.
  int r = 0;
  const int synclevel = t_create_unsynced > 0 ? 0 : g_mailbox_sync.index;
  {
    std::vector<unsigned char> file(m->hdr.cache_offset, 0);
    mboxdata_encode(m->mbd, file.data());
    mboxidxhdr_encode(m->hdr, file.data() + MBOXDATA_SIZE);
    memcpy(file.data() + INDEX_HEADER_SIZE, content.data(), content.size());
    if (retry_write(m->index_fd, file.data(), file.size()) != static_cast<ssize_t>(file.size()) ||
        sync_file(m->index_fd, synclevel) != 0) {
      bvlog(0, LOG_STORE_WRITEFAIL, "Unable to write index header for %s: %m", name);
      r = IMAP_IOERROR;
    } else {
      (void)sync_parent_dir(fname.c_str(), synclevel);
      r = seen_create_folder(m->name);
    }
  }
  (void)lock_unlock(m->index_fd);
  m->index_lock_count = 0;
  if (r) {
    (void)mailbox_delete(m, 0);
    return r;
  }
  if ((r = mailbox_read_index_fixed_header(m)) != 0) {
    mailbox_close(m);
    return r;
  }
  return 0;
}

int mailbox_delete(mailbox* m, int saveseendb) {
  std::string msgdir = m->msgpath ? m->msgpath : (m->path ? m->path : "");
  std::string dir = m->path ? m->path : "";
  if (!msgdir.empty()) {
    std::unique_ptr<DIR, int (*)(DIR*)> d(opendir(msgdir.c_str()), closedir);
    std::vector<std::string> subdirs;
    while (dirent* e = d ? readdir(d.get()) : nullptr) {
      if (two_digits(e->d_name)) subdirs.emplace_back(msgdir + "/" + e->d_name);
    }
    for (const auto& s : subdirs) {
      unlink_all(s, [](const char*) { return true; });
      if (rmdir(s.c_str()) != 0 && errno != ENOENT) bvlog(0, LOG_STORE_ERR, "Unable to remove %s: %m", s.c_str());
    }
  }
  std::unique_ptr<char, decltype(&free)> root(m->partition ? configmsg_partitiondir(m->partition) : nullptr, free);
  std::unique_ptr<char, decltype(&free)> msgroot(m->partition ? configmsg_partitionmsgdir(m->partition) : nullptr,
                                                 free);
  if (m->msgpath && m->msgpath != m->path) rmdir_upwards(msgdir, msgroot.get());
  if (!saveseendb && m->name) {
    seen_folder sf;
    sf.name = m->name;
    sf.path = m->path;
    sf.last_uid = m->mbd.last_uid;
    // A failure is logged by the seen module; the files go regardless.
    (void)seen_delete_folder(sf, 1);
  }
  if (!dir.empty()) unlink_all(dir, [](const char*) { return true; });
  m->newfiles++;
  mailbox_close(m);
  if (!dir.empty()) rmdir_upwards(dir, root.get());
  return 0;
}

// ---- Placing files ------------------------------------------------------------

int mailbox_copyfile(const char* from, const char* to) {
  if (fs_link(from, to) == 0) return 0;
  if (errno == EEXIST) {
    if (fs_unlink(to) != 0 && errno != ENOENT) {
      bvlog(0, LOG_STORE_ERR, "Unable to remove %s: %m", to);
      return IMAP_IOERROR;
    }
    if (fs_link(from, to) == 0) return 0;
  }
  if (copy_file(from, to, 1) == 0) return 0;
  if (fs_unlink(to) != 0 && errno != ENOENT) {
    bvlog(0, LOG_STORE_ERR, "Unable to remove %s: %m", to);
    return IMAP_IOERROR;
  }
  if (copy_file(from, to, 0) == 0) return 0;
  bvlog(0, LOG_STORE_ERR, "Unable to copy to %s: %m", to);
  return IMAP_IOERROR;
}

int mailbox_copymsgfile(const char* fromname, const char* toname) {
  if (fs_link(fromname, toname) == 0) return 0;
  if (errno == EEXIST) {
    (void)fs_unlink(toname);
    if (fs_link(fromname, toname) == 0) return 0;
  }
  if (errno == ENOENT || errno == EINVAL) {
    std::string dir(toname);
    size_t slash = dir.find_last_of('/');
    if (slash != std::string::npos) {
      dir.resize(slash);
      if (fs_mkdir(dir.c_str(), 0777) == 0 || errno == EEXIST) {
        if (fs_link(fromname, toname) == 0) return 0;
      }
    }
  }
  if (copy_file(fromname, toname, 1) == 0) return 0;
  (void)fs_unlink(toname);
  if (copy_file(fromname, toname, 0) == 0) return 0;
  bvlog(0, LOG_STORE_ERR, "Unable to copy to %s: %m", toname);
  return IMAP_IOERROR;
}

// ---- Rename -----------------------------------------------------------------------

int mailbox_rename_start(mailbox* old, const char* newname, const char* newpartition, const char* newpath,
                         const char* newmsgpath, int renameUser, mailbox** newmailboxp) {
  *newmailboxp = nullptr;
  // Taking the lock re-reads the old header, ACL included; the caller's ACL
  // (renamed for a whole-user rename) is the one the new folder gets.
  CStr acl(xstrdup(old->acl ? old->acl : ""));
  if (int r = mailbox_lock_index(old)) return r;
  free(old->acl);
  old->acl = acl.release();
  auto nm = std::make_unique<mailbox>();
  int r = mailbox_create(newname, newpartition, newpath, newmsgpath, old->acl, old->mbd.version, nm.get(), 0);
  if (r) {
    mailbox_close(nm.get());  // open on the existing folder after IMAP_MAILBOX_EXISTS
    return r;
  }

  for (int i = 0; i < MAX_USER_FLAGS; ++i) {
    free(nm->flagname[i]);
    nm->flagname[i] = old->flagname[i] ? xstrdup(old->flagname[i]) : nullptr;
  }
  nm->mbd = old->mbd;
  auto fail = [&](int err) {
    (void)mailbox_delete(nm.get(), 1);
    return err;
  };
  if ((r = mailbox_lock_index(nm.get())) != 0) return fail(r);
  // The written headers are replaced by the old index below; they only
  // matter when placing the old index fails half-way.
  nm->mbd = old->mbd;
  r = mailbox_write_index_fixed_header(nm.get());
  if (!r && renameUser) r = mailbox_write_index_variable_header(nm.get());
  mailbox_unlock_index(nm.get());
  if (r) return fail(r);

  // The new folder gets the old index unchanged: uid_validity, flags,
  // records and cache.
  map_free(nm->index_map);
  nm->index_map = nullptr;
  close(nm->index_fd);
  nm->index_fd = -1;
  std::string oldidx = mailbox_file(old->path, FNAME_INDEX);
  std::string newidx = mailbox_file(nm->path, FNAME_INDEX);
  (void)fs_unlink(newidx.c_str());
  // An INBOX moved into one of its folders stays in use: sharing its index
  // file with the new folder through a link, a delivery to the INBOX before
  // the commit empties it (after a crash, say) would land in both.
  const bool inbox_stays = strncmp(old->name, "user/", 5) == 0 && !strchr(old->name + 5, '/') &&
                           strncmp(newname, "user/", 5) == 0 && strchr(newname + 5, '/');
  if (renameUser || inbox_stays) {
    // The new index gets the renamed ACL written into it below, so it must
    // be a file of its own: written through a link it would change the old
    // folder too, which stays if the rename is aborted.
    if (copy_file(oldidx.c_str(), newidx.c_str(), 1) != 0 && copy_file(oldidx.c_str(), newidx.c_str(), 0) != 0) {
      bvlog(0, LOG_STORE_ERR, "Unable to copy to %s: %m", newidx.c_str());
      return fail(IMAP_IOERROR);
    }
  } else if ((r = mailbox_copyfile(oldidx.c_str(), newidx.c_str())) != 0) {
    return fail(r);
  }

  for (uint32_t msgno = 1; msgno <= old->mbd.exists; ++msgno) {
    index_record rec;
    if ((r = mailbox_read_index_record(old, msgno, &rec)) != 0) return fail(r);
    char rel[MAILBOX_FNAME_LEN];
    mailbox_message_fname(old, rec.uid, rel);
    std::string from = std::string(old->msgpath) + "/" + rel;
    std::string to = std::string(nm->msgpath) + "/" + rel;
    if ((r = mailbox_copymsgfile(from.c_str(), to.c_str())) != 0) return fail(r);
  }
  if ((r = mailbox_reopen_index(nm.get())) != 0) return fail(r);
  if (renameUser) {
    // After locking: taking the lock re-reads the header, ACL included.
    if ((r = mailbox_lock_index(nm.get())) != 0) return fail(r);
    free(nm->acl);
    nm->acl = xstrdup(old->acl ? old->acl : "");
    r = mailbox_write_index_variable_header(nm.get());
    mailbox_unlock_index(nm.get());
    if (r) return fail(r);
  }
  *newmailboxp = nm.release();
  return 0;
}

int mailbox_rename_commit(mailbox* old, mailbox* nm) {
  int r = 0;
  const char* oldname = old->name;
  bool old_is_inbox = strncmp(oldname, "user/", 5) == 0 && !strchr(oldname + 5, '/');
  bool into_subfolder = false;
  if (old_is_inbox && strncmp(nm->name, "user/", 5) == 0) {
    const char* slash = strchr(nm->name + 5, '/');
    into_subfolder = slash != nullptr;
  }
  if (old_is_inbox && into_subfolder) {
    r = mailbox_expunge(old, EXPUNGE_FORCE | EXPUNGE_LOCKED, 0, expungeall, nullptr);
    if (r) bvlog(0, LOG_STORE_ERR, "Unable to expunge mailbox %s after rename: %s", oldname, error_message(r));
    mailbox_close(old);
  } else {
    bool same_tail = strlen(oldname) > 5 && strlen(nm->name) > 5 && strcmp(oldname + 5, nm->name + 5) == 0;
    std::string n(oldname);
    r = mailbox_delete(old, same_tail ? 1 : 0);
    if (r) bvlog(0, LOG_STORE_ERR, "Unable to remove mailbox %s after rename: %s", n.c_str(), error_message(r));
  }
  std::unique_ptr<mailbox> own(nm);
  *old = *nm;
  *nm = mailbox{};
  return r;
}

int mailbox_rename_abort(mailbox* nm) {
  std::unique_ptr<mailbox> own(nm);
  std::string n(nm->name ? nm->name : "");
  int r = mailbox_delete(nm, 1);
  if (r) bvlog(0, LOG_STORE_ERR, "Unable to remove mailbox %s after aborting rename: %s", n.c_str(), error_message(r));
  return r;
}
