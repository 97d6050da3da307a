#include "common/optfile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string_view>

#include "common/bvlog.h"
#include "common/config.h"
#include "common/imap_err.h"
#include "common/unique_fd.h"

namespace {

constexpr off_t kMaxFile = 1024 * 1024;

std::string_view trim(std::string_view s) {
  const size_t b = s.find_first_not_of(" \t\r");
  if (b == std::string_view::npos) return {};
  return s.substr(b, s.find_last_not_of(" \t\r") - b + 1);
}

bool valid_name(std::string_view name) {
  if (name.empty()) return false;
  for (char ch : name) {
    const auto c = static_cast<unsigned char>(ch);
    if (!(isalnum(c) || c == '_')) return false;
  }
  return true;
}

}  // namespace

int optfile_read(const char* path, OptFile* out) {
  out->values.clear();
  UniqueFd fd(open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!fd) {
    if (errno == ENOENT) return 0;
    const int e = errno;
    bvlog(0, LOG_STORE_ERR, "Cannot read option file %s: %m", path);
    return e;
  }
  struct stat st;
  if (fstat(fd.get(), &st) != 0) {
    const int e = errno;
    bvlog(0, LOG_STORE_ERR, "Cannot read option file %s: %m", path);
    return e;
  }
  if (!S_ISREG(st.st_mode) || st.st_size > kMaxFile) {
    bvlog(0, LOG_STORE_ERR, "Option file %s: %s", path,
          S_ISREG(st.st_mode) ? "larger than 1 MB" : "not a regular file");
    return IMAP_CONFIG_ERROR;
  }
  std::string text;
  char buf[8192];
  for (;;) {
    const ssize_t n = read(fd.get(), buf, sizeof buf);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      const int e = errno;
      bvlog(0, LOG_STORE_ERR, "Cannot read option file %s: %m", path);
      return e;
    }
    text.append(buf, static_cast<size_t>(n));
    if (text.size() > static_cast<size_t>(kMaxFile)) {
      bvlog(0, LOG_STORE_ERR, "Option file %s: %s", path, "larger than 1 MB");
      return IMAP_CONFIG_ERROR;
    }
  }
  OptFile opts;
  int lineno = 0;
  for (size_t pos = 0; pos < text.size();) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    const std::string_view raw(text.data() + pos, end - pos);
    pos = end + 1;
    ++lineno;
    const std::string_view line = trim(raw);
    if (line.empty() || line[0] == '#') continue;
    bool control = false;
    for (char ch : line) control |= (static_cast<unsigned char>(ch) < 0x20 && ch != '\t') || ch == 0x7f;
    const size_t eq = line.find('=');
    const std::string_view name = eq == std::string_view::npos ? line : trim(line.substr(0, eq));
    if (control || eq == std::string_view::npos || !valid_name(name)) {
      bvlog(0, LOG_STORE_ERR, "Option file %s:%d: expected \"NAME = value\"", path, lineno);
      return IMAP_CONFIG_ERROR;
    }
    opts.values[std::string(name)] = std::string(trim(line.substr(eq + 1)));
  }
  *out = std::move(opts);
  return 0;
}

std::string optfile_default_path() {
  const char* root = config_get_string(config_getdefaultcache(), "local.serverroot", nullptr);
  if (!root || !*root) return {};
  return std::string(root) + "/config/option.dat";
}

const char* optfile_get(const OptFile& opts, const char* name, const char* def) {
  auto it = opts.values.find(name);
  return it == opts.values.end() ? def : it->second.c_str();
}

int optfile_int(const OptFile& opts, const char* name, int def) {
  const char* v = optfile_get(opts, name, nullptr);
  if (!v) return def;
  errno = 0;
  char* end = nullptr;
  const long n = strtol(v, &end, 10);
  if (end == v || *end != '\0' || errno == ERANGE || n < INT_MIN || n > INT_MAX) {
    bvlog(0, LOG_STORE_WARNING, "Option %s: \"%s\" is not a number; using %d", name, v, def);
    return def;
  }
  return static_cast<int>(n);
}
