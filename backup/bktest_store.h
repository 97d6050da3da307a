// Building small stores for the backup tests and benchmarks (not part of
// the program): folders through the mailbox list, messages placed the way
// the append path places them (file in the folder's message directory,
// cache entry parsed into the index file, record added, folder data and
// list record updated), hard-linked copies for single-copy storage, seen
// state, ACL entries, subscriptions and expire rules; and the benchmarks'
// store of random messages.
//
// Every function returns 0 or a store error code.  The mailbox list must
// have been started (mboxlist_recover) in this process.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <random>
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

// The benchmarks' store: users user/u0, user/u1, ... with BKT_BENCH_PER_USER
// messages each in the INBOX (the last user the rest), sizes 2-500 KB
// skewed towards the small end (about 55 KB on average), and one message
// in ten also hard-linked into the user's "Copies" folder.  Everything is
// drawn from the caller's generator in a fixed order, so one seed gives one
// store on every run.
inline constexpr int BKT_BENCH_PER_USER = 80;

// A message of size bytes (at least its headers) with subject "message n":
// lines of 76 random lowercase letters drawn from rng.
inline std::string bkt_bench_message(std::mt19937& rng, size_t size, int n) {
  std::string m = "From: bench@example.com\r\nTo: user@example.com\r\nSubject: message " + std::to_string(n) +
                  "\r\nDate: Mon, 1 Jan 2024 10:00:00 +0000\r\n\r\n";
  std::uniform_int_distribution<int> c('a', 'z');
  while (m.size() + 2 < size) {
    size_t line = std::min<size_t>(76, size - m.size() - 2);
    for (size_t i = 0; i < line; i++) m += static_cast<char>(c(rng));
    m += "\r\n";
  }
  return m;
}

// Draws the benchmarks' store's total messages from rng in store order
// without touching the store: calls each(user, n, text, copy) for message n
// (from 0) of user/uUSER's INBOX, copy when it also goes into "Copies".
// Returns the first nonzero result of each (no more are drawn), else 0.
template <class Each>
int bkt_bench_messages(std::mt19937& rng, int total, Each&& each) {
  std::uniform_real_distribution<double> u(0.0, 1.0);
  for (int user = 0, n = 0; n < total; user++) {
    for (int i = 0; i < BKT_BENCH_PER_USER && n < total; i++, n++) {
      double x = u(rng);
      size_t size = 2048 + static_cast<size_t>(498.0 * 1024 * x * x * x * x * x * x * x * x);
      std::string text = bkt_bench_message(rng, size, n);
      bool copy = u(rng) < 0.10;
      if (int r = each(user, n, text, copy)) return r;
    }
  }
  return 0;
}

// Builds the benchmarks' store of total messages drawn from rng, message n
// dated 1700000000 + n, on the default partition.  *bytes (may be null)
// gets the bytes of the INBOX messages, *links (may be null) the number of
// hard-linked copies.
inline int bkt_bench_store(std::mt19937& rng, int total, long long* bytes = nullptr, int* links = nullptr) {
  long long b = 0;
  int l = 0;
  int r = bkt_bench_messages(rng, total, [&](int user, int n, const std::string& text, bool copy) {
    std::string inbox = "user/u" + std::to_string(user);
    std::string copies = inbox + "/Copies";
    if (n % BKT_BENCH_PER_USER == 0) {
      if (int e = bkt_create(inbox.c_str())) return e;
      if (int e = bkt_create(copies.c_str())) return e;
    }
    uint32_t uid;
    std::string path;
    if (int e = bkt_append(inbox.c_str(), text, 1700000000 + n, 0, &uid, "", &path)) return e;
    b += static_cast<long long>(text.size());
    if (copy) {
      if (int e = bkt_append(copies.c_str(), "", 1700000000 + n, 0, &uid, path)) return e;
      l++;
    }
    return 0;
  });
  if (bytes) *bytes = b;
  if (links) *links = l;
  return r;
}
