// Folder listing and subscriptions.
//
// subscr.db records (keys built in buffers of at most 387 bytes):
//
//   subscription  key  <user id> NUL <internal folder name> NUL
//                 data empty
//   user marker   key  <user id> NUL
//                 data 4 bytes, host byte order: time of the user's last
//                      subscription change; 0 when loaded from "store.sub",
//                      the recovery time when loaded from the older
//                      per-user file.
//
// A key that is a prefix of another sorts first, so a user's marker is
// followed directly by the user's subscriptions, and a cursor walk from the
// marker visits exactly the keys whose user part (read as a C string) is
// the user id.  Folder creation also stores a 4-byte time under an INBOX
// name ("user/<id>" NUL); it looks like the marker of a user id containing
// '/', which no user id does.
//
// "store.sub" in the user's INBOX directory: one internal folder name per
// line, LF-terminated; written as "subscr.new" and renamed.  The older
// location is "<store>/user/hh/hh/<user id>.sub".
#include "store/mboxlist_list.h"

#include <dirent.h>
#include <fcntl.h>
#include <locale.h>
#include <regex.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/acl.h"
#include "common/auth.h"
#include "common/bvlog.h"
#include "common/config.h"
#include "common/fileio.h"
#include "common/glob.h"
#include "common/imap_err.h"
#include "common/map.h"
#include "common/mutf7.h"
#include "common/prot.h"
#include "common/unique_fd.h"
#include "common/xmalloc.h"
#include "store/mailbox.h"
#include "store/mailbox_internal.h"
#include "store/mboxlist.h"
#include "store/mboxlist_internal.h"
#include "store/mboxlist_list_internal.h"
#include "store/mboxlist_lright.h"
#include "store/mboxlist_walk.h"
#include "store/mboxname.h"
#include "store/seen_db.h"
#include "store/storeutil.h"
#include "store/userscan.h"

namespace {

constexpr size_t kSubKeyMax = 387;
constexpr char kSubFile[] = "store.sub";
constexpr char kSubNew[] = "subscr.new";
constexpr char kSharedRef[] = "Shared Folders/User/";

struct DiskFolder;
int user_disk_folders(const char* userid, bool insert, std::vector<DiskFolder>* folders);
bool valid_userid(const char* userid);

bool starts_with(std::string_view s, std::string_view p) { return s.size() >= p.size() && s.substr(0, p.size()) == p; }

// "user/<id>" without a further '/'.
bool is_user_inbox(std::string_view name) {
  return starts_with(name, "user/") && name.size() > 5 && name.find('/', 5) == std::string_view::npos;
}

}  // namespace

// ---- UTF-8 to 16-bit characters -----------------------------------------------

size_t utf_to_unistr(const char* utf, uint16_t* unistr) {
  const auto* p = reinterpret_cast<const unsigned char*>(utf);
  size_t n = 0;
  while (*p) {
    uint32_t c = *p;
    int extra = 0;
    uint32_t min = 0;
    if (c < 0x80) {
      extra = 0;
    } else if ((c & 0xe0) == 0xc0) {
      extra = 1, c &= 0x1f, min = 0x80;
    } else if ((c & 0xf0) == 0xe0) {
      extra = 2, c &= 0x0f, min = 0x800;
    } else if ((c & 0xf8) == 0xf0) {
      extra = 3, c &= 0x07, min = 0x10000;
    } else {
      unistr[n++] = 0xfffd;
      ++p;
      continue;
    }
    int i = 1;
    for (; i <= extra; ++i) {
      if ((p[i] & 0xc0) != 0x80) break;
      c = c << 6 | (p[i] & 0x3f);
    }
    if (i <= extra || c < min || c > 0x10ffff || (c >= 0xd800 && c <= 0xdfff)) {
      // Malformed: one replacement character for the lead byte only, so
      // the next byte is read afresh (it may start a valid sequence).
      unistr[n++] = 0xfffd;
      ++p;
      continue;
    }
    p += extra + 1;
    if (c >= 0x10000) {
      c -= 0x10000;
      unistr[n++] = static_cast<uint16_t>(0xd800 | (c >> 10));
      unistr[n++] = static_cast<uint16_t>(0xdc00 | (c & 0x3ff));
    } else {
      unistr[n++] = static_cast<uint16_t>(c);
    }
  }
  unistr[n] = 0;
  return n;
}

// ---- Patterns ---------------------------------------------------------------------

namespace {

// The UTF-8 locale regular expressions are compiled and run in, for the
// calling thread only; the process's locale is left alone.
locale_t utf8_locale() {
  static locale_t loc = [] {
    locale_t l = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
    if (!l) l = newlocale(LC_CTYPE_MASK, "C.utf8", static_cast<locale_t>(0));
    return l;
  }();
  return loc;
}

class ScopedLocale {
 public:
  explicit ScopedLocale(locale_t l) : old_(l ? uselocale(l) : static_cast<locale_t>(0)) {}
  ~ScopedLocale() {
    if (old_) uselocale(old_);
  }
  ScopedLocale(const ScopedLocale&) = delete;
  ScopedLocale& operator=(const ScopedLocale&) = delete;

 private:
  locale_t old_;
};

}  // namespace

bool ListPattern::compile(const char* pattern, bool regex) {
  regex_ = regex;
  if (!regex) {
    glob_.reset(glob_init_suppress(pattern, GLOB_HIERARCHY | GLOB_INBOXCASE, nullptr));
    return glob_ != nullptr;
  }
  ScopedLocale loc(utf8_locale());
  re_ = std::make_unique<regex_t>();
  if (regcomp(re_.get(), pattern, REG_EXTENDED) != 0) {
    re_.reset();
    return false;
  }
  return true;
}

ListPattern::~ListPattern() {
  if (re_) regfree(re_.get());
}

int ListPattern::match(const char* name, size_t len) const {
  if (!regex_) {
    // The longest match: the whole name when the pattern reaches it, else
    // the longest leading part before a '/'.
    int best = -1;
    int min = 0;
    for (;;) {
      int m = glob_test(glob_.get(), name, len, &min);
      if (m < 0 || m <= best) break;
      best = m;
      if (static_cast<size_t>(m) >= len) break;
      min = m;
    }
    return best;
  }
  // The whole name must match.  POSIX matching is leftmost-longest, so when
  // some match covers the whole name the match found does too.
  std::string raw(name, len);
  char utf8[4 * MBOXNAME_BUF];
  const char* text = mutf7_toutf8(raw.c_str(), utf8, sizeof utf8) == 0 ? utf8 : raw.c_str();
  size_t tlen = strlen(text);
  ScopedLocale loc(utf8_locale());
  regmatch_t m;
  if (regexec(re_.get(), text, 1, &m, 0) != 0) return -1;
  return m.rm_so == 0 && static_cast<size_t>(m.rm_eo) == tlen ? static_cast<int>(len) : -1;
}

int mboxlist_findall_type(const char* pattern) {
  if (!*pattern) return MBOXLIST_FIND_NOSHARED;
  for (size_t i = 0; i < 15; ++i) {
    char c = pattern[i];
    if (c == '*' || c == '%') return 0;
    if (c == '\0' || c != kSharedRef[i]) return MBOXLIST_FIND_NOSHARED;
  }
  return MBOXLIST_FIND_NOPERSONAL;
}

std::string mboxlist_search_prefix(const std::string& text, bool regex) {
  if (!regex) return text.substr(0, text.find_first_of("*%"));
  // Alternation anywhere makes any literal start meaningless.
  size_t special = text.find_first_of(".\\+?|^$([{*");
  if (special == std::string::npos) return text;  // a literal expression
  if (starts_with(text, "user/")) {
    size_t slash = text.find('/', 5);
    if (slash != std::string::npos && slash < special) return text.substr(0, slash + 1);
  }
  if (text.find('|') != std::string::npos || special == 0) return {};
  // The character before a quantifier belongs to what it quantifies.
  return text.substr(0, special - 1);
}

// ---- Walking folder.db ---------------------------------------------------------

namespace {

// Reads folder.db records in batches with one short-lived cursor each: the
// cursor is closed before the caller looks at the batch, so no lock is held
// while callbacks run.  Each batch starts again at the first key not below
// the last one seen (skipped when still there).
class FolderBatches {
 public:
  explicit FolderBatches(DB* db) : db_(db), buf_(256 * 1024) {}

  // Fetches the next batch.  0, DB_NOTFOUND at the end, or an error.
  int fetch() {
    if (done_) return DB_NOTFOUND;
    return mboxlist_retry_read([this] { return fetch_once(); });
  }
  // Steps through the current batch.  false at its end.
  bool next(std::string_view* key, std::string_view* data) {
    for (;;) {
      void* rk;
      void* rd;
      u_int32_t kl, dl;
      DB_MULTIPLE_KEY_NEXT(ptr_, &bulk_, rk, kl, rd, dl);
      if (!ptr_) return false;
      std::string_view k(static_cast<const char*>(rk), kl);
      if (skip_first_) {
        skip_first_ = false;
        if (k == last_) continue;
      }
      last_.assign(k);
      *key = k;
      *data = std::string_view(static_cast<const char*>(rd), dl);
      return true;
    }
  }
  void start_at(std::string_view k) {
    last_.assign(k);
    first_ = true;
    skip_equal_ = false;
  }
  void skip_start_key() { skip_equal_ = true; }

 private:
  int fetch_once() {
    DbCursor cur;
    int r = db_->cursor(db_, nullptr, cur.out(), 0);
    if (r) return r;
    std::string start = last_;
    std::vector<char> kbuf(std::max<size_t>(start.size(), MBOXNAME_BUF) + 16);
    memcpy(kbuf.data(), start.data(), start.size());
    DBT k = {};
    k.data = kbuf.data();
    k.size = static_cast<u_int32_t>(start.size());
    k.ulen = static_cast<u_int32_t>(kbuf.size());
    k.flags = DB_DBT_USERMEM;
    for (;;) {
      bulk_ = DBT{};
      bulk_.data = buf_.data();
      bulk_.ulen = static_cast<u_int32_t>(buf_.size());
      bulk_.flags = DB_DBT_USERMEM;
      k.size = static_cast<u_int32_t>(start.size());
      memcpy(kbuf.data(), start.data(), start.size());
      r = cur->get(cur.get(), &k, &bulk_, DB_SET_RANGE | DB_MULTIPLE_KEY);
      if (r != DB_BUFFER_SMALL) break;
      buf_.resize(std::max<size_t>(buf_.size() * 2, bulk_.size + 4096));
    }
    // Every batch after the first begins with the last key already seen
    // (unless it was deleted meanwhile); the first skips it only when asked.
    bool skip = !first_ || skip_equal_;
    if (r == 0 && skip && only_seen_key()) {
      // The batch holds nothing new: continue from the cursor's position.
      for (;;) {
        bulk_.ulen = static_cast<u_int32_t>(buf_.size());
        bulk_.data = buf_.data();
        r = cur->get(cur.get(), &k, &bulk_, DB_NEXT | DB_MULTIPLE_KEY);
        if (r != DB_BUFFER_SMALL) break;
        buf_.resize(std::max<size_t>(buf_.size() * 2, bulk_.size + 4096));
      }
      skip = false;
    }
    if (r == DB_NOTFOUND) done_ = true;
    if (r) return r;
    DB_MULTIPLE_INIT(ptr_, &bulk_);
    skip_first_ = skip;
    first_ = false;
    return 0;
  }

  // True when the batch just read holds one record, the last key seen.
  bool only_seen_key() {
    void* p;
    DB_MULTIPLE_INIT(p, &bulk_);
    void* rk;
    void* rd;
    u_int32_t kl, dl;
    DB_MULTIPLE_KEY_NEXT(p, &bulk_, rk, kl, rd, dl);
    if (!p || std::string_view(static_cast<const char*>(rk), kl) != last_) return false;
    DB_MULTIPLE_KEY_NEXT(p, &bulk_, rk, kl, rd, dl);
    (void)rd;
    (void)dl;
    return p == nullptr;
  }

  DB* db_;
  std::vector<char> buf_;
  DBT bulk_ = {};
  void* ptr_ = nullptr;
  std::string last_;
  bool first_ = true;
  bool skip_equal_ = false;
  bool skip_first_ = false;
  bool done_ = false;
};

// A folder directory found on disk: its name and the partition holding it.
struct DiskFolder {
  std::string name;
  std::string partition;
};

// The folder record's parts: its 60-byte summary, partition and ACL.
struct FolderRecord {
  mboxdata mbd;
  const char* acl = "";
};

bool parse_record(std::string_view data, FolderRecord* out) {
  if (data.size() < static_cast<size_t>(MBOXDATA_SIZE) + 2) return false;
  out->mbd = mboxdata_decode(reinterpret_cast<const unsigned char*>(data.data()));
  std::string_view rest = data.substr(MBOXDATA_SIZE);
  size_t nul = rest.find('\0');
  if (nul == std::string_view::npos || nul + 1 >= rest.size() || rest.back() != '\0') return false;
  out->acl = rest.data() + nul + 1;
  return true;
}

bool ensure_owner_rights() {
  return config_get_switch(config_getdefaultcache(), "local.store.ensureownerrights", 1) != 0;
}

// One entry whose child information waits for the next key.
struct Pending {
  bool active = false;
  std::string name;  // internal
  std::string presented;
  int matchlen = 0;
  mboxdata mbd;
};

struct WalkArgs {
  const ListPattern* pattern;  // null: every name matches in full
  std::string prefix;          // presented names must begin with it (full form)
  std::string start;           // first key to look at (no NUL)
  size_t strip = 0;            // bytes of the full form not presented
  int flags = 0;
  const auth_state* auth = nullptr;
  mboxlist_findproc_t proc;
  void* rock;
};

// Presents the folders of a walk in key order to the caller's callback:
// prefix, pattern, rights, and child information that waits for the next
// name.
class Presenter {
 public:
  explicit Presenter(const WalkArgs& a) : a_(a), check_rights_(a.auth && !ensure_owner_rights()) {}

  // One folder; rec null for a folder found on disk without a record.  0
  // to go on, kPastPrefix when the walk is over, or the callback's result.
  int visit(std::string_view name, const FolderRecord* rec) {
    if (int cr = flush(name)) return cr;
    full_.assign(name);
    int childinfo = mboxlist_nochildinfo;
    if (is_user_inbox(name)) {
      full_ += "/INBOX";
      childinfo = mboxlist_noinferiors;
    }
    if (!starts_with(full_, a_.prefix)) {
      // Keys before the prefix can only be met at the start (an INBOX
      // found by a start cut before its '/'); past it the walk is over.
      return key_compare_names(full_, a_.prefix) > 0 ? kPastPrefix : 0;
    }
    if (full_.size() <= a_.strip) return 0;
    const char* presented = full_.c_str() + a_.strip;
    size_t plen = full_.size() - a_.strip;
    int matchlen = a_.pattern ? a_.pattern->match(presented, plen) : static_cast<int>(plen);
    if (matchlen <= 0) return 0;
    // A folder listed from disk without a record is the user's own: the
    // rights its lost record gave cannot be checked, and the owner's are
    // what the listing is for.
    if (rec && check_rights_ && !(acl_myrights(a_.auth, rec->acl) & ACL_LOOKUP)) return 0;
    const mboxdata mbd = rec ? rec->mbd : mboxdata{};
    if (static_cast<size_t>(matchlen) < plen) childinfo = mboxlist_haschildren;
    if ((a_.flags & MBOXLIST_FIND_CHILDINFO) && childinfo == mboxlist_nochildinfo) {
      pend_.active = true;
      pend_.name.assign(name);
      pend_.presented.assign(presented, plen);
      pend_.matchlen = matchlen;
      pend_.mbd = mbd;
      return 0;
    }
    return a_.proc(presented, matchlen, childinfo, &mbd, a_.rock);
  }
  // The end of the walk: the folder still waiting is told it has no
  // children.
  int finish() { return flush({}); }

  static constexpr int kPastPrefix = -0x7ffe;

 private:
  int flush(std::string_view next_name) {
    if (!pend_.active) return 0;
    pend_.active = false;
    bool children = next_name.size() > pend_.name.size() && starts_with(next_name, pend_.name) &&
                    next_name[pend_.name.size()] == '/';
    return a_.proc(pend_.presented.c_str(), pend_.matchlen, children ? mboxlist_haschildren : mboxlist_hasnochildren,
                   &pend_.mbd, a_.rock);
  }

  const WalkArgs& a_;
  const bool check_rights_;
  Pending pend_;
  std::string full_;
};

int walk_folders(const WalkArgs& a) {
  DB* db = mboxlist_folderdb();
  FolderBatches batches(db);
  batches.start_at(a.start);
  Presenter pr(a);
  for (;;) {
    int r = batches.fetch();
    if (r == DB_NOTFOUND) break;
    if (r) return r;
    std::string_view key, data;
    while (batches.next(&key, &data)) {
      std::string_view name = key;
      if (!name.empty() && name.back() == '\0') name.remove_suffix(1);
      FolderRecord rec;
      if (!parse_record(data, &rec)) {
        bvlog(0, LOG_STORE_WARNING, "Skipping malformed folder record %.*s", static_cast<int>(name.size()),
              name.data());
        continue;
      }
      int cr = pr.visit(name, &rec);
      if (cr == Presenter::kPastPrefix) return 0;
      if (cr) return cr;
    }
  }
  return pr.finish();
}

// The same over folders found on disk (names in key order), each with its
// record when it has one.
int walk_disk(const WalkArgs& a, const std::vector<DiskFolder>& folders) {
  Presenter pr(a);
  std::string data;
  for (const DiskFolder& f : folders) {
    if (key_compare_names(f.name, a.start) < 0) continue;
    FolderRecord rec;
    char* raw = nullptr;
    int len = mboxlist_lookup_data(f.name.c_str(), &raw, nullptr);
    bool have = len > 0 && (data.assign(raw, static_cast<size_t>(len)), parse_record(data, &rec));
    free(raw);
    int cr = pr.visit(f.name, have ? &rec : nullptr);
    if (cr == Presenter::kPastPrefix) return 0;
    if (cr) return cr;
  }
  return pr.finish();
}

// Every folder shared with one of the caller's identities, sorted, with
// duplicates.
std::vector<std::string> shared_list(const auth_state* auth) {
  std::vector<std::string> names;
  names.reserve(100);
  const char* const* ids = auth_getgroups(auth);
  for (; ids && *ids; ++ids) {
    char* list = nullptr;
    size_t size = 0;
    if (mboxlist_lookup_lright(*ids, &list, &size, nullptr) != 0) continue;
    for (size_t off = 0; off < size;) {
      const char* n = list + off;
      size_t l = strnlen(n, size - off);
      if (l) names.emplace_back(n, l);
      off += l + 1;
    }
    free(list);
  }
  std::sort(names.begin(), names.end());
  return names;
}

int list_shared(const ListPattern& pattern, int flags, int language, const char* userid, const auth_state* auth,
                mboxlist_findproc_t proc, void* rock) {
  std::string prefix = std::string(mboxname_prefix(1, language)) + "/";
  const char* proxies = config_get_string(config_getdefaultcache(), "local.service.proxy.serverlist", nullptr);
  if (proxies && *proxies && !(flags & MBOXLIST_FIND_SHAREDPAST)) {
    // Behind a proxy the shared tree is only announced.
    std::string top = prefix.substr(0, prefix.size() - 1);
    int m = pattern.match(prefix.c_str(), prefix.size());
    if (m > 0 && static_cast<size_t>(m) < prefix.size()) {
      return proc(top.c_str(), static_cast<int>(top.size()), mboxlist_haschildren, nullptr, rock);
    }
    return 0;
  }
  std::string last;  // the text of the last reported match
  int lastlen = -1;
  std::string presented;
  for (const std::string& name : shared_list(auth)) {
    if (mboxname_userownsmailbox(userid, name.c_str())) continue;
    if (!starts_with(name, "user/")) continue;
    presented = prefix + name.substr(5);
    int childinfo = mboxlist_nochildinfo;
    if (is_user_inbox(name)) {
      presented += "/INBOX";
      childinfo = mboxlist_noinferiors;
    }
    int matchlen = pattern.match(presented.c_str(), presented.size());
    if (matchlen <= 0) continue;
    if ((flags & MBOXLIST_FIND_SHAREDPAST) && static_cast<size_t>(matchlen) < prefix.size()) continue;
    if (matchlen == lastlen && presented.compare(0, static_cast<size_t>(matchlen), last) == 0) continue;
    mboxdata mbd;
    char* acl = nullptr;
    if (mboxlist_lookup(name.c_str(), &mbd, nullptr, nullptr, nullptr, &acl) != 0) continue;
    long rights = acl_myrights(auth, acl);
    free(acl);
    if (!(rights & ACL_LOOKUP)) continue;
    lastlen = matchlen;
    last.assign(presented, 0, static_cast<size_t>(matchlen));
    if (static_cast<size_t>(matchlen) < presented.size()) childinfo = mboxlist_haschildren;
    if ((flags & MBOXLIST_FIND_CHILDINFO) && childinfo == mboxlist_nochildinfo) {
      childinfo = mboxlist_getchildinfo(name.c_str(), rights);
    }
    if (int r = proc(presented.c_str(), matchlen, childinfo, &mbd, rock)) return r;
  }
  return 0;
}

}  // namespace

namespace {

// The personal part of a listing from the folders on disk (modes of
// mboxlist_findall_plus): 4 and 5 put missing records back first, 5 marks
// the user repaired once the walk is through.  A user with no INBOX on disk
// is listed from the database.
int list_from_disk(const WalkArgs& a, const char* userid, int mode) {
  std::vector<DiskFolder> folders;
  const bool insert = mode == 4 || mode == 5;
  int r = user_disk_folders(userid, insert, &folders);
  if (r == -1) return walk_folders(a);
  bool complete = r == 0;
  if (r != 0 && r != IMAP_IOERROR) return r;
  r = walk_disk(a, folders);
  if (r == 0 && mode == 5 && complete) (void)mboxlist_markrepaired(userid);
  return r;
}

}  // namespace

int key_compare_names(std::string_view a, std::string_view b) {
  DBT x = dbt_of(a.data(), a.size());
  DBT y = dbt_of(b.data(), b.size());
  return key_compare(nullptr, &x, &y);
}

int mboxlist_findall(const char* pattern, int flags, int language, const char* userid, const auth_state* auth,
                     mboxlist_findproc_t proc, void* rock) {
  if (mboxlist_init() != 0) return IMAP_IOERROR;
  ListPattern pat;
  const bool regex = flags & MBOXLIST_FIND_REGEX;
  if (!pattern || !pat.compile(pattern, regex)) return 0;
  if (userid && (!*userid || strchr(userid, '/'))) return 0;

  const int disk = userid ? (flags & MBOXLIST_FIND_DISKMASK) >> MBOXLIST_FIND_DISKSHIFT : 0;
  WalkArgs a;
  a.pattern = &pat;
  a.flags = flags;
  a.auth = auth;
  a.proc = proc;
  a.rock = rock;
  std::string text = pattern;
  if (userid) {
    flags |= mboxlist_findall_type(pattern);
    std::string own = std::string("user/") + userid + "/";
    text = own + pattern;
    // Any spelling of INBOX names the INBOX, stored as "INBOX" here.
    if (strncasecmp(pattern, "inbox", 5) == 0 && (pattern[5] == '\0' || pattern[5] == '/')) {
      text.replace(own.size(), 5, "INBOX");
    }
    a.strip = own.size();
  }
  int r = 0;
  if (!userid || !(flags & MBOXLIST_FIND_NOPERSONAL)) {
    a.prefix = mboxlist_search_prefix(text, regex);
    if (userid && !starts_with(a.prefix, std::string("user/") + userid + "/")) {
      a.prefix = std::string("user/") + userid + "/";
    }
    a.start = a.prefix;
    // The INBOX is presented as "<name>/INBOX" but stored as "<name>": a
    // start inside that suffix is cut back before its '/'.
    if (starts_with(a.prefix, "user/")) {
      size_t slash = a.prefix.find('/', 5);
      if (slash != std::string::npos && a.prefix.size() - slash <= 6 &&
          std::string_view("/INBOX").substr(0, a.prefix.size() - slash) == std::string_view(a.prefix).substr(slash)) {
        a.start = a.prefix.substr(0, slash);
      }
    }
    r = disk ? list_from_disk(a, userid, disk) : walk_folders(a);
  }
  if (r == 0 && userid && auth && language != -1 && !(flags & (MBOXLIST_FIND_NOSHARED | MBOXLIST_FIND_REGEX)) &&
      config_get_switch(config_getdefaultcache(), "local.store.sharedfolders", 1)) {
    r = list_shared(pat, flags, language, userid, auth, proc, rock);
  }
  return r;
}

int mboxlist_findall_plus(const char* pattern, int flags, int language, const char* userid, const auth_state* auth,
                          mboxlist_findproc_t proc, void* rock, int override) {
  if (!userid) return -1;
  const int mode = override ? override : mboxlist_listrecover();
  flags &= ~MBOXLIST_FIND_DISKMASK;
  int disk = 0;
  if (mode == 2) {
    disk = mode;
  } else if (mode >= 3 && mode <= 6 && valid_userid(userid) && mboxlist_dbneedrepair(userid)) {
    if (mode == 6) {
      // Rebuilt first, then listed from the list as always.
      (void)mboxlist_recover_folders_from_disk(userid);
    } else {
      disk = mode;
    }
  }
  return mboxlist_findall(pattern, flags | disk << MBOXLIST_FIND_DISKSHIFT, language, userid, auth, proc, rock);
}

int mboxlist_getchildinfo(const char* name, long rights) {
  DB* db = mboxlist_folderdb();
  std::string n = name;
  std::string start = n + '\0';
  bool children = false;
  if (db) {
    (void)mboxlist_retry_read([&] {
      DbCursor cur;
      int r = db->cursor(db, nullptr, cur.out(), 0);
      if (r) return r;
      DbWalk w;
      r = w.first(cur.get(), start);
      if (r == 0 && w.key() == start) r = w.next(cur.get());
      if (r == 0) {
        std::string_view k = w.key();
        children = k.size() > n.size() && starts_with(k, n) && k[n.size()] == '/';
      }
      return r;
    });
  }
  if (children) return mboxlist_haschildren;
  return (rights & ACL_CREATE) ? mboxlist_hasnochildren : mboxlist_noinferiors;
}

// ---- Subscriptions ----------------------------------------------------------------

namespace {

std::string sub_key(const char* userid, const char* name) {
  std::string k = userid;
  k += '\0';
  if (name) {
    k += name;
    k += '\0';
  }
  return k;
}

int put_sub_marker(DB_TXN* txn, const char* userid, uint32_t when) {
  DB* db = mboxlist_subsdb();
  unsigned char buf[4];
  memcpy(buf, &when, 4);  // host byte order
  std::string k = sub_key(userid, nullptr);
  DBT key = dbt_of(k.data(), k.size());
  DBT data = dbt_of(buf, 4);
  return db->put(db, txn, &key, &data, 0);
}

// Reads the marker: 0 with *when and *size, DB_NOTFOUND, or an error.
int read_sub_marker(const char* userid, uint32_t* when, uint32_t* size) {
  DB* db = mboxlist_subsdb();
  std::string k = sub_key(userid, nullptr);
  return mboxlist_retry_read([&] {
    unsigned char buf[4] = {};
    DbKey key(k.data(), k.size());
    DBT data = {};
    data.data = buf;
    data.ulen = 4;
    data.dlen = 4;
    data.flags = DB_DBT_USERMEM | DB_DBT_PARTIAL;
    int r = db->get(db, nullptr, key.dbt(), &data, 0);
    if (r == 0) {
      *size = data.size;
      uint32_t v = 0;
      memcpy(&v, buf, 4);
      *when = v;
    }
    return r;
  });
}

// The user's subscribed folder names in key order.
int read_subs(const char* userid, std::vector<std::string>* out) {
  DB* db = mboxlist_subsdb();
  std::string start = sub_key(userid, nullptr);
  return mboxlist_retry_read([&] {
    out->clear();
    DbCursor cur;
    int r = db->cursor(db, nullptr, cur.out(), 0);
    if (r) return r;
    DbWalk w;
    for (r = w.first(cur.get(), start); r == 0; r = w.next(cur.get())) {
      std::string_view k = w.key();
      if (!starts_with(k, start)) break;
      if (k.size() == start.size()) continue;  // the marker
      std::string_view f = k.substr(start.size());
      if (!f.empty() && f.back() == '\0') f.remove_suffix(1);
      out->emplace_back(f);
    }
    return r == DB_NOTFOUND ? 0 : r;
  });
}

std::string inbox_dir(const char* userid) {
  char inbox[MBOXNAME_MAX];
  mboxname_toownedmailbox(nullptr, userid, inbox);
  char* path = nullptr;
  if (mboxlist_lookup(inbox, nullptr, nullptr, &path, nullptr, nullptr) != 0) return {};
  std::string d = path ? path : "";
  free(path);
  return d;
}

int sync_level() {
  config_cache* cfg = config_getdefaultcache();
  int level = config_get_int(cfg, "local.store.synclevel", -1);
  if (level == -1) level = 1;
  return config_get_int(cfg, "local.store.subscribesynclevel", level);
}

}  // namespace

int mboxlist_lookup_subs(const char* userid, const char* name) {
  if (mboxlist_init() != 0 || !mboxlist_subsdb()) return -1;
  DB* db = mboxlist_subsdb();
  std::string k = sub_key(userid, name);
  return mboxlist_retry_read([&] {
    DbKey key(k.data(), k.size());
    DBT data = {};
    data.flags = DB_DBT_MALLOC;
    int r = db->get(db, nullptr, key.dbt(), &data, 0);
    if (r == 0) free(data.data);
    return r;
  });
}

int mboxlist_changesub(const char* name, const char* userid, const auth_state*, int add) {
  if (mboxlist_init() != 0 || !mboxlist_subsdb()) return IMAP_IOERROR;
  if (!name || !userid || strlen(userid) + strlen(name) + 2 > kSubKeyMax) return IMAP_MAILBOX_BADNAME;
  (void)mboxlist_maybeRecoverSubsFromFile(userid);
  DB* db = mboxlist_subsdb();
  std::string k = sub_key(userid, name);
  int r = mboxlist_in_txn("modify subscriptons", userid, [&](DB_TXN* txn) -> int {
    DBT key = dbt_of(k.data(), k.size());
    int rr;
    if (add) {
      DBT data = dbt_of("", 0);
      rr = db->put(db, txn, &key, &data, DB_NOOVERWRITE);
      if (rr == DB_KEYEXIST) rr = 0;
    } else {
      rr = db->del(db, txn, &key, 0);
      if (rr == DB_NOTFOUND) rr = 0;
    }
    if (rr == 0) rr = put_sub_marker(txn, userid, static_cast<uint32_t>(time(nullptr)));
    if (rr == 0 || rr == DB_LOCK_DEADLOCK) return rr;
    errno = rr > 0 ? rr : EIO;
    bvlog(0, LOG_STORE_ERR, "Unable to change subscription for %s: %m", userid);
    return IMAP_IOERROR;
  });
  return r == 0 ? 0 : IMAP_IOERROR;
}

int mboxlist_findsub(const char* pattern, int flags, int language, const char* userid, const auth_state* auth,
                     mboxlist_findproc_t proc, void* rock) {
  if (mboxlist_init() != 0 || !mboxlist_subsdb()) return IMAP_IOERROR;
  if (!userid || !*userid || strchr(userid, '/')) return 0;
  ListPattern pat;
  if (!pattern || !pat.compile(pattern, flags & MBOXLIST_FIND_REGEX)) return 0;
  (void)mboxlist_maybeRecoverSubsFromFile(userid);
  std::vector<std::string> subs;
  if (int r = read_subs(userid, &subs)) return r;
  std::string own = std::string("user/") + userid;
  std::string shared = std::string(mboxname_prefix(1, language < 0 ? 0 : language)) + "/";
  std::string presented;
  for (const std::string& name : subs) {
    // Subscriptions to top-level shared names sort before "user/" and are
    // not offered here.
    if (!starts_with(name, "user/")) continue;
    bool mine = mboxname_userownsmailbox(userid, name.c_str());
    int childinfo = mboxlist_nochildinfo;
    if (mine) {
      presented = name == own ? "INBOX" : name.substr(own.size() + 1);
      if (name == own) childinfo = mboxlist_noinferiors;
    } else {
      presented = shared + name.substr(5);
      if (is_user_inbox(name)) {
        presented += "/INBOX";
        childinfo = mboxlist_noinferiors;
      }
    }
    int matchlen = pat.match(presented.c_str(), presented.size());
    if (matchlen <= 0) continue;
    bool partial = static_cast<size_t>(matchlen) < presented.size();
    mboxdata mbd;
    char* acl = nullptr;
    if (mboxlist_lookup(name.c_str(), &mbd, nullptr, nullptr, nullptr, &acl) != 0) {
      if (mine) continue;
      if (int r = proc(presented.c_str(), matchlen, partial ? mboxlist_haschildren : mboxlist_noinferiors, nullptr,
                       rock)) {
        return r;
      }
      continue;
    }
    long rights = mine || !auth ? ACL_ALL : acl_myrights(auth, acl);
    free(acl);
    if (!(rights & ACL_LOOKUP)) continue;
    if (partial) childinfo = mboxlist_haschildren;
    if ((flags & MBOXLIST_FIND_CHILDINFO) && childinfo == mboxlist_nochildinfo) {
      childinfo = mboxlist_getchildinfo(name.c_str(), rights);
    }
    if (int r = proc(presented.c_str(), matchlen, childinfo, &mbd, rock)) return r;
  }
  return 0;
}

int mboxlist_renamesub(DB_TXN* txn, const char* olduser, const char* newuser) {
  DB* db = mboxlist_subsdb();
  if (!db) return IMAP_IOERROR;
  std::string start = sub_key(olduser, nullptr);
  std::vector<std::string> keys;
  int r = 0;
  {
    DbCursor cur;
    r = db->cursor(db, txn, cur.out(), 0);
    if (r == 0) {
      DbWalk w;
      for (r = w.first(cur.get(), start, DB_RMW); r == 0; r = w.next(cur.get(), DB_RMW)) {
        if (!starts_with(w.key(), start)) break;
        keys.emplace_back(w.key());
      }
      if (r == DB_NOTFOUND) r = 0;
    }
  }
  std::string oldown = std::string("user/") + olduser;
  for (size_t i = 0; r == 0 && i < keys.size(); ++i) {
    const std::string& k = keys[i];
    if (k.size() == start.size()) {
      r = put_sub_marker(txn, newuser, static_cast<uint32_t>(time(nullptr)));
    } else {
      std::string folder(k, start.size());
      if (!folder.empty() && folder.back() == '\0') folder.pop_back();
      if (mboxname_userownsmailbox(olduser, folder.c_str())) {
        char buf[MBOXNAME_MAX];
        const char* rest = folder.size() > oldown.size() ? folder.c_str() + oldown.size() + 1 : nullptr;
        folder = mboxname_toownedmailbox(rest, newuser, buf);
      }
      std::string nk = sub_key(newuser, folder.c_str());
      DBT key = dbt_of(nk.data(), nk.size());
      DBT data = dbt_of("", 0);
      r = db->put(db, txn, &key, &data, DB_NOOVERWRITE);
      if (r == DB_KEYEXIST) r = 0;
    }
    if (r == 0) {
      DBT key = dbt_of(k.data(), k.size());
      r = db->del(db, txn, &key, 0);
    }
  }
  if (r == 0 || r == DB_LOCK_DEADLOCK) return r;
  bvlog(0, LOG_STORE_ERR, "Unable to rename subscriptions of %s: %s", olduser, db_strerror(r));
  return IMAP_IOERROR;
}

int mboxlist_maybeRecoverSubsFromFile(const char* userid) {
  if (mboxlist_init() != 0 || !mboxlist_subsdb()) return IMAP_IOERROR;
  uint32_t when = 0, size = 0;
  int r = read_sub_marker(userid, &when, &size);
  if (r == 0) return 0;
  if (r != DB_NOTFOUND) return mboxlist_dberror(r, "Unable to read subscriptions of", userid);
  std::string file;
  uint32_t stamp = 0;
  std::string dir = inbox_dir(userid);
  UniqueFd fd;
  if (!dir.empty()) {
    file = dir + "/" + kSubFile;
    fd.reset(open(file.c_str(), O_RDONLY | O_CLOEXEC));
  }
  if (!fd && configmsg_get_storedir()) {
    char hash[MBOXNAME_HASH_BUF];
    mboxname_tohash(userid, 0, hash);
    file = std::string(configmsg_get_storedir()) + "/user" + hash + userid + ".sub";
    fd.reset(open(file.c_str(), O_RDONLY | O_CLOEXEC));
    stamp = static_cast<uint32_t>(time(nullptr));
  }
  if (!fd) return 0;
  MapPtr map(map_refresh(fd.get(), nullptr, MAP_F_WHOLE, -1));
  if (!map) {
    bvlog(0, LOG_STORE_ERR, "Unable to map subscription file for %s: %m", userid);
    return IMAP_IOERROR;
  }
  DB* db = mboxlist_subsdb();
  r = mboxlist_in_txn("recover subscriptons", userid, [&](DB_TXN* txn) -> int {
    int rr = put_sub_marker(txn, userid, stamp);
    const char* p = map->base;
    const char* end = map->base + map->length;
    while (rr == 0 && p < end) {
      const char* nl = static_cast<const char*>(memchr(p, '\n', static_cast<size_t>(end - p)));
      if (!nl) break;  // a last line without LF was cut off mid-write
      std::string_view line(p, static_cast<size_t>(nl - p));
      p = nl + 1;
      if (!line.empty() && line.back() == '\t') line.remove_suffix(1);
      if (line.empty() || line.size() >= MBOXNAME_MAX || line.find('\0') != std::string_view::npos) continue;
      std::string k = sub_key(userid, std::string(line).c_str());
      if (k.size() > kSubKeyMax) continue;
      DBT key = dbt_of(k.data(), k.size());
      DBT data = dbt_of("", 0);
      rr = db->put(db, txn, &key, &data, 0);
    }
    if (rr == 0 || rr == DB_LOCK_DEADLOCK) return rr;
    bvlog(0, LOG_STORE_ERR, "Unable to write subscriptons for %s: %s", userid, db_strerror(rr));
    return IMAP_IOERROR;
  });
  return r == 0 ? 0 : IMAP_IOERROR;
}

int mboxlist_checkpointSubs(const char* userid, time_t lastckpstart, time_t lastckpend) {
  if (mboxlist_init() != 0 || !mboxlist_subsdb()) return IMAP_IOERROR;
  uint32_t when = 0, size = 0;
  int r = read_sub_marker(userid, &when, &size);
  if (r == DB_NOTFOUND) return 0;
  if (r) return mboxlist_dberror(r, "Unable to read subscriptions of", userid);
  if (size != 4 || static_cast<time_t>(when) < lastckpstart) return 0;
  std::string dir = inbox_dir(userid);
  if (dir.empty()) return 0;
  std::string file = dir + "/" + kSubFile;
  struct stat sb;
  bool write = static_cast<time_t>(when) >= lastckpend || stat(file.c_str(), &sb) != 0 ||
               sb.st_mtime <= static_cast<time_t>(when);
  if (!write) return 0;
  std::vector<std::string> subs;
  if ((r = read_subs(userid, &subs)) != 0) return mboxlist_dberror(r, "Unable to read subscriptions of", userid);
  std::string tmp = dir + "/" + kSubNew;
  UniqueFd fd(fs_open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666));
  if (!fd) {
    bvlog(0, LOG_STORE_ERR, "Unable to create subscription file for %s: %m", userid);
    return IMAP_IOERROR;
  }
  ProtPtr out(prot_file(fd.get(), 1));
  if (!out) {
    fs_unlink(tmp.c_str());
    return ENOMEM;
  }
  for (const std::string& s : subs) {
    prot_write(out.get(), s.data(), s.size());
    prot_write(out.get(), "\n", 1);
  }
  prot_flush(out.get());
  const char* err = prot_error(out.get());
  if (!err && sync_file(fd.get(), sync_level()) != 0) err = strerror(errno);
  out.reset();
  fd.reset();
  if (err) {
    bvlog(0, LOG_STORE_ERR, "Unable to write subscription file for %s: %s", userid, err);
    fs_unlink(tmp.c_str());
    return IMAP_IOERROR;
  }
  if (fs_rename(tmp.c_str(), file.c_str()) != 0) {
    bvlog(0, LOG_STORE_ERR, "Unable to rename subscription file for %s: %m", userid);
    fs_unlink(tmp.c_str());
    return IMAP_IOERROR;
  }
  return 0;
}

// ---- Rebuilding a user's records from disk ------------------------------------

namespace {

// Every folder directory of the user whose INBOX is inbox, on every
// partition (folders moved to another partition live below the user's
// directory there), in key order.  A name found on two partitions counts
// once: on the partition its record names, else on the first partition
// (the INBOX's first).  -1 when the INBOX has neither a record nor an index
// at the place its name maps to on any partition.
int disk_folders(const char* inbox, std::vector<DiskFolder>* out) {
  out->clear();
  std::vector<std::string> parts = userscan_partitions();
  char* inbox_part = nullptr;
  bool have_record = mboxlist_lookup(inbox, nullptr, &inbox_part, nullptr, nullptr, nullptr) == 0;
  if (inbox_part) {
    auto it = std::find(parts.begin(), parts.end(), std::string(inbox_part));
    if (it != parts.end()) std::rotate(parts.begin(), it, it + 1);
    free(inbox_part);
  }
  bool inbox_on_disk = false;
  for (const std::string& part : parts) {
    char top[MBOXNAME_PATH_BUF];
    if (mboxlist_getpath(inbox, part.c_str(), top, nullptr) != 0) continue;
    // Breadth-first over the folder directories below the INBOX's.
    std::vector<std::pair<std::string, std::string>> work = {{inbox, top}};
    for (size_t i = 0; i < work.size(); ++i) {
      const std::string name = work[i].first;
      const std::string dir = work[i].second;
      std::unique_ptr<DIR, int (*)(DIR*)> d(opendir(dir.c_str()), closedir);
      if (!d) continue;  // unreadable directories are skipped
      bool folder = false;
      while (dirent* e = readdir(d.get())) {
        if (strcmp(e->d_name, "store.idx") == 0) folder = true;
        if (strchr(e->d_name, '.') || e->d_name[0] != '=') continue;
        char decoded[MBOXNAME_MAX];
        if (mboxname_frompath(e->d_name, decoded) != 0) continue;
        std::string child = name + "/" + decoded;
        if (child.size() >= MBOXNAME_MAX) continue;
        work.emplace_back(child, dir + "/" + e->d_name);
      }
      if (!folder) continue;
      if (i == 0) inbox_on_disk = true;
      out->push_back({name, part});
    }
  }
  if (!have_record && !inbox_on_disk) {
    out->clear();
    return -1;
  }
  std::stable_sort(out->begin(), out->end(),
                   [](const DiskFolder& x, const DiskFolder& y) { return key_compare_names(x.name, y.name) < 0; });
  // Of a name found twice, the copy on the partition its record names.
  std::vector<DiskFolder> unique;
  for (size_t i = 0; i < out->size();) {
    size_t j = i;
    while (j < out->size() && (*out)[j].name == (*out)[i].name) ++j;
    size_t pick = i;
    if (j - i > 1) {
      char* part = nullptr;
      if (mboxlist_lookup((*out)[i].name.c_str(), nullptr, &part, nullptr, nullptr, nullptr) == 0 && part) {
        for (size_t k = i; k < j; ++k) {
          if ((*out)[k].partition == part) pick = k;
        }
      }
      free(part);
    }
    unique.push_back(std::move((*out)[pick]));
    i = j;
  }
  *out = std::move(unique);
  return 0;
}

// Writes the record of a folder found on disk, with the ACL its index
// keeps.  0 (also for a folder whose files cannot be opened: logged, and
// nothing a rebuild of the list could mend), or IMAP_IOERROR when the
// record cannot be written.
int restore_record(const std::string& name, const std::string& partition) {
  char path[MBOXNAME_PATH_BUF], msgpath[MBOXNAME_PATH_BUF];
  if (mboxlist_getpath(name.c_str(), partition.c_str(), path, msgpath) != 0) return 0;
  mailbox m;
  if (mailbox_open_path(name.c_str(), MAILBOX_OPEN_QUIET, partition.c_str(), path, *msgpath ? msgpath : nullptr, "",
                        nullptr, &m) != 0) {
    bvlog(0, LOG_STORE_WARNING, "Unable to open folder %s found on disk", name.c_str());
    return 0;
  }
  int r = mailbox_read_index_header_acl(&m);
  if (r == 0) r = mboxlist_updatedata(&m, 0);
  if (r == 0) bvlog(0, LOG_STORE_NOTICE, "Folder %s restored from disk", name.c_str());
  mailbox_close(&m);
  if (r) bvlog(0, LOG_STORE_ERR, "Unable to restore folder %s found on disk: %s", name.c_str(), error_message(r));
  return r ? IMAP_IOERROR : 0;
}

// The user's folders on disk, each folder without a record given one when
// insert is set.  Under the user's whole-user creation lock, as a rename or
// a user deletion takes it: a folder directory half-way through a rename
// has no record and would otherwise be put back under its old name (both
// names would then exist, and the quota count the messages twice).  An
// interrupted rename of the user is finished first: its half-moved folders
// must not come back under either name.  0, -1 when the user has no INBOX
// (neither record nor index), IMAP_MAILBOX_LOCKED, or IMAP_IOERROR (the
// lock, or a record that could not be written; the others are written).
int user_disk_folders(const char* userid, bool insert, std::vector<DiskFolder>* folders) {
  std::string id = userid;
  store_canonifyid(id.data());
  id.resize(strlen(id.c_str()));
  char inbox[MBOXNAME_MAX];
  mboxname_toownedmailbox(nullptr, id.c_str(), inbox);
  if (mboxlist_rename_pending(inbox)) (void)mboxlist_rename_recover();
  MboxlistCreateLock lock;
  if (lock.lock(inbox, nullptr, 1) != 0) return IMAP_IOERROR;
  if (mboxlist_rename_pending(inbox)) return IMAP_MAILBOX_LOCKED;
  if (disk_folders(inbox, folders) != 0) return -1;
  if (!insert) return 0;
  int failed = 0;
  for (const DiskFolder& f : *folders) {
    if (mboxlist_lookup(f.name.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr) != IMAP_MAILBOX_NONEXISTENT)
      continue;
    if (restore_record(f.name, f.partition) != 0) failed = IMAP_IOERROR;
  }
  return failed;
}

bool valid_userid(const char* userid) { return userid && *userid && !strchr(userid, '/'); }

}  // namespace

int mboxlist_recover_folders_from_disk(const char* userid) {
  if (mboxlist_init() != 0 || !valid_userid(userid)) return -1;
  std::vector<DiskFolder> folders;
  if (int r = user_disk_folders(userid, true, &folders)) return r;
  // Marked only once every record is back: a user whose rebuild failed
  // half-way keeps needing one.
  return mboxlist_markrepaired(userid);
}

namespace {

// The names of at most max folders following *from in the list (*from
// empty: from the first), for the walks that go a slice at a time.  The
// names are read first, apart from the work on each folder: that work
// reads other databases and writes files, no work to do with a cursor
// open.  0 with *at_end telling whether the list is done, or -1 (logged).
int folder_slice(const std::string& from, size_t max, const char* what, std::vector<std::string>* names,
                 bool* at_end) {
  max = std::max<size_t>(max, 1);  // a slice always moves on
  DB* db = mboxlist_folderdb();
  int r = mboxlist_retry_read([&] {
    names->clear();
    *at_end = false;
    DbCursor cur;
    int e = db->cursor(db, nullptr, cur.out(), 0);
    if (e) return e;
    DbWalk w;
    std::string start = from.empty() ? std::string() : from + '\0';
    for (e = w.first(cur.get(), start); e == 0 && names->size() < max; e = w.next(cur.get())) {
      std::string_view k = w.key();
      if (!k.empty() && k.back() == '\0') k.remove_suffix(1);
      if (!from.empty() && k == from) continue;
      names->emplace_back(k);
    }
    *at_end = e == DB_NOTFOUND;
    return *at_end ? 0 : e;
  });
  if (r) {
    (void)mboxlist_dberror(r, "Unable to list the folders for", what);
    return -1;
  }
  return 0;
}

// Where the next slice starts.
void next_slice(std::string* from, const std::vector<std::string>& names, bool at_end) {
  if (at_end)
    from->clear();
  else if (!names.empty())
    *from = names.back();
}

}  // namespace

int mboxlist_checkpoint_files(time_t lastckpstart, time_t lastckpend, std::string* from, size_t max) {
  if (mboxlist_init() != 0) return -1;
  std::vector<std::string> names;
  bool at_end = false;
  if (folder_slice(*from, max, "the checkpoint", &names, &at_end) != 0) return -1;
  int failed = 0;
  for (const std::string& n : names) {
    if (seen_checkpoint(n.c_str(), lastckpstart, lastckpend) != 0) failed++;
    const char* id = n.c_str() + 5;
    if (n.compare(0, 5, "user/") == 0 && *id && !std::strchr(id, '/') &&
        mboxlist_checkpointSubs(id, lastckpstart, lastckpend) != 0)
      failed++;
  }
  next_slice(from, names, at_end);
  return failed;
}

int mboxlist_clean_expunged_folder(const char* name, time_t before) {
  char* path = nullptr;
  char* msgpath = nullptr;
  int r = mboxlist_lookup(name, nullptr, nullptr, &path, &msgpath, nullptr);
  CStr own_path(path), own_msgpath(msgpath);
  if (r) return r;
  struct stat st;
  if (stat(mailbox_file(path, FNAME_EXPUNGE).c_str(), &st) != 0) return 0;  // nothing expunged
  r = mailbox_clean_expunge(path, msgpath, before);
  return r == IMAP_MAILBOX_NONEXISTENT ? 0 : r;  // the log went away meanwhile
}

int mboxlist_clean_expunged(time_t before, std::string* from, size_t max) {
  if (mboxlist_init() != 0) return -1;
  std::vector<std::string> names;
  bool at_end = false;
  if (folder_slice(*from, max, "the expunge clean-up", &names, &at_end) != 0) return -1;
  int failed = 0;
  for (const std::string& n : names) {
    int r = mboxlist_clean_expunged_folder(n.c_str(), before);
    // A folder deleted or renamed since the names were read has nothing left.
    if (r != 0 && r != IMAP_MAILBOX_NONEXISTENT) failed++;
  }
  next_slice(from, names, at_end);
  return failed;
}

// ---- Partition summary -------------------------------------------------------

namespace {

struct FindallRock {
  int (*visit)(void* rock, const char* name, int matchlen, uint64_t qused);
  void* rock;
};

int summary_findall(void*, int (*visit)(void* rock, const char* name, int matchlen, uint64_t qused), void* rock) {
  FindallRock fr{visit, rock};
  return mboxlist_findall(
      "*", 0, -1, nullptr, nullptr,
      [](const char* name, int matchlen, int, const mboxdata* mbd, void* r) {
        auto* f = static_cast<FindallRock*>(r);
        return f->visit(f->rock, name, matchlen, mbd ? mbd->qused : 0);
      },
      &fr);
}

int summary_partition(void*, const char* name, char** partition) {
  return mboxlist_lookup(name, nullptr, partition, nullptr, nullptr, nullptr);
}

int summary_quota(void*, const char* name, int64_t* limit) {
  // The quota root of an INBOX is the INBOX itself ("user/<id>").
  std::string root = name;
  if (root.size() > 6 && root.compare(root.size() - 6, 6, "/INBOX") == 0) root.resize(root.size() - 6);
  quotadata qd;
  if (int r = mboxlist_lookup_quota(root.c_str(), &qd, nullptr)) return r;
  *limit = qd.qmax == QUOTA_UNLIMITED ? -1 : static_cast<int64_t>(qd.qmax);
  return 0;
}

}  // namespace

int mboxlist_getpartitions(partition_info_t** list) {
  if (mboxlist_init() != 0) {
    *list = nullptr;
    return IMAP_IOERROR;
  }
  const store_partition_source src{nullptr, summary_findall, summary_partition, summary_quota};
  return store_getpartitions(src, list);
}
