// Helpers for the folder tests and the benchmark (not part of the library):
// a store configuration in a temporary directory, a list seam that needs no
// databases, and a minimal append (message file, cache entry, record,
// header) in the order that keeps a crash harmless.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "common/config.h"
#include "common/fileio.h"
#include "common/imap_err.h"
#include "common/unique_fd.h"
#include "store/mailbox.h"
#include "store/mailbox_internal.h"

namespace mailbox_testutil {

inline int g_quota_calls = 0;
inline uint64_t g_quota_bytes = 0;
inline uint32_t g_quota_count = 0;
inline int g_updatedata_calls = 0;
inline int g_updatedata_fail = 0;  // fail this many calls from now on

inline int fake_updatedata(mailbox*, int) {
  ++g_updatedata_calls;
  if (g_updatedata_fail > 0) {
    --g_updatedata_fail;
    return IMAP_IOERROR;
  }
  return 0;
}
inline int fake_changequota(const char*, uint64_t bytes, uint32_t count, int subtract, quotadata* out) {
  ++g_quota_calls;
  if (out) *out = quotadata{};
  if (subtract) {
    g_quota_bytes -= bytes;
    g_quota_count -= count;
  } else {
    g_quota_bytes += bytes;
    g_quota_count += count;
  }
  return 0;
}
inline void install_fake_list() {
  g_quota_calls = g_updatedata_calls = g_updatedata_fail = 0;
  g_quota_bytes = 0;
  g_quota_count = 0;
  (void)mailbox_set_listops({fake_updatedata, fake_changequota});
}

// Writes the index of a new, empty folder into dir (made when missing)
// without the databases: the 80-byte header, LF and empty ACL, zero room.
inline bool write_empty_index(const std::string& dir) {
  if (make_dirs(dir.c_str(), 0777) != 0) return false;
  std::string f(INDEX_NEW_SIZE, '\0');
  mboxdata mbd;
  mbd.version = MBOX_VERSION;
  mbd.uid_validity = 1;
  mboxidxhdr hdr;
  hdr.start_offset = INDEX_NEW_START;
  hdr.cache_offset = INDEX_NEW_SIZE;
  mboxdata_encode(mbd, reinterpret_cast<unsigned char*>(f.data()));
  mboxidxhdr_encode(hdr, reinterpret_cast<unsigned char*>(f.data()) + MBOXDATA_SIZE);
  f[INDEX_HEADER_SIZE] = '\n';
  UniqueFd fd(open((dir + "/store.idx").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
  return fd && retry_write(fd.get(), f.data(), f.size()) == static_cast<ssize_t>(f.size());
}

// Starts a configuration without syncing (extra: more lines), replaces the
// list seam and makes folder "user/ann" below dir without the databases:
// where the crash and damage tests begin.  *path gets the folder's
// directory.  False when the configuration or the index cannot be made.
inline bool start_bare_folder(const std::string& dir, const char* progname, std::string* path,
                              const std::string& extra = "") {
  if (configmsg_init_text("local.log.target = stderr\nlocal.store.synclevel = 0\n" + extra, "test", progname) != 0)
    return false;
  mailbox_reloadconfig();
  install_fake_list();
  *path = dir + "/user/ann";
  return write_empty_index(*path);
}

// Opens the folder start_bare_folder made.
inline int open_bare_folder(const std::string& path, mailbox* m) {
  return mailbox_open_path("user/ann", 0, "p", path.c_str(), nullptr, "", nullptr, m);
}

inline std::string message_text(uint32_t uid, size_t body_lines = 3) {
  std::string m = "From: Ann <ann@example.com>\r\nTo: bob@example.com\r\nSubject: message " + std::to_string(uid) +
                  "\r\nDate: Mon, 7 Dec 2026 10:00:00 +0000\r\n\r\n";
  for (size_t i = 0; i < body_lines; ++i) m += "line " + std::to_string(i) + " of " + std::to_string(uid) + "\r\n";
  return m;
}

// Appends one message with the given uid (above last_uid); index lock taken
// here.  Order: message file, cache entry, record, then the header that
// makes them count, so a crash at any point leaves the old folder intact.
inline int append_message(mailbox* m, uint32_t uid, const std::string& text, uint32_t internaldate = 0) {
  if (int r = mailbox_lock_index(m)) return r;
  struct Unlock {
    mailbox* m;
    ~Unlock() { mailbox_unlock_index(m); }
  } unlock{m};
  char rel[MAILBOX_FNAME_LEN];
  mailbox_message_fname(m, uid, rel);
  std::string dir = std::string(m->msgpath) + "/" + std::string(rel, 2);
  (void)fs_mkdir(dir.c_str(), 0777);
  std::string file = std::string(m->msgpath) + "/" + rel;
  {
    UniqueFd fd(fs_open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666));
    if (!fd || retry_write(fd.get(), text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
      return IMAP_IOERROR;
    }
  }
  if (m->hdr.start_offset + uint64_t(INDEX_RECORD_SIZE) * (m->mbd.exists + 1) > m->hdr.cache_offset) {
    if (int r = mailbox_expunge(m, EXPUNGE_LOCKED | EXPUNGE_NONOTIFY, 1, expungenone, nullptr)) return r;
  }
  if (lseek(m->index_fd, 0, SEEK_END) < 0) return IMAP_IOERROR;
  index_record rec;
  rec.uid = uid;
  rec.internaldate = internaldate ? internaldate : 1700000000 + uid;
  rec.last_updated = rec.internaldate;
  rec.orig_uid = uid;
  rec.orig_uidvalidity = m->mbd.uid_validity;
  if (int r = message_parse_mapped(text.data(), text.size(), m, nullptr, &rec)) return r;
  if (int r = mailbox_append_index(m, &rec, m->mbd.exists + 1, 1)) return r;
  if (m->mbd.exists == 0 || rec.internaldate < m->mbd.oldest_msg) m->mbd.oldest_msg = rec.internaldate;
  if (m->mbd.exists == 0) m->mbd.oldest_uid = uid;
  m->mbd.exists++;
  m->mbd.last_uid = uid;
  m->mbd.qused += rec.size;
  if (rec.size > m->mbd.largest_msg) m->mbd.largest_msg = rec.size;
  m->mbd.last_append = rec.internaldate;
  return mailbox_write_index_fixed_header(m);
}

}  // namespace mailbox_testutil
