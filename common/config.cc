#include "common/config.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <unordered_map>
#include <vector>

#include "common/bvlog.h"
#include "common/fileio.h"
#include "common/imap_err.h"
#include "common/unique_fd.h"
#include "common/xmalloc.h"

struct config_cache {
  std::unordered_map<std::string, std::string> values;
  struct Partition {
    std::string name, path, msgpath;
  };
  std::vector<Partition> partitions;
};

namespace {

constexpr const char kPartPrefix[] = "store.partition.";

std::mutex g_mu;  // serialises init, refresh and free
// Readers load the current configuration without a lock.  Configurations
// replaced by a refresh stay alive until configmsg_free so strings borrowed
// from them stay valid.
std::atomic<config_cache*> g_current{nullptr};
std::vector<std::unique_ptr<config_cache>> g_all;
std::string g_path;
std::string g_procname = "unknown";

// A language tag as keys and the directory carry it: letters, digits and
// '-', at most 35 bytes (the longest a registered tag needs).
bool valid_lang(std::string_view tag) {
  if (tag.empty() || tag.size() > 35) return false;
  for (char c : tag) {
    if (!(isalnum(static_cast<unsigned char>(c)) || c == '-')) return false;
  }
  return true;
}

constexpr std::string_view kLangOption = ";lang-";

// Keys are letters, digits, '.', '_' and '-', optionally followed by a
// language option ";lang-TAG" (localized texts); the tag is stored in lower
// case so lookups need not care how the file wrote it.
bool valid_key(std::string& key) {
  std::string_view name = key;
  if (size_t semi = key.find(';'); semi != std::string::npos) {
    for (size_t i = semi; i < key.size(); ++i) key[i] = static_cast<char>(tolower(static_cast<unsigned char>(key[i])));
    if (key.compare(semi, kLangOption.size(), kLangOption) != 0 ||
        !valid_lang(std::string_view(key).substr(semi + kLangOption.size()))) {
      return false;
    }
    name = std::string_view(key).substr(0, semi);
  }
  if (name.empty()) return false;
  for (char c : name) {
    if (!(isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '_' || c == '-')) return false;
  }
  return true;
}

std::string trim(const std::string& s) {
  size_t b = s.find_first_not_of(" \t\r");
  if (b == std::string::npos) return "";
  size_t e = s.find_last_not_of(" \t\r");
  return s.substr(b, e - b + 1);
}

// Parses the text into cfg.  On the first bad line prints "origin:line: why"
// to standard error and returns IMAP_CONFIG_ERROR.
int parse(std::string_view text, const char* origin, config_cache& cfg) {
  std::istringstream in{std::string(text)};
  std::string line;
  int lineno = 0;
  while (std::getline(in, line)) {
    ++lineno;
    // Control bytes (a NUL, say) mean binary junk or a damaged file, never
    // a setting; checked before the comment test so junk that happens to
    // start with '#' is not passed over either.  A CR before the line end
    // is the one allowed: files written on other systems end lines so.
    for (size_t i = 0; i < line.size(); ++i) {
      unsigned char c = static_cast<unsigned char>(line[i]);
      bool final_cr = c == '\r' && line.find_first_not_of('\r', i) == std::string::npos;
      if ((c < 0x20 && c != '\t' && !final_cr) || c == 0x7f) {
        fprintf(stderr, "%s:%d: binary data (byte 0x%02x at column %zu); not a configuration line\n", origin, lineno, c,
                i + 1);
        return IMAP_CONFIG_ERROR;
      }
    }
    std::string t = trim(line);
    if (t.empty() || t[0] == '#') continue;
    size_t eq = t.find('=');
    if (eq == std::string::npos) {
      fprintf(stderr, "%s:%d: expected \"key = value\"\n", origin, lineno);
      return IMAP_CONFIG_ERROR;
    }
    std::string key = trim(t.substr(0, eq));
    std::string value = trim(t.substr(eq + 1));
    if (!valid_key(key)) {
      fprintf(stderr, "%s:%d: invalid key \"%.100s\" (letters, digits, '.', '_' and '-', then ;lang-TAG)\n", origin,
              lineno, key.c_str());
      return IMAP_CONFIG_ERROR;
    }
    if (cfg.values.count(key)) {
      fprintf(stderr, "%s:%d: warning: \"%s\" set again; the later value is used\n", origin, lineno, key.c_str());
    }
    cfg.values[key] = value;

    // store.partition.NAME.path / store.partition.NAME.messagepath
    if (key.rfind(kPartPrefix, 0) == 0) {
      std::string rest = key.substr(sizeof(kPartPrefix) - 1);
      std::string name;
      bool is_msg = false;
      if (rest.size() > 5 && rest.compare(rest.size() - 5, 5, ".path") == 0) {
        name = rest.substr(0, rest.size() - 5);
      } else if (rest.size() > 12 && rest.compare(rest.size() - 12, 12, ".messagepath") == 0) {
        name = rest.substr(0, rest.size() - 12);
        is_msg = true;
      } else {
        fprintf(stderr, "%s:%d: partition keys end in \".path\" or \".messagepath\"\n", origin, lineno);
        return IMAP_CONFIG_ERROR;
      }
      if (name.size() > 70) {
        fprintf(stderr, "%s:%d: partition name longer than 70 bytes\n", origin, lineno);
        return IMAP_CONFIG_ERROR;
      }
      if (value.empty() || value[0] != '/') {
        fprintf(stderr, "%s:%d: partition directory must be an absolute path\n", origin, lineno);
        return IMAP_CONFIG_ERROR;
      }
      while (value.size() > 1 && value.back() == '/') value.pop_back();
      config_cache::Partition* p = nullptr;
      for (auto& q : cfg.partitions) {
        if (q.name == name) p = &q;
      }
      if (!p) {
        cfg.partitions.push_back({name, "", ""});
        p = &cfg.partitions.back();
      }
      (is_msg ? p->msgpath : p->path) = value;
    }
  }
  for (const auto& p : cfg.partitions) {
    if (p.path.empty()) {
      fprintf(stderr, "%s: partition \"%s\" has a message path but no \"%s%s.path\"\n", origin, p.name.c_str(),
              kPartPrefix, p.name.c_str());
      return IMAP_CONFIG_ERROR;
    }
  }
  return 0;
}

// Reads the whole file.  Only a regular file will do: a directory reads as
// empty on some systems and a FIFO or device could block for ever.
int read_file(const std::string& path, std::string& text) {
  UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!fd) {
    int e = errno;
    fprintf(stderr, "%s: cannot read configuration: %s\n", path.c_str(), strerror(e));
    return e;
  }
  struct stat st;
  if (fstat(fd.get(), &st) != 0) {
    int e = errno;
    fprintf(stderr, "%s: cannot read configuration: %s\n", path.c_str(), strerror(e));
    return e;
  }
  if (!S_ISREG(st.st_mode)) {
    fprintf(stderr, "%s: cannot read configuration: %s\n", path.c_str(),
            S_ISDIR(st.st_mode) ? "it is a directory" : "not a regular file");
    return S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
  }
  std::string out;
  char buf[65536];
  for (;;) {
    ssize_t n = read(fd.get(), buf, sizeof buf);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      int e = errno;
      fprintf(stderr, "%s: cannot read configuration: %s\n", path.c_str(), strerror(e));
      return e;
    }
    out.append(buf, static_cast<size_t>(n));
  }
  text = std::move(out);
  return 0;
}

int install(std::string_view text, const std::string& origin, const std::string& path, const char* progname) {
  auto cfg = std::make_unique<config_cache>();
  int r = parse(text, origin.c_str(), *cfg);
  if (r) return r;
  std::lock_guard lk(g_mu);
  g_current.store(cfg.get(), std::memory_order_release);
  g_all.push_back(std::move(cfg));
  g_path = path;
  if (progname && *progname) {
    const char* slash = strrchr(progname, '/');
    g_procname = slash ? slash + 1 : progname;
  }
  return 0;
}

const config_cache::Partition* find_partition(const char* name) {
  config_cache* c = config_getdefaultcache();
  if (!c || !name) return nullptr;
  for (const auto& p : c->partitions) {
    if (p.name == name) return &p;
  }
  return nullptr;
}

}  // namespace

config_cache* config_getdefaultcache() { return g_current.load(std::memory_order_acquire); }

const char* config_get_string(config_cache* h, const char* key, const char* def) {
  if (!h || !key) return def;
  auto it = h->values.find(key);
  return it == h->values.end() ? def : it->second.c_str();
}

char* config_get_stringcopy(config_cache* h, const char* key, const char* def) {
  const char* v = config_get_string(h, key, def);
  return v ? xstrdup(v) : nullptr;
}

int config_get_int(config_cache* h, const char* key, int def) {
  const char* v = config_get_string(h, key, nullptr);
  if (!v) return def;
  errno = 0;
  char* end = nullptr;
  long n = strtol(v, &end, 10);
  if (end == v || *end != '\0' || errno == ERANGE || n < INT32_MIN || n > INT32_MAX) {
    bvlog(0, LOG_STORE_WARNING, "Configuration key %s: \"%s\" is not a number; using %d", key, v, def);
    return def;
  }
  return static_cast<int>(n);
}

int config_get_switch(config_cache* h, const char* key, int def) {
  const char* v = config_get_string(h, key, nullptr);
  if (!v) return def;
  for (const char* on : {"1", "on", "yes", "true"}) {
    if (strcasecmp(v, on) == 0) return 1;
  }
  for (const char* off : {"0", "off", "no", "false"}) {
    if (strcasecmp(v, off) == 0) return 0;
  }
  bvlog(0, LOG_STORE_WARNING, "Configuration key %s: \"%s\" is not on or off; using %d", key, v, def);
  return def;
}

const char* config_processname() { return g_procname.c_str(); }

char* configmsg_getstringcopywlang(const char* key, int, const char* languages, std::string* foundlang) {
  config_cache* c = config_getdefaultcache();
  if (!c || !key) return nullptr;
  std::string_view list = languages ? languages : "";
  while (!list.empty()) {
    size_t comma = list.find(',');
    std::string_view tag = list.substr(0, comma);
    list = comma == std::string_view::npos ? std::string_view() : list.substr(comma + 1);
    while (!tag.empty() && (tag.front() == ' ' || tag.front() == '\t')) tag.remove_prefix(1);
    while (!tag.empty() && (tag.back() == ' ' || tag.back() == '\t')) tag.remove_suffix(1);
    if (!valid_lang(tag)) continue;  // "fr;binary" and such never reach a key
    std::string lower(tag);
    for (char& ch : lower) ch = static_cast<char>(tolower(static_cast<unsigned char>(ch)));
    // "fr-ca" falls back to "fr" before the next language is tried.
    for (std::string t = lower; !t.empty();) {
      if (const char* v = config_get_string(c, (std::string(key) + std::string(kLangOption) + t).c_str(), nullptr)) {
        if (foundlang) *foundlang = t;
        return xstrdup(v);
      }
      size_t dash = t.rfind('-');
      t.resize(dash == std::string::npos ? 0 : dash);
    }
  }
  const char* v = config_get_string(c, key, nullptr);
  if (!v) return nullptr;
  if (foundlang) {
    const char* site = config_get_string(c, "gen.sitelanguage", "");
    *foundlang = valid_lang(site) ? site : "en";
    for (char& ch : *foundlang) ch = static_cast<char>(tolower(static_cast<unsigned char>(ch)));
  }
  return xstrdup(v);
}

int configmsg_init(int, int, const char* progname) {
  const char* env = getenv(ORV_CONFIG_ENV);
  std::string path = env && *env ? env : ORV_DEFAULT_CONFIG;
  std::string text;
  if (int r = read_file(path, text)) return r;
  return install(text, path, path, progname);
}

int configmsg_init_text(std::string_view text, const char* origin, const char* progname) {
  return install(text, origin ? origin : "(configuration)", "", progname);
}

int configmsg_refresh() {
  std::string path;
  {
    std::lock_guard lk(g_mu);
    path = g_path;
  }
  if (path.empty()) return 0;
  std::string text;
  if (int r = read_file(path, text)) return r;
  return install(text, path, path, nullptr);
}

void configmsg_free() {
  bvlog_close();
  std::lock_guard lk(g_mu);
  g_current.store(nullptr, std::memory_order_release);
  g_all.clear();
  g_path.clear();
}

const char* configmsg_path() { return g_path.c_str(); }

int configmsg_check(FILE* err) {
  config_cache* cfg = config_getdefaultcache();
  int problems = 0;
  auto problem = [&](const std::string& text) {
    fprintf(err, "%s\n", text.c_str());
    ++problems;
  };
  const char* store = configmsg_get_storedir();
  if (!store) {
    problem("The configuration sets no store directory (local.store.dir)");
  } else if (store[0] != '/') {
    problem(std::string("The store directory must be an absolute path (local.store.dir = ") + store + ")");
  }
  if (!cfg || cfg->partitions.empty()) problem("The configuration names no partition (store.partition.NAME.path)");
  if (const char* user = config_get_string(cfg, "local.serveruser", nullptr); user && *user) {
    struct passwd pw;
    struct passwd* res = nullptr;
    std::vector<char> buf(16384);
    if (getpwnam_r(user, &pw, buf.data(), buf.size(), &res) != 0 || !res) {
      problem(std::string("The server user ") + user + " does not exist (local.serveruser)");
    }
  }
  const char* target = config_get_string(cfg, "local.log.target", "file");
  if (strcmp(target, "file") != 0 && strcmp(target, "syslog") != 0 && strcmp(target, "stderr") != 0) {
    problem(std::string("local.log.target must be file, syslog or stderr, not \"") + target + "\"");
  }
  if (const char* level = config_get_string(cfg, "local.log.level", nullptr)) {
    char* end = nullptr;
    long n = strtol(level, &end, 10);
    if (end == level || *end != '\0' || n < 0 || n > 7) {
      problem(std::string("local.log.level must be 0 to 7, not \"") + level + "\"");
    }
  }
  return problems ? IMAP_CONFIG_ERROR : 0;
}

const char* configmsg_get_storedir() {
  const char* d = config_get_string(config_getdefaultcache(), "local.store.dir", nullptr);
  return d && *d ? d : nullptr;
}

char* configmsg_partitiondir(const char* name) {
  const auto* p = find_partition(name);
  return p ? xstrdup(p->path.c_str()) : nullptr;
}

char* configmsg_partitionmsgdir(const char* name) {
  const auto* p = find_partition(name);
  if (!p) return nullptr;
  return xstrdup(p->msgpath.empty() ? p->path.c_str() : p->msgpath.c_str());
}

int configmsg_scanpartition(int (*cb)(const char* name, void* arg), void* arg) {
  config_cache* c = config_getdefaultcache();
  if (!c) return 0;
  for (const auto& p : c->partitions) {
    if (int r = cb(p.name.c_str(), arg)) return r;
  }
  return 0;
}

namespace {
// Looks up local.serveruser.  1 and pw filled when configured, 0 when unset,
// an error code when the user is unknown.
int server_user(struct passwd* pw, std::vector<char>& buf) {
  const char* name = config_get_string(config_getdefaultcache(), "local.serveruser", nullptr);
  if (!name || !*name) return 0;
  buf.resize(16384);
  struct passwd* res = nullptr;
  int r = getpwnam_r(name, pw, buf.data(), buf.size(), &res);
  if (r != 0 || !res) {
    bvlog(0, bvlog_priority(0, LOG_SEV_ERR), "Server user %s: no such user", name);
    return IMAP_CONFIG_ERROR;
  }
  return 1;
}
}  // namespace

int configmsg_setuid() {
  struct passwd pw;
  std::vector<char> buf;
  int r = server_user(&pw, buf);
  if (r <= 0) return r;
  if (geteuid() == pw.pw_uid) return 0;
  if (geteuid() != 0) {
    bvlog(0, bvlog_priority(0, LOG_SEV_ERR), "Must run as root or as the server user %s", pw.pw_name);
    return EPERM;
  }
  if (setgid(pw.pw_gid) != 0 || initgroups(pw.pw_name, pw.pw_gid) != 0 || setuid(pw.pw_uid) != 0) {
    int e = errno;
    bvlog(0, bvlog_priority(0, LOG_SEV_ERR), "Unable to switch to server user %s: %m", pw.pw_name);
    return e;
  }
  return 0;
}

int configmsg_fixfilemode(const char* path, int) {
  struct stat st;
  if (lstat(path, &st) != 0) return errno;
  if (S_ISLNK(st.st_mode)) return ELOOP;
  if (chmod(path, S_ISDIR(st.st_mode) ? 0700 : 0600) != 0) return errno;
  if (geteuid() == 0) {
    struct passwd pw;
    std::vector<char> buf;
    if (server_user(&pw, buf) == 1 && chown(path, pw.pw_uid, pw.pw_gid) != 0) return errno;
  }
  return 0;
}

namespace {
int stored_path(const char* name, std::string& path) {
  const char* dir = configmsg_get_storedir();
  if (!dir) return IMAP_CONFIG_ERROR;
  if (!name || !*name || strchr(name, '/') || strcmp(name, ".") == 0 || strcmp(name, "..") == 0) return EINVAL;
  path = std::string(dir) + "/stored/" + name;
  return 0;
}
}  // namespace

int configmsg_readstoredfile(const char* name, long* value) {
  std::string path;
  if (int r = stored_path(name, path)) return r;
  UniqueFd fd(fs_open(path.c_str(), O_RDONLY));
  if (!fd) return errno;
  char buf[32];
  ssize_t n = read(fd.get(), buf, sizeof buf - 1);
  if (n < 0) return errno;
  buf[n] = '\0';
  char* end = nullptr;
  errno = 0;
  long v = strtol(buf, &end, 10);
  if (end == buf || (*end != '\n' && *end != '\0') || errno == ERANGE) {
    bvlog(0, LOG_STORE_ERR, "Stored value %s is damaged", path.c_str());
    return IMAP_CONFIG_ERROR;
  }
  *value = v;
  return 0;
}

int configmsg_writestoredfile(const char* name, long value) {
  std::string path;
  if (int r = stored_path(name, path)) return r;
  std::string dir = path.substr(0, path.rfind('/'));
  if (make_dirs(dir.c_str(), 0700) != 0) return errno;
  std::string tmp = path + ".new";
  UniqueFd fd(fs_open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600));
  if (!fd) return errno;
  char buf[32];
  int len = snprintf(buf, sizeof buf, "%ld\n", value);
  if (retry_write(fd.get(), buf, len) != len || sync_file(fd.get(), 2) != 0 || fs_rename(tmp.c_str(), path.c_str()) != 0) {
    int e = errno;
    fs_unlink(tmp.c_str());
    return e;
  }
  return 0;
}
