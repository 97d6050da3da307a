#include "connutil/connutil.h"

#include <db.h>
#include <dirent.h>
#include <fcntl.h>
#include <prerror.h>
#include <prshm.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "common/bvlog.h"
#include "common/config.h"
#include "common/imap_err.h"
#include "common/signals.h"
#include "common/unique_fd.h"
#include "store/mboxlist_lright.h"
#include "store/quota_record.h"
#include "store/storeutil.h"

namespace {

constexpr const char* kUsage[] = {
    "Usage: orvconnutil -c | -a [-s <service>] [-u <uid>] [-f <filename>]\n\n",
    "     -c | -a    \tOne of -c or -a must be used.\n",
    "     -c            Gives information on users connected to the service.\n",
    "     -a            Gives information on the last access time of a service.\n",
    "     -s            Narrows the service to either imap or http.\n",
    "                    If no -s is specified, both imap and http data are given.\n",
    "                    In the case of -a, -s has no effect, data for imap, pop,\n",
    "                    and http will be displayed.\n",
    "     -u            Narrows the information to one user uid.\n",
    "     -f            Narrows the information to users specified in file.\n",
    "                    The format is one user per line in this file.\n",
    "     --help        Gives usage information.\n",
    "     --version     Gives version information.\n",
};

constexpr size_t kMaxUid = 128;                          // -u and lines of the user file
constexpr size_t kMaxService = 4;                        // -s
constexpr size_t kMaxPath = 1024;                        // -f and segment names
constexpr int kDbLog = bvlog_priority(7, LOG_SEV_CRIT);  // category 56, critical
constexpr int kCrit = LOG_SEV_CRIT;

const std::string kEq126(126, '=');
const std::string kEq99(99, '=');

// The services whose sessions are published as login lists.  "pop" is
// ours: the POP server publishes its sessions the same way.
bool known_service(const std::string& s) { return s == "imap" || s == "http" || s == "pop"; }

bool interrupted() {
  return check_signal_handler(SIGINT) || check_signal_handler(SIGTERM) || check_signal_handler(SIGHUP) ||
         check_signal_handler(SIGTSTP);
}

// Copies a text field of at most n bytes: the writer may leave no NUL.
std::string field(const unsigned char* p, size_t n) {
  const void* nul = memchr(p, 0, n);
  size_t len = nul ? static_cast<size_t>(static_cast<const unsigned char*>(nul) - p) : n;
  return std::string(reinterpret_cast<const char*>(p), len);
}

uint32_t load32(const unsigned char* p) {
  uint32_t v;
  memcpy(&v, p, 4);
  return v;
}

// Per-run state: the headers are printed once when users are named.
struct report_state {
  bool imapbannerprinted = false;
  bool httpbannerprinted = false;
};

struct file_closer {
  void operator()(FILE* f) const {
    if (f) fclose(f);
  }
};
using unique_file = std::unique_ptr<FILE, file_closer>;
struct free_deleter {
  void operator()(void* p) const { free(p); }
};
struct dir_closer {
  void operator()(DIR* d) const { closedir(d); }
};

const char* nspr_error() {
  PRErrorCode e = PR_GetError();
  const char* text = PR_ErrorToString(e, PR_LANGUAGE_I_DEFAULT);
  return text && *text ? text : "unknown error";
}

// The user whose processes are the servers': local.serveruid (a name or a
// number), else local.serveruser, else the user we run as.
int server_uid(uid_t* out) {
  config_cache* cfg = config_getdefaultcache();
  const char* name = config_get_string(cfg, "local.serveruid", "");
  if (!*name) name = config_get_string(cfg, "local.serveruser", "");
  if (!*name) {
    *out = geteuid();
    return 0;
  }
  if (const passwd* pw = getpwnam(name)) {
    *out = pw->pw_uid;
    return 0;
  }
  char* end = nullptr;
  errno = 0;
  unsigned long v = strtoul(name, &end, 10);
  if (*end == '\0' && errno == 0 && isdigit(static_cast<unsigned char>(name[0]))) {
    *out = static_cast<uid_t>(v);
    return 0;
  }
  bvlog(0, kCrit, "orvconnutil: the server user %s is unknown", name);
  return -1;
}

// A segment opened and attached for reading; both undone on destruction.
class login_segment {
 public:
  ~login_segment() {
    if (addr_) PR_DetachSharedMemory(shm_, addr_);
    if (shm_) PR_CloseSharedMemory(shm_);
  }
  // false after logging the failure.
  bool open(const std::string& name, size_t size, const std::string& service) {
    shm_ = PR_OpenSharedMemory(name.c_str(), size, 0, 0600);
    if (!shm_) {
      bvlog(0, kCrit,
            "PR_OpenSharedMemory could not find userlist shared memory %s for %s. This might be because after "
            "enabling the feature, server hasn't been restarted.Error is %s .",
            name.c_str(), service.c_str(), nspr_error());
      return false;
    }
    // Read-only: the report never writes into a server's memory.
    addr_ = PR_AttachSharedMemory(shm_, PR_SHM_READONLY);
    if (!addr_) {
      bvlog(0, kCrit, "PR_AttachSharedMemory failed with error %s", nspr_error());
      return false;
    }
    return true;
  }
  unsigned char* data() const { return static_cast<unsigned char*>(addr_); }

 private:
  PRSharedMemory* shm_ = nullptr;
  void* addr_ = nullptr;
};

// Prints the sessions of one process's login list (those of user when one
// is named), counting them in *count.  0, or CONNUTIL_INTERRUPTED.
int list_segment(unsigned char* seg, size_t maxsessions, const std::string& user, bool* found, int* count) {
  int32_t raw = std::atomic_ref<int32_t>(*reinterpret_cast<int32_t*>(seg)).load(std::memory_order_acquire);
  size_t n = connutil_clamp_hiwater(raw, maxsessions);
  for (size_t i = 0; i < n; i++) {
    if (interrupted()) return CONNUTIL_INTERRUPTED;
    login_slot s;
    if (!connutil_read_slot(seg + LOGIN_HEADER_SIZE + LOGIN_RECORD_SIZE * i, &s)) continue;
    if (!user.empty()) {
      if (s.uid != user) continue;
      *found = true;
    }
    std::string line = connutil_format_login(s);
    fputs(line.c_str(), stdout);
    fputs("\n", stdout);
    (*count)++;
  }
  return 0;
}

int printconnectlist(const std::string& service, const std::string& user_in, report_state* st) {
  config_cache* cfg = config_getdefaultcache();
  std::string user = user_in;
  if (!user.empty()) {
    std::vector<char> buf(user.begin(), user.end());
    buf.push_back('\0');
    user = store_canonifyid(buf.data());
  }
  uid_t uid;
  if (server_uid(&uid) != 0) return CONNUTIL_SYSERR;
  std::vector<pid_t> pids;
  if (connutil_find_processes("/proc", service, uid, getpid(), &pids) != 0) return CONNUTIL_SYSERR;
  if (pids.empty()) {
    printf("No %s process running, can't list logged users.\n", service.c_str());
    return CONNUTIL_NOPROCESS;
  }
  const char* tmpdir = config_get_string(cfg, "local.tmpdir", "/tmp");
  std::string maxkey = "service." + service + ".maxsessions";
  // The POP server's default is its own; both sides clamp alike so they
  // agree on the segment's size.
  int maxsessions = std::clamp(config_get_int(cfg, maxkey.c_str(), service == "pop" ? 1000 : 6000), 1, 1000000);
  size_t size = static_cast<size_t>(maxsessions) * LOGIN_RECORD_SIZE + LOGIN_HEADER_SIZE;
  std::string label = service;
  for (char& c : label) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  label.resize(std::max<size_t>(label.size(), 4), ' ');

  bool found = false;
  int count = 0;
  for (pid_t pid : pids) {
    std::string name = std::string(tmpdir) + "/" + service + "." + std::to_string(static_cast<unsigned long>(pid));
    if (name.size() > kMaxPath) {
      bvlog(0, kCrit, "Path name of %s exceeds limits of the tool.", name.c_str());
      return CONNUTIL_PATHLONG;
    }
    login_segment seg;
    if (!seg.open(name, size, service)) continue;
    if (user.empty() || !st->imapbannerprinted) {
      printf(
          "\n%s      UID           TIME                 AUTH                 TO                                 "
          "FROM\n%s\n",
          label.c_str(), kEq126.c_str());
      st->imapbannerprinted = true;
    }
    int r = list_segment(seg.data(), static_cast<size_t>(maxsessions), user, &found, &count);
    if (r == CONNUTIL_INTERRUPTED) return r;
    if (!user.empty() && found) {
      printf("user %s is logged in to %s.\n", user.c_str(), service.c_str());
      return CONNUTIL_OK;
    }
  }
  if (!user.empty()) {
    printf("user %s is not logged in to %s.\n", user.c_str(), service.c_str());
    return CONNUTIL_NOTFOUND;
  }
  printf("\n%s\n", kEq126.c_str());
  printf("%d user/s were logged in to %s.\n\n\n", count, service.c_str());
  return CONNUTIL_OK;
}

struct env_closer {
  void operator()(DB_ENV* e) const {
    if (e) e->close(e, 0);
  }
};
struct db_closer {
  void operator()(DB* d) const {
    if (d) d->close(d, 0);
  }
};
struct cursor_closer {
  void operator()(DBC* c) const {
    if (c) c->close(c);
  }
};

// The web-mail sessions.  The environment and the database belong to the
// web-mail server: they are joined, never created, so a report run as root
// leaves no files of the wrong owner behind.
int loggedin_sessiondb(const std::string& user_in, report_state* st) {
  config_cache* cfg = config_getdefaultcache();
  std::string user = user_in;
  if (!user.empty()) {
    std::vector<char> buf(user.begin(), user.end());
    buf.push_back('\0');
    user = store_canonifyid(buf.data());
  }
  const char* dbtmp = config_get_string(cfg, "store.dbtmpdir", "");
  std::string dir = *dbtmp ? std::string(dbtmp) + "/session"
                           : std::string(config_get_string(cfg, "local.instancedir", "")) + "/data/http/session";
  int proxy_port = config_get_int(cfg, "local.service.http.proxy.port", 80);

  DB_ENV* raw_env = nullptr;
  if (int r = db_env_create(&raw_env, 0)) {
    bvlog(0, kDbLog, "Unable to create sessions database environment: %s", db_strerror(r));
    return CONNUTIL_SYSERR;
  }
  std::unique_ptr<DB_ENV, env_closer> env(raw_env);
  env->set_errpfx(env.get(), "session");
  env->set_flags(env.get(), DB_TXN_NOSYNC, 1);
  if (int r =
          env->open(env.get(), dir.c_str(), DB_THREAD | DB_INIT_LOCK | DB_INIT_LOG | DB_INIT_MPOOL | DB_INIT_TXN, 0)) {
    bvlog(0, kDbLog, "Unable to %s session database in orvconnutil: %s", "init", db_strerror(r));
    return CONNUTIL_SYSERR;
  }
  DB* raw_db = nullptr;
  if (int r = db_create(&raw_db, env.get(), 0)) {
    bvlog(0, kDbLog, "Unable to open session database in orvconnutil: %s", db_strerror(r));
    return CONNUTIL_SYSERR;
  }
  std::unique_ptr<DB, db_closer> db(raw_db);
  if (int r = db->open(db.get(), nullptr, "session.db", nullptr, DB_BTREE, DB_THREAD | DB_RDONLY, 0600)) {
    bvlog(0, kDbLog, "Unable to open session database in orvconnutil: %s", db_strerror(r));
    return CONNUTIL_SYSERR;
  }
  DBC* raw_cursor = nullptr;
  if (int r = db->cursor(db.get(), nullptr, &raw_cursor, 0)) {
    bvlog(0, kDbLog, "Unable to get cursor to session database in orvconnutil: %s", db_strerror(r));
    return CONNUTIL_SYSERR;
  }
  std::unique_ptr<DBC, cursor_closer> cursor(raw_cursor);

  if (user.empty() || !st->httpbannerprinted) {
    printf("HTTP      UID           TIME                         TO                                       FROM\n%s\n",
           kEq126.c_str());
    st->httpbannerprinted = true;
  }
  bool found = false;
  int count = 0;
  int status = CONNUTIL_OK;
  for (bool first = true;; first = false) {
    if (!first && interrupted()) return CONNUTIL_INTERRUPTED;
    DBT key{}, data{};
    key.flags = DB_DBT_MALLOC;
    data.flags = DB_DBT_MALLOC;
    int r = cursor->get(cursor.get(), &key, &data, first ? DB_FIRST : DB_NEXT);
    std::unique_ptr<void, free_deleter> kfree(key.data), dfree(data.data);
    if (r == DB_NOTFOUND) {
      if (first) bvlog(0, kDbLog, "Problem in c_get of cursor to session database in orvconnutil: %s", db_strerror(r));
      break;
    }
    if (r != 0) {
      if (first)
        bvlog(0, kDbLog, "Unable to read from cursor to session database in orvconnutil: %s", db_strerror(r));
      else
        bvlog(0, kDbLog, "A cursor related error has occurred: %s", db_strerror(r));
      status = CONNUTIL_SYSERR;
      break;
    }
    session_rec rec;
    if (!connutil_decode_session(data.data, data.size, &rec)) {
      bvlog(0, bvlog_priority(7, LOG_SEV_WARNING), "orvconnutil: skipping a malformed session record of %u bytes",
            static_cast<unsigned>(data.size));
      continue;
    }
    count++;
    if (!user.empty()) {
      if (rec.uid != user) continue;
      found = true;
    }
    fputs(connutil_format_session(rec, first, proxy_port).c_str(), stdout);
  }
  DBC* c = cursor.release();
  if (int r = c->close(c)) {
    bvlog(0, kDbLog, "%s DBCURSOR->close: %s\n", "session", db_strerror(r));
    status = CONNUTIL_SYSERR;
  }
  DB* d = db.release();
  if (int r = d->close(d, 0)) {
    bvlog(0, kDbLog, "%s DB: DB->close: %s\n", "session", db_strerror(r));
    status = CONNUTIL_SYSERR;
  }
  if (!user.empty()) {
    if (found) {
      printf("user %s is logged in to http.\n", user.c_str());
      return CONNUTIL_OK;
    }
    printf("user %s is not logged in to http.\n", user.c_str());
    return CONNUTIL_NOTFOUND;
  }
  if (status != CONNUTIL_OK) return status;
  printf("\n%s\n", kEq126.c_str());
  printf("%d user/s were logged in to http.\n\n\n", count);
  return CONNUTIL_OK;
}

int printconnect(const std::string& service, const std::string& user, report_state* st) {
  if (service == "http") return loggedin_sessiondb(user, st);
  return printconnectlist(service, user, st);
}

// One service for the -u user or every user of the file.  A missing user
// makes the result 79 even when later ones were found.
int getconnectlist(const std::string& service, const std::string& user, FILE* file, report_state* st) {
  if (!file) return printconnect(service, user, st);
  int status = CONNUTIL_OK;
  std::string name;
  while (connutil_next_user(file, &name, stderr)) {
    if (interrupted()) return CONNUTIL_INTERRUPTED;
    int r = printconnect(service, name, st);
    if (r == CONNUTIL_INTERRUPTED) return r;
    if (r != CONNUTIL_OK && (status == CONNUTIL_OK || status == CONNUTIL_NOTFOUND)) status = r;
  }
  printf("\n End of list of users.\n \n\n");
  return status;
}

int enabled(const std::string& service) {
  std::string key = "local." + service + ".enableuserlist";
  return config_get_switch(config_getdefaultcache(), key.c_str(), 0);
}

int connect_report(const connutil_options& opts, FILE* file) {
  report_state st;
  if (!opts.service.empty()) {
    if (!enabled(opts.service)) {
      printf("Feature is not enabled for %s \n", opts.service.c_str());
      return CONNUTIL_USAGE;
    }
    return getconnectlist(opts.service, opts.uid, file, &st);
  }
  // Both listings run; the status is the web-mail one, the last step.
  if (enabled("imap")) {
    if (getconnectlist("imap", opts.uid, file, &st) == CONNUTIL_INTERRUPTED) return CONNUTIL_INTERRUPTED;
  } else {
    printf("Feature is not enabled for imap.\n");
  }
  if (file) rewind(file);
  if (enabled("http")) return getconnectlist("http", opts.uid, file, &st);
  printf("Feature is not enabled for http.\n");
  return CONNUTIL_USAGE;
}

void print_access_line(const char* name, uint32_t pop, uint32_t imap, uint32_t http) {
  fputs(connutil_format_access(name, pop, imap, http).c_str(), stdout);
}

// Shared folders have quota roots too; only users' roots ("user/<id>")
// belong in this report.
void outputdata(const char* root, uint32_t lastuse, uint32_t lastimapaccess, uint32_t lasthttpaccess, void* rock) {
  bool* stop = static_cast<bool*>(rock);
  if (*stop) return;
  if (interrupted()) {
    *stop = true;
    return;
  }
  std::string user;
  if (!connutil_user_of_root(root, &user)) return;
  print_access_line(user.c_str(), lastuse, lastimapaccess, lasthttpaccess);
}

int printlastaccess(const std::string& user) {
  char name[kMaxUid + 2];
  snprintf(name, sizeof name, "%s", user.c_str());
  quotadata qd;
  int r = mboxlist_getlastaccess(name, &qd);
  if (r == IMAP_QUOTAROOT_NONEXISTENT) {
    printf("\"%s\" is either an invalid uid or has never logged in.\n", user.c_str());
    return CONNUTIL_NOTFOUND;
  }
  if (r != 0) {
    bvlog(0, kCrit, "orvconnutil: cannot read the access record of %s: %s", user.c_str(), error_message(r));
    return CONNUTIL_SYSERR;
  }
  print_access_line(name, qd.lastuse, qd.lastimapaccess, qd.lasthttpaccess);
  return CONNUTIL_OK;
}

int access_report(const connutil_options& opts, FILE* file) {
  if (opts.uid.empty() && opts.file.empty()) {
    printf(
        "UID                   IMAP last access                 HTTP  last access              POP last access\n%s\n",
        kEq99.c_str());
    bool stop = false;
    int r = mboxlist_getallaccess(outputdata, &stop);
    if (stop) return CONNUTIL_INTERRUPTED;
    if (r != 0 && r != DB_NOTFOUND) {
      bvlog(0, kCrit, "orvconnutil: cannot read the access records: %s", db_strerror(r));
      return CONNUTIL_SYSERR;
    }
    return CONNUTIL_OK;
  }
  printf("UID                   IMAP last access                HTTP last access              POP last access\n%s\n",
         kEq99.c_str());
  // Every user is looked up; the worst outcome is the result, so a missing
  // user is never hidden by one found after it.
  int status = CONNUTIL_OK;
  auto one = [&status](const std::string& name) {
    int r = printlastaccess(name);
    if (r == CONNUTIL_SYSERR || status == CONNUTIL_OK) status = r;
  };
  if (file) {
    std::string name;
    while (connutil_next_user(file, &name, stderr)) {
      if (interrupted()) return CONNUTIL_INTERRUPTED;
      one(name);
    }
  }
  if (!opts.uid.empty()) {
    if (interrupted()) return CONNUTIL_INTERRUPTED;
    one(opts.uid);
  }
  return status;
}

}  // namespace

void connutil_usage(FILE* err) {
  for (const char* line : kUsage) fputs(line, err);
}

int connutil_parse(int argc, char** argv, connutil_options* opts, FILE* err) {
  bool bad = false;
  opterr = 0;
  optind = 1;
  int opt;
  while ((opt = getopt(argc, argv, "acu:s:f:-:")) != -1) {
    switch (opt) {
      case 'a':
        opts->access = true;
        break;
      case 'c':
        opts->connected = true;
        break;
      case 'u':
        opts->uid = optarg;
        break;
      case 's':
        opts->service = optarg;
        break;
      case 'f':
        opts->file = optarg;
        break;
      case '-':
        if (strcmp(optarg, "help") == 0) {
          opts->help = true;
          return 0;
        }
        if (strcmp(optarg, "version") == 0) {
          opts->version = true;
          return 0;
        }
        bad = true;
        break;
      default:
        bad = true;
        break;
    }
  }
  if (optind < argc) bad = true;
  if (opts->service.size() > kMaxService) {
    fputs("USAGE ERROR: service specified is too long.\n", err);
    bad = true;
  } else if (!opts->service.empty() && !known_service(opts->service)) {
    bad = true;
  }
  if (opts->file.size() > kMaxPath) {
    fputs("USAGE ERROR: input file name is too long.\n", err);
    bad = true;
  }
  if (!opts->connected && !opts->access) {
    fputs("USAGE ERROR: Must pass at least one of -c or -a. \n", err);
    bad = true;
  }
  if (opts->uid.size() > kMaxUid) {
    fputs("USAGE ERROR: uid length is too long.\n", err);
    bad = true;
  }
  if (bad) {
    connutil_usage(err);
    return CONNUTIL_USAGE;
  }
  return 0;
}

bool connutil_user_of_root(const char* root, std::string* user) {
  if (strncmp(root, "user/", 5) != 0 || root[5] == '\0') return false;
  *user = root + 5;
  return true;
}

std::string connutil_format_access(const char* name, uint32_t pop, uint32_t imap, uint32_t http) {
  return std::string(name) + "               " + connutil_time2str(imap) + "              " + connutil_time2str(http) +
         "               " + connutil_time2str(pop) + "\n";
}

std::string connutil_time2str(time_t t) {
  if (t == 0) return "----NOT-RECORDED----";
  struct tm tm;
  if (!localtime_r(&t, &tm)) return "----NOT-RECORDED----";
  char buf[32];
  if (strftime(buf, sizeof buf, "%d/%b/%Y:%H:%M:%S", &tm) == 0) return "----NOT-RECORDED----";
  return buf;
}

void connutil_decode_slot(const unsigned char* rec, login_slot* out) {
  out->uid = field(rec + LOGIN_UID_OFFSET, LOGIN_UID_SIZE);
  out->auth_adm_uid = field(rec + LOGIN_ADMUID_OFFSET, LOGIN_ADMUID_SIZE);
  out->login_time = load32(rec + LOGIN_TIME_OFFSET);
  out->from_ip = field(rec + LOGIN_FROM_OFFSET, LOGIN_FROM_SIZE);
  out->to_ip = field(rec + LOGIN_TO_OFFSET, LOGIN_TO_SIZE);
  out->src_tcp_port = static_cast<int32_t>(load32(rec + LOGIN_FROMPORT_OFFSET));
  out->dest_tcp_port = static_cast<int32_t>(load32(rec + LOGIN_TOPORT_OFFSET));
  out->authtype = field(rec + LOGIN_AUTHTYPE_OFFSET, LOGIN_AUTHTYPE_SIZE);
}

size_t connutil_clamp_hiwater(int32_t raw, size_t maxsessions) {
  if (raw == -1) return maxsessions;
  if (raw < 0) return 0;
  return std::min(static_cast<size_t>(raw), maxsessions);
}

bool connutil_read_slot(unsigned char* rec, login_slot* out, void (*between)(void*), void* arg) {
  // The counter and the flag are read with acquire loads and the copy is
  // fenced before the second reading, so neither the compiler nor the CPU
  // moves the copy outside the two readings.
  std::atomic_ref<uint32_t> counter(*reinterpret_cast<uint32_t*>(rec + LOGIN_COUNTER_OFFSET));
  std::atomic_ref<unsigned char> valid(rec[LOGIN_VALID_OFFSET]);
  uint32_t before = counter.load(std::memory_order_acquire);
  if (valid.load(std::memory_order_acquire) != 1) return false;
  if (between) between(arg);
  unsigned char copy[LOGIN_RECORD_SIZE];
  memcpy(copy, rec, sizeof copy);
  std::atomic_thread_fence(std::memory_order_acquire);
  if (valid.load(std::memory_order_relaxed) != 1) return false;
  if (counter.load(std::memory_order_relaxed) != before) return false;
  connutil_decode_slot(copy, out);
  return true;
}

std::string connutil_format_login(const login_slot& s) {
  std::string when = connutil_time2str(s.login_time);
  char buf[1024];
  if (s.authtype != "proxyauth" && s.authtype != "authenticate") {
    snprintf(buf, sizeof buf, "%15.15s %20.20s %14.10s          %s:%d                %s:%d \n", s.uid.c_str(),
             when.c_str(), s.authtype.c_str(), s.to_ip.c_str(), s.dest_tcp_port, s.from_ip.c_str(), s.src_tcp_port);
  } else {
    snprintf(buf, sizeof buf, "%15.15s %20.20s %14.12s(%s)    %s:%d                  %s:%d   \n", s.uid.c_str(),
             when.c_str(), s.authtype.c_str(), s.auth_adm_uid.c_str(), s.to_ip.c_str(), s.dest_tcp_port,
             s.from_ip.c_str(), s.src_tcp_port);
  }
  return buf;
}

bool connutil_decode_session(const void* data, size_t len, session_rec* out) {
  const unsigned char* p = static_cast<const unsigned char*>(data);
  if (!p || len < SESSION_RECORD_SIZE + 1) return false;
  const void* nul = memchr(p + SESSION_RECORD_SIZE, 0, len - SESSION_RECORD_SIZE);
  if (!nul) return false;
  out->uid = reinterpret_cast<const char*>(p + SESSION_RECORD_SIZE);
  out->login_time = load32(p);
  memcpy(out->addr, p + 12, 4);
  out->port = static_cast<int32_t>(load32(p + 16));
  out->conn_addr = field(p + 20, 20);
  return true;
}

std::string connutil_format_session(const session_rec& r, bool first, int proxy_port) {
  std::string when = connutil_time2str(r.login_time);
  char buf[512];
  if (first) {
    snprintf(buf, sizeof buf, "       %s   %s            %.20s:%d                      %u.%u.%u.%u:%d          \n",
             r.uid.c_str(), when.c_str(), r.conn_addr.c_str(), proxy_port, r.addr[0], r.addr[1], r.addr[2], r.addr[3],
             r.port);
  } else {
    snprintf(buf, sizeof buf, "       %s   %s            [%.20s]:%d                   [%u.%u.%u.%u]:%d         \n",
             r.uid.c_str(), when.c_str(), r.conn_addr.c_str(), proxy_port, r.addr[0], r.addr[1], r.addr[2], r.addr[3],
             r.port);
  }
  return buf;
}

int connutil_find_processes(const char* proc_root, const std::string& service, uid_t uid, pid_t self,
                            std::vector<pid_t>* pids) {
  pids->clear();
  DIR* d = opendir(proc_root);
  if (!d) {
    bvlog(0, kCrit, "orvconnutil: cannot read %s: %m", proc_root);
    return -1;
  }
  std::unique_ptr<DIR, dir_closer> owner(d);
  std::string needle = service + "d";
  std::vector<pid_t> found;
  while (const dirent* e = readdir(d)) {
    const char* n = e->d_name;
    if (!*n || strspn(n, "0123456789") != strlen(n) || strlen(n) > 9) continue;
    pid_t pid = static_cast<pid_t>(atol(n));
    if (pid == self || pid <= 0) continue;
    std::string dir = std::string(proc_root) + "/" + n;
    struct stat sb;
    if (stat(dir.c_str(), &sb) != 0 || sb.st_uid != uid) continue;
    UniqueFd fd(::open((dir + "/cmdline").c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) continue;
    char buf[4096];
    ssize_t got = read(fd.get(), buf, sizeof buf);
    if (got <= 0) continue;
    std::string cmd(buf, static_cast<size_t>(got));
    std::replace(cmd.begin(), cmd.end(), '\0', ' ');
    if (cmd.find(needle) == std::string::npos) continue;
    found.push_back(pid);
  }
  std::sort(found.begin(), found.end());
  if (found.size() > CONNUTIL_MAX_PROCS) found.resize(CONNUTIL_MAX_PROCS);
  *pids = std::move(found);
  return 0;
}

bool connutil_next_user(FILE* f, std::string* name, FILE* warn) {
  for (;;) {
    std::string line;
    int c;
    bool any = false;
    while ((c = getc(f)) != EOF) {
      any = true;
      if (c == '\n') break;
      // Only a bounded part is kept: an overlong line is skipped whole.
      if (line.size() <= kMaxUid) line.push_back(static_cast<char>(c));
    }
    if (!any) return false;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) continue;
    if (line.size() > kMaxUid) {
      if (warn) fprintf(warn, "orvconnutil: skipping a line of more than %zu characters in the user file\n", kMaxUid);
      continue;
    }
    *name = line;
    return true;
  }
}

int connutil_run(const connutil_options& opts) {
  unique_file file;
  if (!opts.file.empty()) file.reset(fopen(opts.file.c_str(), "re"));
  int status = CONNUTIL_OK;
  if (opts.access) {
    status = access_report(opts, file.get());
    if (status == CONNUTIL_INTERRUPTED) return status;
  }
  if (opts.connected) {
    if (file) rewind(file.get());
    int r = connect_report(opts, file.get());
    if (r == CONNUTIL_INTERRUPTED || status == CONNUTIL_OK) status = r;
  }
  return status;
}
