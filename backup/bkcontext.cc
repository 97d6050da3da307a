// The backup context, sessions and the name list.
#include "backup/bkcontext.h"

#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "common/bvlog.h"
#include "common/config.h"
#include "common/signals.h"

namespace {

constexpr int SIGINT_NO = 2;
constexpr int SIGTERM_NO = 15;
// Longest object name, in bytes.
constexpr size_t NAME_MAX_BYTES = 1024;

// The object of a well-formed name while the context knows no store
// objects: valid, never existing, without data or children.
class AbsentObj final : public BkObj {
 public:
  AbsentObj(BkSession* s, const char* name, BkType t) : BkObj(s, name, t) {}
  const Vdata* backupData() override { return nullptr; }
  int restoreData(Vdata*) override { return 0; }
  std::unique_ptr<BkObj> getFirstChild() override { return nullptr; }
  std::unique_ptr<BkObj> getNextChild() override { return nullptr; }
};

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

}  // namespace

// ---------------------------------------------------------------------------
// BkSession

BkSession::BkSession(BkContext* ctx, BkMode mode, int useHash, uint32_t minLink)
    : bkc_(ctx), mode_(mode), useHash_(useHash), minLink_(minLink) {}

BkSession::~BkSession() {
  // Released first, so the mailbox's destructor finds no current mailbox to
  // clear.
  std::unique_ptr<BkObj> m(mailbox_.release());
}

BkObj* BkSession::createBkObj(const char* name, uint16_t type) {
  if (name[0] != '\0' && name[0] != '/') {
    bvlog(0, LOG_STORE_ERR, "Object name must begin with a /\n");
    return nullptr;
  }
  std::string n = name;
  while (n.size() > 1 && n.back() == '/') n.pop_back();
  if (n.empty()) return nullptr;
  BkType t = type ? static_cast<BkType>(type) : type_of(n.c_str());
  if (static_cast<uint16_t>(t) >= BK_NTYPES) {
    bvlog(0, LOG_STORE_ERR, "Invalid object name\n");
    return nullptr;
  }
  auto obj = std::make_unique<AbsentObj>(this, n.c_str(), t);
  if (!obj->isvalid()) return nullptr;
  return obj.release();
}

void BkSession::deleteBkObj(BkObj* obj) {
  if (obj && obj != mailbox_.get()) delete obj;
}

int BkSession::setMailbox(BkObj* m, int rename) {
  if (m != mailbox_.get()) mailbox_.reset(m);
  rename_ = rename;
  return 1;
}

void BkSession::clearMailbox(BkObj* m) {
  if (m == mailbox_.get()) (void)mailbox_.release();
}

int BkSession::interrupted() const { return bkc_->interrupted(); }

// ---------------------------------------------------------------------------
// BkContext

BkContext::BkContext(const char* progname, int debug) : debug_(debug) {
  raise_fd_limit(1024);
  if (configmsg_init(0, 16, progname) != 0) {
    std::fprintf(stderr, "ERROR: Could not initialize config system\n");
    return;
  }
  config_ready_ = true;
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
  errorcode = 0;
}

BkContext::~BkContext() {
  if (debug_ && config_ready_) bvlog(0, LOG_STORE_NOTICE, "completed (%d)", exitCode());
  sessions_.removeAll();
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
