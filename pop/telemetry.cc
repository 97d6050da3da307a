#include "pop/telemetry.h"

#include <fcntl.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common/bvlog.h"
#include "common/config.h"
#include "common/fileio.h"

std::string telemetry_time_text(time_t t) {
  struct tm tm {};
  localtime_r(&t, &tm);
  char buf[64];
  snprintf(buf, sizeof buf, "%u/%u/%u %u:%02u:%02u", static_cast<unsigned>(tm.tm_year + 1900),
           static_cast<unsigned>(tm.tm_mon + 1), static_cast<unsigned>(tm.tm_mday), static_cast<unsigned>(tm.tm_hour),
           static_cast<unsigned>(tm.tm_min), static_cast<unsigned>(tm.tm_sec));
  return buf;
}

UniqueFd telemetry_create(const std::string& dir, time_t t, std::string* path) {
  const std::string base = dir + "/" + std::to_string(static_cast<unsigned long>(t));
  for (unsigned n = 0; n < kTelemetryMaxTries; ++n) {
    std::string name = n == 0 ? base : base + "." + std::to_string(n);
    // O_EXCL also refuses a planted link: it counts as a taken name.
    UniqueFd fd(fs_open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW, 0600));
    if (fd) {
      if (path) *path = std::move(name);
      return fd;
    }
    if (errno != EEXIST) return UniqueFd();
  }
  errno = EEXIST;
  return UniqueFd();
}

bool TelemetryFile::open(const std::string& instancedir, const std::string& user, time_t login_time) {
  fd_.reset();
  // The user id is canonical already; still, it must name exactly one
  // directory below the telemetry tree.
  if (instancedir.empty() || user.empty() || user == "." || user == ".." || user.find('/') != std::string::npos ||
      user.find('\0') != std::string::npos)
    return false;
  std::string dir = instancedir + "/data/telemetry/pop/" + user;
  std::string path;
  UniqueFd fd = telemetry_create(dir, login_time, &path);
  if (!fd) {
    if (errno != ENOENT && errno != ENOTDIR)
      bvlog(0, LOG_SEV_WARNING, "Unable to create a telemetry file in %s: %m", dir.c_str());
    return false;
  }
  if (int r = configmsg_fixfilemode(path.c_str(), 0)) {
    bvlog(0, LOG_SEV_WARNING, "Unable to set the mode of telemetry file %s: %s", path.c_str(), strerror(r));
    (void)fs_unlink(path.c_str());
    return false;
  }
  fd_ = std::move(fd);
  path_ = std::move(path);
  user_ = user;
  login_time_ = login_time;
  record("LOGIN " + user_ + " " + telemetry_time_text(login_time_) + "\n");
  return active();
}

void TelemetryFile::record(std::string_view data) {
  if (!fd_ || data.empty()) return;
  if (retry_write(fd_.get(), data.data(), data.size()) < 0) {
    bvlog(0, LOG_SEV_WARNING, "Unable to write telemetry file %s: %m; telemetry ends for this session", path_.c_str());
    fd_.reset();
  }
}

void TelemetryFile::logout(time_t logout_time) {
  record("LOGOUT " + user_ + " " + telemetry_time_text(login_time_) + " - " + telemetry_time_text(logout_time) + "\n");
  fd_.reset();
}
