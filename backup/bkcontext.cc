// The backup context, sessions, partition and group tables, user cache and
// name lists.
#include "backup/bkcontext.h"

#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "backup/bkmailbox.h"
#include "backup/bkstore.h"
#include "common/bvlog.h"
#include "common/config.h"
#include "common/imap_err.h"
#include "common/signals.h"
#include "store/mboxlist.h"
#include "store/mboxname.h"
#include "store/userscan.h"

namespace {

constexpr int SIGINT_NO = 2;
constexpr int SIGTERM_NO = 15;
// Longest object name, in bytes.
constexpr size_t NAME_MAX_BYTES = 1024;
// A group file line is read in pieces of this many characters.
constexpr int GROUP_LINE_PIECE = 510;
constexpr const char* GROUP_FILE = "backup-groups.conf";

// The type a name stands for: the number of non-empty components, up to 4.
BkType type_of(const char* name) {
  int n = 0;
  for (const char* p = name; *p && n < 4; p++)
    if (*p != '/' && (p == name || p[-1] == '/')) n++;
  return static_cast<BkType>(n);
}

void raise_fd_limit(rlim_t want) {
  struct rlimit rl;
  if (getrlimit(RLIMIT_NOFILE, &rl) != 0 || rl.rlim_cur >= want) return;
  rl.rlim_cur = rl.rlim_max == RLIM_INFINITY || rl.rlim_max >= want ? want : rl.rlim_max;
  (void)setrlimit(RLIMIT_NOFILE, &rl);
}

// s without leading and trailing spaces (spaces only).
std::string trim_spaces(const std::string& s) {
  size_t b = s.find_first_not_of(' ');
  if (b == std::string::npos) return "";
  size_t e = s.find_last_not_of(' ');
  return s.substr(b, e - b + 1);
}

}  // namespace

// ---------------------------------------------------------------------------
// BkPartition

namespace {
int scan_partition_cb(const char* name, void* arg) {
  static_cast<Vector<String>*>(arg)->add(std::make_unique<String>(name));
  return 0;
}
}  // namespace

int BkPartition::scanPartition() {
  std::lock_guard lk(ml_);
  if (!scanned_) {
    (void)configmsg_scanpartition(scan_partition_cb, &parts_);
    scanned_ = true;
    bvlog(0, LOG_STORE_DEBUG, "BkPartition::scanPartition %d", parts_.count());
  }
  return parts_.count() > 0 ? 1 : 0;
}

int BkPartition::getPartNum(const char* name) {
  for (int i = 0; i < parts_.count(); i++)
    if (std::strcmp(parts_[i]->getcstring(), name) == 0) return i + 1;
  return 0;
}

// ---------------------------------------------------------------------------
// BkGroup

BkGroup::~BkGroup() {
  for (size_t i = 0; i < regexp_.size(); i++)
    if (usable_[i]) regfree(&regexp_[i]);
}

int BkGroup::getconfig(const char* path, const char* which) {
  FILE* f = std::fopen(path, "re");
  if (!f) {
    bvlog(0, LOG_STORE_ERR, "Can't open file %s", path);
    return 0;
  }
  char buf[GROUP_LINE_PIECE + 1];
  while (std::fgets(buf, sizeof buf, f)) {
    std::string line = buf;
    if (!line.empty() && line.back() == '\n') line.pop_back();
    size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    std::string name = trim_spaces(line.substr(0, eq));
    std::string pattern = trim_spaces(line.substr(eq + 1));
    if (name.empty() || pattern.empty()) continue;
    if (which && name != which) continue;
    groups_.add(std::make_unique<KeyValue>(name.c_str(), pattern.c_str()));
  }
  std::fclose(f);
  return 1;
}

int BkGroup::scanGroup(const char* which) {
  std::lock_guard lk(ml_);
  if (!scanned_) {
    scanned_ = true;
    const char* root = config_get_string(config_getdefaultcache(), "local.serverroot", nullptr);
    std::string path = std::string(root ? root : "") + "/config/" + GROUP_FILE;
    if (!root || access(path.c_str(), F_OK) != 0) {
      groups_.add(std::make_unique<KeyValue>("user", "%"));
      all_ = 1;
    } else {
      (void)getconfig(path.c_str(), which);
    }
    bvlog(0, LOG_STORE_DEBUG, "BkGroup::scanGroup %d", groups_.count());
  }
  return groups_.count() > 0 ? 1 : 0;
}

int BkGroup::compileRegex() {
  if (all_) return 1;
  std::lock_guard lk(ml_);
  if (compiled_) return 1;
  compiled_ = true;
  bvlog(0, LOG_STORE_DEBUG, "BkGroup::compileRegex");
  regexp_.resize(static_cast<size_t>(groups_.count()));
  usable_.assign(static_cast<size_t>(groups_.count()), 0);
  for (int i = 0; i < groups_.count(); i++) {
    // Anchored on both ends so the pattern must match the whole user id;
    // which() also checks the span, so a pattern with its own unbalanced
    // alternation cannot match a mere prefix.
    std::string anchored = std::string("^(") + groups_[i]->value() + ")$";
    if (regcomp(&regexp_[static_cast<size_t>(i)], anchored.c_str(), REG_EXTENDED) != 0) {
      bvlog(0, LOG_STORE_ERR, "Invalid regex: %s", groups_[i]->value());
      continue;
    }
    usable_[static_cast<size_t>(i)] = 1;
  }
  return 1;
}

int BkGroup::which(const char* user) {
  if (all_) return 0;
  size_t len = std::strlen(user);
  for (size_t i = 0; i < regexp_.size(); i++) {
    if (!usable_[i]) continue;
    regmatch_t m[1];
    if (regexec(&regexp_[i], user, 1, m, 0) == 0 && m[0].rm_so == 0 && static_cast<size_t>(m[0].rm_eo) == len)
      return static_cast<int>(i);
  }
  return -1;
}

int BkGroup::getGroupNum(const char* name) {
  for (int i = 0; i < groups_.count(); i++)
    if (std::strcmp(groups_[i]->key(), name) == 0) return i + 1;
  return 0;
}

// ---------------------------------------------------------------------------
// BkUserCache

int BkUserCache::scanUser(int partNum, BkPartition& parts, BkGroup& groups) {
  if (!groups.compileRegex()) return 0;
  cache_.clear();
  for (int i = 0; i < groups.count(); i++) cache_.push_back(std::make_unique<UserList>());
  built_ = false;
  const char* pname = parts.name(partNum > 0 ? partNum - 1 : 0);
  if (!pname) return 0;
  bvlog(0, LOG_STORE_DEBUG, "BkUserCache::scanUser(%s)", pname);
  // The partition's user directories (store/userscan.h); a user belongs
  // to the partition that holds his INBOX according to the list.
  (void)userscan_partition(pname, [&](const char* user, const std::string&) {
    int g = groups.which(user);
    if (g < 0 || g >= static_cast<int>(cache_.size())) return 0;
    char inbox[MBOXNAME_MAX];
    (void)mboxname_toownedmailbox(nullptr, user, inbox);
    char* part = nullptr;
    if (mboxlist_lookup(inbox, nullptr, partNum ? &part : nullptr, nullptr, nullptr, nullptr) != 0) return 0;
    bool here = !partNum || (part && std::strcmp(part, pname) == 0);
    std::free(part);
    if (here) cache_[static_cast<size_t>(g)]->add(user);
    return 0;
  });
  partNum_ = partNum;
  built_ = true;
  return 1;
}

void BkUserCache::rewind(int groupNum) {
  if (groupNum >= 1 && groupNum <= static_cast<int>(cache_.size())) cache_[static_cast<size_t>(groupNum - 1)]->rewind();
}

const char* BkUserCache::next(int groupNum) {
  if (groupNum < 1 || groupNum > static_cast<int>(cache_.size())) return nullptr;
  return cache_[static_cast<size_t>(groupNum - 1)]->next();
}

// ---------------------------------------------------------------------------
// BkSession

BkSession::BkSession(BkContext* ctx, BkMode mode, int useHash, uint32_t minLink)
    : bkc_(ctx), mode_(mode), minLink_(minLink) {
  if (mode == BkMode::Backup && useHash) hashtable_ = std::make_unique<HashTable<DevIno, MsgRef>>();
  if (mode == BkMode::Restore && useHash) refHash_ = std::make_unique<HashTable<String, std::vector<PendingLink>>>();
}

BkSession::~BkSession() {
  // Detached first, so the mailbox's destructor finds no current mailbox to
  // clear.
  std::unique_ptr<Mailbox> m(mailbox_);
  mailbox_ = nullptr;
  m.reset();
  // The folder just left may have joined the batch.
  if (batch_) (void)flushBatch();
}

int BkSession::flushBatch() {
  if (!batch_ || batch_->flush() == 0) return 1;
  if (errorcode == 0) errorcode = 74;
  return 0;
}

int BkSession::isuid(const char* s) {
  const char* slash = std::strrchr(s, '/');
  if (!slash) return 0;
  for (const char* p = slash + 1; *p; p++)
    if (*p < '0' || *p > '9') return 0;
  return 1;
}

BkObj* BkSession::createBkObj(char* name, uint16_t type) {
  if (name[0] != '\0' && name[0] != '/') {
    bvlog(0, LOG_STORE_ERR, "Object name must begin with a /\n");
    return nullptr;
  }
  size_t n = std::strlen(name);
  while (n > 1 && name[n - 1] == '/') name[--n] = '\0';
  if (n == 0) return nullptr;
  BkType t = type ? static_cast<BkType>(type) : type_of(name);
  std::unique_ptr<BkObj> obj;
  switch (t) {
    case BkType::store:
      obj = std::make_unique<Store>(this, "/");
      break;
    case BkType::partition:
      obj = std::make_unique<Partition>(this, name, 0);
      break;
    case BkType::group:
      obj = std::make_unique<Group>(this, name, 0, 0);
      break;
    case BkType::user:
      obj = std::make_unique<User>(this, name, 0);
      break;
    case BkType::mailbox: {
      auto mb = std::make_unique<Mailbox>(this, name, 0);
      if (!mb->isvalid()) return nullptr;
      if (mode_ == BkMode::Backup && isuid(mb->basename()) && !mb->exists()) {
        // /p/g/u/INBOX/17 names message 17 of INBOX unless a folder
        // INBOX/17 exists.
        mb.reset();
        if (!setMailbox(name)) return nullptr;
        obj = std::make_unique<Message>(this, name, 0);
        break;
      }
      Mailbox* m = mb.release();
      setMailbox(m, 0);
      return m;
    }
    case BkType::message:
      // Restoring into another folder keeps that folder current.
      if (mode_ != BkMode::Other && !(rename_ && mailbox_) && !setMailbox(name)) return nullptr;
      obj = std::make_unique<Message>(this, name, 0);
      break;
    case BkType::link:
      if (mode_ != BkMode::Other && !(rename_ && mailbox_) && !setMailbox(name)) return nullptr;
      obj = std::make_unique<Link>(this, name, nullptr, mode_ == BkMode::Other ? nullptr : mailbox_);
      break;
    default:
      bvlog(0, LOG_STORE_ERR, "Invalid object name\n");
      return nullptr;
  }
  if (!obj->isvalid()) return nullptr;
  return obj.release();
}

void BkSession::deleteBkObj(BkObj* obj) {
  if (obj && obj != mailbox_) delete obj;
}

int BkSession::setMailbox(const char* name) {
  std::string parent = name;
  size_t slash = parent.rfind('/');
  if (slash == std::string::npos || slash == 0) return 0;
  parent.resize(slash);
  if (mailbox_ && parent == mailbox_->getObjectId()) return 1;
  auto mb = std::make_unique<Mailbox>(this, parent.c_str(), 0);
  if (!mb->isvalid()) return 0;
  // A restore creates a missing folder on the way.
  if (!mb->exists() && (mode_ != BkMode::Restore || mb->restoreData(nullptr) != 1)) return 0;
  setMailbox(mb.release(), 0);
  return 1;
}

int BkSession::setMailbox(Mailbox* m, int rename) {
  if (m != mailbox_) {
    Mailbox* old = mailbox_;
    mailbox_ = m;
    delete old;  // its destructor finds it is no longer current
  }
  rename_ = rename;
  return 1;
}

void BkSession::clearMailbox(const BkObj* m) {
  if (m && m == mailbox_) mailbox_ = nullptr;
}

int BkSession::interrupted() const { return bkc_->interrupted(); }

int BkSession::partitionInit() {
  int r = bkc_->partitions().scanPartition();
  partIdx_ = 0;
  return r;
}

const char* BkSession::partitionNext() {
  if (partIdx_ < 0) return nullptr;
  const char* p = bkc_->partitions().name(partIdx_);
  if (p) partIdx_++;
  return p;
}

int BkSession::groupInit() {
  int r = bkc_->groups().scanGroup(nullptr);
  groupIdx_ = 0;
  return r;
}

const KeyValue* BkSession::groupNext() {
  if (groupIdx_ < 0) return nullptr;
  const KeyValue* g = bkc_->groups().group(groupIdx_);
  if (g) groupIdx_++;
  return g;
}

int BkSession::usercacheInit(int partNum) {
  if (usercache_ && usercache_->isPartNum(partNum)) return 1;
  if (!usercache_) usercache_ = std::make_unique<BkUserCache>();
  (void)bkc_->partitions().scanPartition();
  (void)bkc_->groups().scanGroup(nullptr);
  return usercache_->scanUser(partNum, bkc_->partitions(), bkc_->groups());
}

// ---------------------------------------------------------------------------
// BkContext

BkContext::BkContext(const char* progname, int debug, int openStore) : debug_(debug) {
  raise_fd_limit(1024);
  if (configmsg_init(0, 16, progname) != 0) {
    std::fprintf(stderr, "ERROR: Could not initialize config system\n");
    return;
  }
  config_ready_ = true;
  // The server user is taken on before the log file is opened: a log file
  // made as root would lock that user's own runs out.
  if (configmsg_setuid() != 0) {
    std::fprintf(stderr, "ERROR: Could not switch to the server user\n");
    return;
  }
  if (configmsg_initlog(nullptr, progname) != 0) {
    std::fprintf(stderr, "ERROR: Could not initialize log system\n");
    return;
  }
  (void)set_signal_handler(SIGINT_NO, "interupt signal delayed while performing critical operations\n");
  (void)set_signal_handler(SIGTERM_NO, "SIGTERM signal delayed while performing critical operations\n");
  signals_set_ = true;
  if (debug_) {
    bvlog(0, LOG_STORE_NOTICE, "started");
    const char* tmp = config_get_string(config_getdefaultcache(), "local.tmpdir", nullptr);
    if (tmp && chdir(tmp) != 0) bvlog(0, LOG_STORE_WARNING, "Cannot change directory to %s: %m", tmp);
  }
  if (openStore && mboxlist_init() != 0) {
    bvlog(0, LOG_STORE_ERR, "ERROR: mboxlist_init failed\n");
    return;
  }
  errorcode = 0;
}

BkContext::~BkContext() {
  if (debug_ && config_ready_) bvlog(0, LOG_STORE_NOTICE, "completed (%d)", exitCode());
  // Sessions go first: their objects consult the tables and the store.
  sessions_.removeAll();
  excludeFolder_.reset();
  if (signals_set_) {
    unset_signal_handler(SIGINT_NO);
    unset_signal_handler(SIGTERM_NO);
  }
  if (config_ready_) configmsg_free();
}

BkSession* BkContext::getSession(BkMode mode, int useHash, uint32_t minLink) {
  auto s = std::make_unique<BkSession>(this, mode, useHash, minLink);
  BkSession* p = s.get();
  sessions_.insert(std::move(s));
  return p;
}

int BkContext::setFileOwner(const char* path) { return configmsg_fixfilemode(path, 0) == 0 ? 1 : 0; }

int BkContext::exitCode() {
  if (errorcode) return errorcode;
  sessions_.rewind();
  while (BkSession* s = sessions_.next())
    if (s->errorcode) return s->errorcode;
  return 0;
}

int BkContext::interrupted() const {
  return signals_set_ && (check_signal_handler(SIGINT_NO) || check_signal_handler(SIGTERM_NO));
}

void BkContext::scanExcludeFolder() {
  if (excludeFolder_) return;
  excludeFolder_ = std::make_unique<Vector<String>>(10);
  const char* v = config_get_string(config_getdefaultcache(), "local.store.backup.exclude", nullptr);
  if (!v || !*v) return;
  // Pieces separated by '%'; an empty piece between two '%' is an empty
  // name, a trailing '%' adds nothing.
  std::string s = v;
  size_t start = 0;
  while (start < s.size()) {
    size_t pct = s.find('%', start);
    if (pct == std::string::npos) pct = s.size();
    excludeFolder_->add(std::make_unique<String>(s.substr(start, pct - start).c_str()));
    start = pct + 1;
  }
}

int BkContext::isExcluded(const String* folder) {
  scanExcludeFolder();
  for (int i = 0; i < excludeFolder_->count(); i++)
    if (*(*excludeFolder_)[i] == *folder) return 1;
  return 0;
}

// ---------------------------------------------------------------------------
// UserList

int UserList::append(const std::string& name, const char* encoding) {
  std::string utf8;
  if (!encoding) {
    utf8 = name;
  } else if (!bk_to_utf8(encoding, name, &utf8)) {
    bvlog(0, LOG_STORE_ERR, "Cannot convert %s from %s", name.c_str(), encoding);
    return 0;
  }
  names_.add(std::make_unique<String>(utf8.c_str()));
  return 1;
}

int UserList::adduser(const char* name, const char* encoding) {
  if (!name || !*name) return 0;
  std::string n;
  if (name[0] == '/')
    n = name;
  else if (std::strchr(name, '/'))
    n = std::string("/primary/") + name;
  else
    n = std::string("/primary/user/") + name;
  if (n.size() >= NAME_MAX_BYTES) {
    bvlog(0, LOG_STORE_ERR, "Username is too long: %.1023s... skip\n", n.c_str());
    return 0;
  }
  if (n.size() > 1 && n.back() == '/') n.pop_back();
  return append(n, encoding);
}

int UserList::load(const char* file, const char* encoding, int canonical) {
  FILE* f = std::fopen(file, "re");
  if (!f) {
    bvlog(0, LOG_STORE_ERR, "Can't open file %s", file);
    return 0;
  }
  std::string line;
  bool too_long = false;
  auto take = [&]() {
    if (too_long) {
      bvlog(0, LOG_STORE_ERR, "Username is too long: %.1023s... skip\n", line.c_str());
    } else if (!line.empty()) {
      if (canonical)
        (void)adduser(line.c_str(), encoding);
      else
        (void)append(line, encoding);
    }
    line.clear();
    too_long = false;
  };
  int c;
  while ((c = std::getc(f)) != EOF) {
    if (c == '\n') {
      take();
    } else if (line.size() >= NAME_MAX_BYTES - 1) {
      too_long = true;  // the rest of the line is dropped with it
    } else {
      line += static_cast<char>(c);
    }
  }
  bool failed = std::ferror(f) != 0;
  std::fclose(f);
  if (failed) {
    bvlog(0, LOG_STORE_ERR, "Can't open file %s", file);
    return 0;
  }
  take();  // a last line without a newline
  return 1;
}

// ---------------------------------------------------------------------------
// UserHash

int UserHash::load(const char* file) {
  FILE* f = std::fopen(file, "re");
  if (!f) {
    bvlog(0, LOG_STORE_ERR, "Can't open file %s", file);
    return 0;
  }
  char* buf = nullptr;
  size_t cap = 0;
  ssize_t n;
  while ((n = getline(&buf, &cap, f)) >= 0) {
    std::string from, to;
    std::string* side = &from;
    for (ssize_t i = 0; i < n; i++) {
      char c = buf[i];
      if (c == '\n' || c == '\r') break;
      if (c == '\\' && i + 1 < n) {
        *side += buf[++i];
      } else if (c == '=' && side == &from) {
        side = &to;
      } else {
        *side += c;
      }
    }
    if (!from.empty() && !to.empty()) map_.insert(String(from.c_str()), String(to.c_str()));
  }
  std::free(buf);
  std::fclose(f);
  return 1;
}

const char* UserHash::search(const char* user) const {
  const String* v = map_.search(String(user));
  return v ? v->getcstring() : nullptr;
}
