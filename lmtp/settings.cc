#include "lmtp/settings.h"

#include <getopt.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "common/config.h"

namespace {

bool parse_number(const char* s, long lo, long hi, long* out) {
  if (!s || !*s) return false;
  char* end = nullptr;
  errno = 0;
  long v = strtol(s, &end, 10);
  if (errno || *end || v < lo || v > hi) return false;
  *out = v;
  return true;
}

unsigned bounded(config_cache* cfg, const char* key, int def, int lo, int hi, std::vector<std::string>* warnings) {
  int v = config_get_int(cfg, key, def);
  if (v < lo || v > hi) {
    warnings->push_back(std::string(key) + " = " + std::to_string(v) + " is out of range; using " +
                        std::to_string(v < lo ? lo : hi));
    return static_cast<unsigned>(v < lo ? lo : hi);
  }
  return static_cast<unsigned>(v);
}

int first_partition(const char* name, void* arg) {
  *static_cast<std::string*>(arg) = name;
  return 1;  // stop after the first
}

}  // namespace

int parse_lmtp_options(int argc, char** argv, LmtpOptions* out) {
  static const option longopts[] = {{"help", no_argument, nullptr, 'h'}, {nullptr, 0, nullptr, 0}};
  *out = LmtpOptions();
  optind = 0;  // full re-initialisation (glibc), so tests may call this repeatedly
  opterr = 0;
  int opt;
  long v;
  while ((opt = getopt_long(argc, argv, "s:p:d:h", longopts, nullptr)) != -1) {
    switch (opt) {
      case 's':
        if (!*optarg) return 64;
        out->socket = optarg;
        break;
      case 'p':
        if (!parse_number(optarg, 0, 65535, &v)) return 64;
        out->port = static_cast<int>(v);
        break;
      case 'd':
        if (!parse_number(optarg, 0, INT_MAX, &v)) return 64;
        out->fd = static_cast<int>(v);
        break;
      case 'h':
        return 1;
      default:
        return 64;
    }
  }
  if (optind < argc) return 64;
  return 0;
}

LmtpSettings load_lmtp_settings(config_cache* cfg, const LmtpOptions& opts, std::vector<std::string>* warnings) {
  LmtpSettings s;
  const char* store = config_get_string(cfg, "local.store.dir", "");
  std::string def = *store ? std::string(store) + "/lmtp" : std::string();
  s.socket = opts.socket ? *opts.socket : config_get_string(cfg, "service.lmtp.socket", def.c_str());
  s.port = opts.port >= 0 ? static_cast<unsigned>(opts.port) : bounded(cfg, "service.lmtp.port", 0, 0, 65535, warnings);
  s.max_recipients = bounded(cfg, "service.lmtp.maxrecipients", 100, 1, 100000, warnings);
  const char* size = config_get_string(cfg, "service.lmtp.maxmessagesize", "0");
  char* end = nullptr;
  errno = 0;
  unsigned long long n = strtoull(size, &end, 10);
  if (errno || end == size || *end || *size == '-') {
    warnings->push_back(std::string("service.lmtp.maxmessagesize = ") + size + " is not a number of octets; no limit");
    n = 0;
  }
  // The store cannot hold a message of 4 GB or more.
  if (n == 0 || n >= 0xFFFFFFFFull) n = n ? 0xFFFFFFFEull : 0;
  s.max_size = n;
  s.timeout_s = bounded(cfg, "service.lmtp.timeout", 300, 1, 86400, warnings);
  const char* host = config_get_string(cfg, "local.hostname", "");
  if (*host) {
    s.hostname = host;
  } else {
    char name[256] = "";
    s.hostname = gethostname(name, sizeof name - 1) == 0 && name[0] ? name : "localhost";
  }
  std::string part;
  configmsg_scanpartition(first_partition, &part);
  if (!part.empty()) {
    if (char* dir = configmsg_partitionmsgdir(part.c_str())) {
      s.spool_dir = dir;
      free(dir);
    }
  }
  return s;
}
