// Building small stores for the backup tests and benchmark (not part of
// the program): folders through the mailbox list, messages placed the way
// the append path places them (file in the folder's message directory,
// cache entry parsed into the index file, record added, folder data and
// list record updated), hard-linked copies for single-copy storage, seen
// state, ACL entries, subscriptions and expire rules.
//
// Every function returns 0 or a store error code.  The mailbox list must
// have been started (mboxlist_recover) in this process.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <string>

#include "common/auth.h"
#include "common/imap_err.h"
#include "common/unique_fd.h"
#include "store/mailbox.h"
#include "store/mboxlist.h"
#include "store/mboxlist_list.h"
#include "store/quota_record.h"
#include "store/seen_db.h"

// Creates folder name (internal) on partition (null: the default) with
// its owner's standard rights.
inline int bkt_create(const char* name, const char* partition = nullptr, uint32_t uidvalidity = 0) {
  return mboxlist_createmailbox(name, MBOX_VERSION, partition, nullptr, auth_dontCheckAcl, QUOTA_UNLIMITED,
                                QUOTA_UNLIMITED, uidvalidity);
}

// The path of message uid's file in folder m.
inline std::string bkt_msgfile(const mailbox* m, uint32_t uid) {
  char rel[MAILBOX_FNAME_LEN];
  std::string p = m->msgpath;
  if (p.empty() || p.back() != '/') p += '/';
  return p + mailbox_message_fname(m, uid, rel);
}

// Adds a message to folder name: with linkfrom, the new file is a hard link
// to that file (single-copy storage), else text is written.  *uidp gets the
// new uid, *pathp (may be null) the message file.
inline int bkt_append(const char* name, const std::string& text, time_t internaldate, uint32_t system_flags,
                      uint32_t* uidp, const std::string& linkfrom = "", std::string* pathp = nullptr) {
  mailbox m;
  if (int r = mailbox_open(name, 0, nullptr, &m)) return r;
  struct Closer {
    mailbox* m;
    ~Closer() { mailbox_close(m); }
  } closer{&m};
  if (int r = mailbox_lock_index(&m)) return r;
  if (m.hdr.start_offset + INDEX_RECORD_SIZE * (m.mbd.exists + 1) > m.hdr.cache_offset) return IMAP_IOERROR;
  uint32_t uid = m.mbd.last_uid + 1;
  std::string path = bkt_msgfile(&m, uid);
  std::string dir = path.substr(0, path.rfind('/'));
  (void)mkdir(dir.c_str(), 0700);
  if (!linkfrom.empty()) {
    if (link(linkfrom.c_str(), path.c_str()) != 0) return errno;
  } else {
    UniqueFd w(open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    if (!w || write(w.get(), text.data(), text.size()) != static_cast<ssize_t>(text.size())) return IMAP_IOERROR;
  }
  UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd || lseek(m.index_fd, 0, SEEK_END) < 0) return IMAP_IOERROR;
  index_record rec;
  rec.uid = uid;
  rec.internaldate = static_cast<uint32_t>(internaldate);
  rec.last_updated = static_cast<uint32_t>(internaldate);
  rec.system_flags = system_flags;
  if (int r = message_parse_file(fd.get(), &m, nullptr, &rec)) return r;
  if (int r = mailbox_append_index(&m, &rec, m.mbd.exists + 1, 1)) return r;
  m.mbd.exists++;
  m.mbd.last_uid = uid;
  m.mbd.last_append = static_cast<uint32_t>(internaldate);
  m.mbd.qused += rec.size;
  if (rec.size > m.mbd.largest_msg) m.mbd.largest_msg = rec.size;
  if (int r = mboxlist_updatedata(&m, 1)) return r;
  mailbox_unlock_index(&m);
  *uidp = uid;
  if (pathp) *pathp = path;
  return 0;
}

// Writes user's seen state of folder name: text is "SEEN DELETED".
inline int bkt_seen(const char* name, const char* user, uint32_t lastuid, const char* text) {
  mailbox m;
  if (int r = mailbox_open(name, 0, nullptr, &m)) return r;
  seen_folder f;
  f.name = m.name;
  f.path = m.path;
  f.last_uid = m.mbd.last_uid;
  seen* s = nullptr;
  int r = seen_open_folder(f, user, &s);
  if (r == 0) {
    time_t lr, lc;
    uint32_t lu;
    char* old = nullptr;
    r = seen_lockread(s, &lr, &lu, &lc, &old);
    free(old);
    if (r == 0) r = seen_write(s, time(nullptr), lastuid, time(nullptr), text);
    seen_close(s);
  }
  mailbox_close(&m);
  return r;
}

// The folder's directory (index files, expire rule).
inline std::string bkt_path(const char* name) {
  char* path = nullptr;
  if (mboxlist_lookup(name, nullptr, nullptr, &path, nullptr, nullptr) != 0) return "";
  std::string p = path;
  free(path);
  return p;
}
