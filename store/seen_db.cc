// The seen database: per-folder, per-user state in peruser.db, its named
// lock, its checkpoint to "store.usr" and the recovery from it.
//
// peruser.db records (keys carry no NUL):
//
//   folder marker   key  <folder name>
//                   data 4 bytes, host byte order: time of the last change
//                        of any user's state in the folder; 1 when the
//                        folder was created, 0 after a recovery from the
//                        file.
//   user state      key  <folder name> TAB <user id>
//                   data text without NUL:
//                        <lastread> SP <lastuid> SP <lastchange> SP <set1> SP <set2>
//                        all decimal; a set is numbers joined by ',' (list)
//                        and ':' (range), e.g. "1:5,7,9:12"; an empty set is
//                        empty text, so an empty state ends in "0 " + " ".
//
// Since TAB sorts before every byte but NUL, a folder's marker is followed
// directly by all its user records, and nothing else has the folder name
// followed by TAB as prefix.
//
// "store.usr" in the folder directory: one line per user record,
// "<user id> TAB <state text> LF", written as "usr.new" and renamed.
#include "store/seen_db.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/bvlog.h"
#include "common/config.h"
#include "common/fileio.h"
#include "common/imap_err.h"
#include "common/lock.h"
#include "common/map.h"
#include "common/prot.h"
#include "common/unique_fd.h"
#include "common/xmalloc.h"
#include "store/mailbox.h"
#include "store/mboxlist.h"
#include "store/mboxlist_internal.h"
#include "store/mboxlist_walk.h"
#include "store/seen_internal.h"

namespace {

constexpr size_t kMarkerSize = 4;
constexpr size_t kMaxUserLen = 386;  // user part of a key

const char kUsrFile[] = "store.usr";
const char kUsrNew[] = "usr.new";

}  // namespace

// ---- Records ----------------------------------------------------------------

void seen_marker_encode(uint32_t when, unsigned char* out) { memcpy(out, &when, kMarkerSize); }
uint32_t seen_marker_decode(const unsigned char* in) {
  uint32_t v;
  memcpy(&v, in, kMarkerSize);
  return v;
}

std::string seen_format_state(time_t lastread, uint32_t lastuid, time_t lastchange, const char* seenuids) {
  char head[80];
  snprintf(head, sizeof head, "%lu %u %lu ", static_cast<unsigned long>(lastread), lastuid,
           static_cast<unsigned long>(lastchange));
  return std::string(head) + (seenuids ? seenuids : " ");
}

namespace {

// Saturating decimal: never overflows, however many digits.
uint64_t parse_digits(const char*& p, const char* end) {
  uint64_t v = 0;
  while (p < end && *p >= '0' && *p <= '9') {
    unsigned d = static_cast<unsigned>(*p - '0');
    v = v > (UINT64_MAX - d) / 10 ? UINT64_MAX : v * 10 + d;
    ++p;
  }
  return v;
}

}  // namespace

void seen_parse_state(const char* p, const char* end, time_t* lastread, uint32_t* lastuid, time_t* lastchange,
                      std::string* seenuids) {
  auto clamp_time = [](uint64_t v) { return static_cast<time_t>(v > INT64_MAX ? INT64_MAX : v); };
  *lastread = clamp_time(parse_digits(p, end));
  if (p < end) ++p;
  uint64_t uid = parse_digits(p, end);
  *lastuid = uid > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(uid);
  if (p < end) ++p;
  *lastchange = clamp_time(parse_digits(p, end));
  if (p < end) ++p;
  // The two sets and the blank between them: up to the second whitespace.
  const char* start = p;
  int blanks = 0;
  while (p < end) {
    if (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r') {
      if (++blanks == 2) break;
    }
    ++p;
  }
  seenuids->assign(start, static_cast<size_t>(p - start));
}

namespace {

// ---- Validation ---------------------------------------------------------

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Cleans one UID set starting at p: removes numbers that are 0 or above
// max, turns a ':' after a complete range into ',' and drops stray
// separators.  Stops at the first byte that is neither digit nor separator.
std::string clean_set(const char*& p, const char* end, uint32_t max) {
  struct Item {
    uint64_t lo, hi;
    bool range;
  };
  std::vector<Item> items;
  bool want_range_end = false;  // the previous separator was ':' after a single
  while (p < end) {
    if (is_digit(*p)) {
      uint64_t n = parse_digits(p, end);
      if (want_range_end && !items.empty() && !items.back().range) {
        items.back().hi = n;
        items.back().range = true;
      } else {
        items.push_back({n, n, false});
      }
      want_range_end = false;
    } else if (*p == ':') {
      // A ':' joins the previous single number with the next one; after a
      // range (or with nothing before it) it acts as a list separator.
      want_range_end = !items.empty() && !items.back().range;
      ++p;
    } else if (*p == ',') {
      want_range_end = false;
      ++p;
    } else {
      break;
    }
  }
  auto valid = [max](uint64_t n) { return n != 0 && n <= max; };
  std::string out;
  for (const Item& it : items) {
    std::string piece;
    if (it.range && valid(it.lo) && valid(it.hi)) {
      piece = std::to_string(it.lo) + ":" + std::to_string(it.hi);
    } else if (valid(it.lo)) {
      piece = std::to_string(it.lo);
    } else if (it.range && valid(it.hi)) {
      piece = std::to_string(it.hi);
    } else {
      continue;
    }
    if (!out.empty()) out += ',';
    out += piece;
  }
  return out;
}

}  // namespace

int seen_fixdata(char** out, const char* line, const char* endline, uint32_t uidtoobig, time_t now,
                 time_t report_time, time_t prune_time, const char* user, seen_reportproc_t report_proc,
                 void* report_rock) {
  *out = nullptr;
  const char* p = line;
  const char* end = endline;
  auto drop = [out]() {
    *out = nullptr;
    return 1;
  };
  // Each number must be digits followed by exactly one space.
  auto number = [&](uint64_t* v) {
    if (p >= end || !is_digit(*p)) return false;
    *v = parse_digits(p, end);
    if (p >= end || *p != ' ') return false;
    ++p;
    return true;
  };

  uint64_t lastread = 0, lastuid = 0, lastchange = 0;
  if (!number(&lastread)) return drop();
  // A clock far ahead must not keep a reader alive forever or report him
  // forever; only the decisions use the corrected value.
  uint64_t effective = lastread;
  if (now >= 0 && lastread > static_cast<uint64_t>(now) + 86400) effective = static_cast<uint64_t>(now);
  if (report_proc && effective > static_cast<uint64_t>(report_time < 0 ? 0 : report_time)) {
    report_proc(report_rock, user);
  }
  if (prune_time > 0 && effective < static_cast<uint64_t>(prune_time)) return drop();
  if (!number(&lastuid) || lastuid > uidtoobig) return drop();
  if (!number(&lastchange)) return drop();

  std::string set1 = clean_set(p, end, uidtoobig);
  if (p >= end || *p != ' ') return drop();
  ++p;
  std::string set2 = clean_set(p, end, uidtoobig);
  // Whatever follows the second set is cut off, trailing blanks excepted.
  const char* tail = p;
  while (tail < end && *tail == ' ') ++tail;
  bool garbage = tail != end;

  char head[80];
  snprintf(head, sizeof head, "%" PRIu64 " %" PRIu64 " %" PRIu64 " ", lastread, lastuid, lastchange);
  std::string rebuilt = std::string(head) + set1 + " " + set2;
  std::string_view original(line, static_cast<size_t>(p - line));
  if (!garbage && rebuilt == original) return 0;
  *out = xstrdup(rebuilt.c_str());
  return 1;
}

// ---- The named lock ----------------------------------------------------------

namespace {

// FNV-1a, 64 bits: names the lock file of a folder and user.  Two names
// sharing a file would only make their holders wait for each other.
uint64_t fnv1a(std::string_view s) {
  uint64_t h = 14695981039346656037ull;
  for (unsigned char c : s) {
    h ^= c;
    h *= 1099511628211ull;
  }
  return h;
}

}  // namespace

int seen_lock_open(const std::string& name, UniqueFd* out) {
  const char* storedir = configmsg_get_storedir();
  if (!storedir) return IMAP_CONFIG_ERROR;
  char hex[17];
  snprintf(hex, sizeof hex, "%016" PRIx64, fnv1a(name));
  // 256 directories keep any one of them small.
  std::string dir = std::string(storedir) + "/lock/peruser/" + std::string(hex, 2);
  std::string path = dir + "/" + hex;
  int fd = fs_open(path.c_str(), O_RDWR | O_CREAT, 0600);
  if (fd < 0 && errno == ENOENT) {
    if (make_dirs(dir.c_str(), 0700) != 0) {
      bvlog(0, LOG_STORE_ERR, "Unable to create lock directory %s: %m", dir.c_str());
      return IMAP_IOERROR;
    }
    fd = fs_open(path.c_str(), O_RDWR | O_CREAT, 0600);
  }
  if (fd < 0) {
    bvlog(0, LOG_STORE_ERR, "Unable to open lock file %s: %m", path.c_str());
    return IMAP_IOERROR;
  }
  out->reset(fd);
  return 0;
}

// ---- Handle -------------------------------------------------------------------

struct seen {
  std::string name;  // folder
  std::string path;  // folder directory, may be empty
  uint32_t last_uid = 0;
  std::string user;
  std::string keybuf;  // "<folder>\t<user> peruser": the lock's name
  UniqueFd lockfd;
  bool held = false;
  mailbox* mbox = nullptr;  // for the folder's lock count, when opened on one
};

namespace {

DB* peruserdb() { return mboxlist_peruserdb(); }

std::string user_key(const std::string& name, const std::string& user) { return name + '\t' + user; }

// Reads the 4-byte folder marker outside a transaction.  0 and *when, or
// DB_NOTFOUND, or another Berkeley DB result; *size gets the stored length.
int read_marker(const std::string& name, uint32_t* when, uint32_t* size) {
  DB* db = peruserdb();
  if (!db) return EINVAL;
  unsigned char buf[kMarkerSize] = {};
  return mboxlist_retry_read([&] {
    DbKey key(name.data(), name.size());
    DBT data = {};
    data.data = buf;
    data.ulen = kMarkerSize;
    data.dlen = kMarkerSize;
    data.doff = 0;
    data.flags = DB_DBT_USERMEM | DB_DBT_PARTIAL;
    int r = db->get(db, nullptr, key.dbt(), &data, 0);
    if (r == 0) {
      *size = data.size;
      *when = data.size == kMarkerSize ? seen_marker_decode(buf) : 0;
    }
    return r;
  });
}

int put_marker(DB_TXN* txn, const std::string& name, uint32_t when) {
  DB* db = peruserdb();
  unsigned char buf[kMarkerSize];
  seen_marker_encode(when, buf);
  DbKey key(name.data(), name.size());
  DBT data = {};
  data.data = buf;
  data.size = kMarkerSize;
  return db->put(db, txn, key.dbt(), &data, 0);
}

// Collects the user records of a folder (user id, state text) read with txn
// (null: outside a transaction).
int collect_users(DB_TXN* txn, const std::string& name, std::vector<std::pair<std::string, std::string>>* out) {
  out->clear();
  DB* db = peruserdb();
  DbCursor cur;
  int r = db->cursor(db, txn, cur.out(), 0);
  if (r) return r;
  const std::string start = name + '\t';
  DbWalk w;
  for (r = w.first(cur.get(), start); r == 0; r = w.next(cur.get())) {
    std::string_view k = w.key();
    if (k.size() <= start.size() || k.compare(0, start.size(), start) != 0) break;
    out->emplace_back(std::string(k.substr(start.size())), std::string(w.data()));
  }
  return r == DB_NOTFOUND ? 0 : r;
}

int sync_level(const char* key) {
  config_cache* cfg = config_getdefaultcache();
  int level = config_get_int(cfg, "local.store.synclevel", -1);
  if (level == -1) level = 1;
  return config_get_int(cfg, key, level);
}

}  // namespace

int seen_open_folder(const seen_folder& folder, const char* user, seen** seendb) {
  *seendb = nullptr;
  if (!folder.name || !*folder.name || !user || !peruserdb()) return IMAP_IOERROR;
  auto s = std::make_unique<seen>();
  s->name = folder.name;
  s->path = folder.path ? folder.path : "";
  s->last_uid = folder.last_uid;
  s->user = user;
  s->keybuf = s->name + '\t' + s->user + " peruser";
  if (int r = seen_lock_open(s->keybuf, &s->lockfd)) return r;
  uint32_t when = 0, size = 0;
  int r = read_marker(s->name, &when, &size);
  if (r == DB_NOTFOUND) {
    // First use after a database rebuild: refill from the folder's file.
    (void)seen_recover_folder(folder);
  } else if (r != 0) {
    bvlog(0, LOG_STORE_ERR, "Unable to read peruser data for %s: %s", s->name.c_str(), db_strerror(r));
  }
  *seendb = s.release();
  return 0;
}

int seen_lockread(seen* s, time_t* lastread, uint32_t* lastuid, time_t* lastchange, char** seenuids) {
  *seenuids = nullptr;
  if (!s->held) {
    if (lock_blocking(s->lockfd.get()) != 0) {
      bvlog(0, LOG_STORE_ERR, "Unable to lock peruser data for %s: %d", s->name.c_str(), errno);
      return IMAP_MAILBOX_LOCKED;
    }
    s->held = true;
    if (s->mbox) s->mbox->peruser_lock_count = 1;
  }
  DB* db = peruserdb();
  std::string k = user_key(s->name, s->user);
  std::string text;
  int r = mboxlist_retry_read([&] {
    DbKey key(k.data(), k.size());
    DBT data = {};
    data.flags = DB_DBT_MALLOC;
    int rr = db->get(db, nullptr, key.dbt(), &data, 0);
    if (rr == 0) {
      text.assign(static_cast<const char*>(data.data), data.size);
      free(data.data);
    }
    return rr;
  });
  if (r == DB_NOTFOUND) {
    *lastread = 0;
    *lastuid = 0;
    *lastchange = 0;
    *seenuids = xstrdup(" ");
    return 0;
  }
  if (r != 0) {
    bvlog(0, LOG_STORE_ERR, "Unable to read peruser data for %s: %s", s->name.c_str(), db_strerror(r));
    seen_unlock(s);
    return IMAP_IOERROR;
  }
  std::string sets;
  seen_parse_state(text.data(), text.data() + text.size(), lastread, lastuid, lastchange, &sets);
  *seenuids = xstrdup(sets.c_str());
  return 0;
}

int seen_write(seen* s, time_t lastread, uint32_t lastuid, time_t lastchange, const char* seenuids) {
  std::string text = seen_format_state(lastread, lastuid, lastchange, seenuids);
  std::string k = user_key(s->name, s->user);
  DB* db = peruserdb();
  int r = mboxlist_in_txn("write peruser", s->name.c_str(), [&](DB_TXN* txn) -> int {
    DbKey key(k.data(), k.size());
    DBT data = {};
    data.data = text.data();
    data.size = static_cast<u_int32_t>(text.size());
    int rr = db->put(db, txn, key.dbt(), &data, 0);
    if (rr == 0) rr = put_marker(txn, s->name, static_cast<uint32_t>(time(nullptr)));
    if (rr == 0 || rr == DB_LOCK_DEADLOCK) return rr;
    bvlog(0, LOG_STORE_ERR, "Unable to write peruser data for %s: %s", s->name.c_str(), db_strerror(rr));
    return IMAP_IOERROR;
  });
  return r == 0 ? 0 : IMAP_IOERROR;
}

void seen_unlock(seen* s) {
  if (!s || !s->held) return;
  lock_unlock(s->lockfd.get());
  s->held = false;
  if (s->mbox) s->mbox->peruser_lock_count = 0;
}

void seen_close(seen* s) {
  if (!s) return;
  seen_unlock(s);
  delete s;
}

// ---- Folder life cycle ------------------------------------------------------

int seen_create_folder(const char* name) {
  if (!peruserdb()) return IMAP_IOERROR;
  std::string n = name;
  int r = mboxlist_in_txn("create peruser", name, [&](DB_TXN* txn) -> int {
    int rr = put_marker(txn, n, 1);
    if (rr == 0 || rr == DB_LOCK_DEADLOCK) return rr;
    bvlog(0, LOG_STORE_ERR, "Unable to create peruser data for %s: %s", name, db_strerror(rr));
    return IMAP_IOERROR;
  });
  return r == 0 ? 0 : IMAP_IOERROR;
}

int seen_delete_folder(const seen_folder& folder, int rmusrfile) {
  DB* db = peruserdb();
  if (!db || !folder.name) return IMAP_IOERROR;
  std::string name = folder.name;
  int r = mboxlist_in_txn("delete peruser", folder.name, [&](DB_TXN* txn) -> int {
    DbCursor cur;
    int rr = db->cursor(db, txn, cur.out(), 0);
    if (rr == 0) {
      DbWalk w;
      for (rr = w.first(cur.get(), name, DB_RMW); rr == 0; rr = w.next(cur.get(), DB_RMW)) {
        std::string_view k = w.key();
        bool ours = k == name || (k.size() > name.size() && k.compare(0, name.size(), name) == 0 &&
                                  k[name.size()] == '\t');
        if (!ours) break;
        rr = cur->del(cur.get(), 0);
        if (rr) break;
      }
      if (rr == DB_NOTFOUND) rr = 0;
    }
    if (rr == 0 || rr == DB_LOCK_DEADLOCK) return rr;
    bvlog(0, LOG_STORE_ERR, "Unable to delete peruser data for %s: %s", name.c_str(), db_strerror(rr));
    return IMAP_IOERROR;
  });
  if (r != 0) return IMAP_IOERROR;
  if (rmusrfile && folder.path && *folder.path) {
    std::string file = std::string(folder.path) + "/" + kUsrFile;
    if (fs_unlink(file.c_str()) != 0 && errno != ENOENT) {
      bvlog(0, LOG_STORE_WRITEFAIL, "Unable to remove peruser file %s: %m", file.c_str());
    }
  }
  return 0;
}

namespace {

// The owner of a user folder name ("user/<id>[/...]"), or "".
std::string owner_of(const std::string& name) {
  if (name.compare(0, 5, "user/") != 0) return {};
  size_t slash = name.find('/', 5);
  return name.substr(5, slash == std::string::npos ? std::string::npos : slash - 5);
}

}  // namespace

int seen_copy_folder(DB_TXN* txn, const char* oldname, const char* newname) {
  if (strcmp(oldname, newname) == 0) return 0;
  DB* db = peruserdb();
  if (!db) return IMAP_IOERROR;
  std::string oldn = oldname, newn = newname;
  std::string oldowner = owner_of(oldn), newowner = owner_of(newn);
  bool moves_owner = !oldowner.empty() && !newowner.empty() && oldowner != newowner;
  std::vector<std::pair<std::string, std::string>> users;
  int r = put_marker(txn, newn, 1);
  if (r == 0) r = collect_users(txn, oldn, &users);
  for (size_t i = 0; r == 0 && i < users.size(); ++i) {
    const std::string& u = moves_owner && users[i].first == oldowner ? newowner : users[i].first;
    std::string k = user_key(newn, u);
    DbKey key(k.data(), k.size());
    DBT data = {};
    data.data = users[i].second.data();
    data.size = static_cast<u_int32_t>(users[i].second.size());
    r = db->put(db, txn, key.dbt(), &data, 0);
  }
  if (r == 0 || r == DB_LOCK_DEADLOCK) return r;
  bvlog(0, LOG_STORE_ERR, "Unable to copy peruser data for %s: %s", oldname, db_strerror(r));
  return IMAP_IOERROR;
}

// ---- Recovery, reconstruction, checkpoint ------------------------------------

int seen_recover_folder(const seen_folder& folder) {
  DB* db = peruserdb();
  if (!db || !folder.name) return IMAP_IOERROR;
  std::string file = std::string(folder.path ? folder.path : "") + "/" + kUsrFile;
  UniqueFd fd(folder.path && *folder.path ? open(file.c_str(), O_RDONLY | O_CLOEXEC) : -1);
  if (!fd) return seen_create_folder(folder.name);
  MapPtr map(map_refresh(fd.get(), nullptr, MAP_F_WHOLE, -1));
  if (!map) {
    bvlog(0, LOG_STORE_ERR, "Unable to map peruser file for %s: %m", folder.name);
    return IMAP_IOERROR;
  }
  std::string name = folder.name;
  const time_t now = time(nullptr);
  int r = mboxlist_in_txn("recover peruser", folder.name, [&](DB_TXN* txn) -> int {
    int rr = put_marker(txn, name, 0);
    const char* p = map->base;
    const char* end = map->base + map->length;
    while (rr == 0 && p < end) {
      const char* nl = static_cast<const char*>(memchr(p, '\n', static_cast<size_t>(end - p)));
      if (!nl) break;  // an unterminated last line was cut off mid-write
      const char* tab = static_cast<const char*>(memchr(p, '\t', static_cast<size_t>(nl - p)));
      const char* line = p;
      p = nl + 1;
      if (!tab || tab == line || static_cast<size_t>(tab - line) > kMaxUserLen ||
          memchr(line, '\0', static_cast<size_t>(nl - line))) {
        continue;
      }
      std::string user(line, static_cast<size_t>(tab - line));
      char* fixed = nullptr;
      int f = seen_fixdata(&fixed, tab + 1, nl, folder.last_uid, now, 0, 0, user.c_str(), nullptr, nullptr);
      if (f == 1 && !fixed) continue;
      std::string text = fixed ? std::string(fixed) : std::string(tab + 1, nl);
      free(fixed);
      std::string k = user_key(name, user);
      DbKey key(k.data(), k.size());
      DBT data = {};
      data.data = text.data();
      data.size = static_cast<u_int32_t>(text.size());
      rr = db->put(db, txn, key.dbt(), &data, 0);
    }
    if (rr == 0 || rr == DB_LOCK_DEADLOCK) return rr;
    bvlog(0, LOG_STORE_ERR, "Unable to recover peruser data for %s: %s", name.c_str(), db_strerror(rr));
    return IMAP_IOERROR;
  });
  return r == 0 ? 0 : IMAP_IOERROR;
}

int seen_reconstruct_folder(const seen_folder& folder, time_t report_time, time_t prune_time,
                            seen_reportproc_t report_proc, seen_reportresetproc_t report_reset_proc,
                            void* report_rock) {
  DB* db = peruserdb();
  if (!db || !folder.name) return IMAP_IOERROR;
  std::string name = folder.name;
  uint32_t when = 0, size = 0;
  int r = read_marker(name, &when, &size);
  if (r == DB_NOTFOUND) {
    if (!report_proc && prune_time == 0) return 0;
    (void)seen_recover_folder(folder);
  }
  const std::string start = name + '\t';
  for (;;) {
    DB_TXN* txn = nullptr;
    if (mboxlist_trans_setup(&txn, "reconstruct peruser", folder.name) != 0) return IMAP_IOERROR;
    const time_t now = time(nullptr);
    int rr = 0;
    {
      DbCursor cur;
      rr = db->cursor(db, txn, cur.out(), 0);
      DbWalk w;
      for (rr = rr ? rr : w.first(cur.get(), start, DB_RMW); rr == 0; rr = w.next(cur.get(), DB_RMW)) {
        std::string_view k = w.key();
        if (k.size() <= start.size() || k.compare(0, start.size(), start) != 0) break;
        std::string user(k.substr(start.size(), kMaxUserLen));
        std::string_view text = w.data();
        char* fixed = nullptr;
        int f = seen_fixdata(&fixed, text.data(), text.data() + text.size(), folder.last_uid, now, report_time,
                             prune_time, user.c_str(), report_proc, report_rock);
        if (f == 1 && !fixed) {
          rr = cur->del(cur.get(), 0);
        } else if (f == 1) {
          DBT nd = dbt_of(fixed, strlen(fixed));
          DBT unused = {};
          rr = cur->put(cur.get(), &unused, &nd, DB_CURRENT);
        }
        free(fixed);
        if (rr) break;
      }
      if (rr == DB_NOTFOUND) rr = 0;
    }
    if (rr != 0 && rr != DB_LOCK_DEADLOCK) {
      bvlog(0, LOG_STORE_ERR, "Unable to repair peruser data for %s: %s", folder.name, db_strerror(rr));
      rr = IMAP_IOERROR;
    }
    rr = mboxlist_trans_finish(txn, rr);
    if (rr == 0) return 0;
    if (report_reset_proc) report_reset_proc(report_rock);
    if (rr != DB_LOCK_DEADLOCK) return IMAP_IOERROR;
    sched_yield();
  }
}

int seen_checkpoint(const char* mailboxname, time_t lastckpstart, time_t lastckpend) {
  DB* db = peruserdb();
  if (!db) return IMAP_IOERROR;
  std::string name = mailboxname;
  uint32_t when = 0, size = 0;
  int r = read_marker(name, &when, &size);
  if (r == DB_NOTFOUND) return 0;
  if (r != 0) return mboxlist_dberror(r, "Unable to read peruser data for", mailboxname);
  if (size != kMarkerSize || static_cast<time_t>(when) < lastckpstart) return 0;
  char* path = nullptr;
  if (mboxlist_lookup(mailboxname, nullptr, nullptr, &path, nullptr, nullptr) != 0) return 0;
  std::string dir = path;
  free(path);
  std::string file = dir + "/" + kUsrFile;
  struct stat sb;
  bool write = static_cast<time_t>(when) >= lastckpend || stat(file.c_str(), &sb) != 0 ||
               sb.st_mtime <= static_cast<time_t>(when);
  if (!write) return 0;

  std::vector<std::pair<std::string, std::string>> users;
  r = mboxlist_retry_read([&] { return collect_users(nullptr, name, &users); });
  if (r != 0) return mboxlist_dberror(r, "Unable to read peruser data for", mailboxname);
  std::string tmp = dir + "/" + kUsrNew;
  UniqueFd fd(fs_open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666));
  if (!fd) {
    bvlog(0, LOG_STORE_ERR, "Unable to create peruser file for %s: %m", mailboxname);
    return IMAP_IOERROR;
  }
  ProtPtr out(prot_file(fd.get(), 1));
  if (!out) {
    fs_unlink(tmp.c_str());
    return ENOMEM;
  }
  for (const auto& [user, text] : users) {
    prot_write(out.get(), user.data(), user.size());
    prot_write(out.get(), "\t", 1);
    prot_write(out.get(), text.data(), text.size());
    prot_write(out.get(), "\n", 1);
  }
  prot_flush(out.get());
  const char* err = prot_error(out.get());
  if (!err && sync_file(fd.get(), sync_level("local.store.perusersynclevel")) != 0) err = strerror(errno);
  if (err) {
    bvlog(0, LOG_STORE_ERR, "Unable to write peruser file for %s: %s", mailboxname, err);
    out.reset();
    fs_unlink(tmp.c_str());
    return IMAP_IOERROR;
  }
  out.reset();
  fd.reset();
  if (fs_rename(tmp.c_str(), file.c_str()) != 0) {
    bvlog(0, LOG_STORE_ERR, "Unable to rename peruser file for %s: %m", mailboxname);
    fs_unlink(tmp.c_str());
    return IMAP_IOERROR;
  }
  return 0;
}

// ---- The folder handle forms ------------------------------------------------

namespace {

seen_folder folder_of(const mailbox* m) {
  seen_folder f;
  f.name = m->name;
  f.path = m->path;
  f.last_uid = m->mbd.last_uid;
  return f;
}

}  // namespace

int seen_open(mailbox* mailbox, const char* user, seen** seendb) {
  int r = seen_open_folder(folder_of(mailbox), user, seendb);
  if (r == 0) {
    (*seendb)->mbox = mailbox;
    mailbox->peruser_lock_count = 0;
  }
  return r;
}

int seen_create(mailbox* mailbox) { return seen_create_folder(mailbox->name); }

int seen_delete(mailbox* mailbox, int rmusrfile) { return seen_delete_folder(folder_of(mailbox), rmusrfile); }

int seen_copy(DB_TXN* txn, mailbox* oldmailbox, mailbox* newmailbox) {
  return seen_copy_folder(txn, oldmailbox->name, newmailbox->name);
}

int seen_reconstruct(mailbox* mailbox, time_t report_time, time_t prune_time, seen_reportproc_t report_proc,
                     seen_reportresetproc_t report_reset_proc, void* report_rock) {
  return seen_reconstruct_folder(folder_of(mailbox), report_time, prune_time, report_proc, report_reset_proc,
                                 report_rock);
}

int seen_recoverFromFile(mailbox* mailbox) { return seen_recover_folder(folder_of(mailbox)); }
