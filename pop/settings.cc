#include "pop/settings.h"

#include <getopt.h>
#include <netdb.h>
#include <unistd.h>

#include <strings.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "common/config.h"
#include "pop/greeting.h"
#include "store/pvm_prod.h"

namespace {

bool parse_number(const char* s, long lo, long hi, long* out) {
  if (s == nullptr || *s == '\0') return false;
  char* end = nullptr;
  errno = 0;
  long v = strtol(s, &end, 10);
  if (errno != 0 || *end != '\0' || v < lo || v > hi) return false;
  *out = v;
  return true;
}

unsigned bounded(config_cache* cfg, const char* key, int def, int lo, int hi) {
  int v = config_get_int(cfg, key, def);
  if (v < lo) return static_cast<unsigned>(lo);
  if (v > hi) return static_cast<unsigned>(hi);
  return static_cast<unsigned>(v);
}

std::string trim(std::string s) {
  size_t b = s.find_first_not_of(" \t");
  if (b == std::string::npos) return "";
  size_t e = s.find_last_not_of(" \t");
  return s.substr(b, e - b + 1);
}

std::vector<std::string> split_list(const std::string& s) {
  std::vector<std::string> out;
  size_t i = 0;
  while (i <= s.size()) {
    size_t j = s.find(',', i);
    if (j == std::string::npos) j = s.size();
    std::string item = trim(s.substr(i, j - i));
    if (!item.empty()) out.push_back(item);
    i = j + 1;
  }
  return out;
}

std::optional<AccessFilter> load_filter(config_cache* cfg, const char* key, std::vector<std::string>* warnings) {
  const char* text = config_get_string(cfg, key, nullptr);
  if (text == nullptr || trim(text).empty()) return std::nullopt;
  std::string err;
  auto f = AccessFilter::parse(text, &err);
  if (!f) warnings->push_back(std::string("invalid ") + key + " filter");
  return f;
}

}  // namespace

int parse_pop_options(int argc, char** argv, PopOptions* out) {
  static const option longopts[] = {{"help", no_argument, nullptr, 'h'}, {nullptr, 0, nullptr, 0}};
  *out = PopOptions();
  optind = 0;  // full re-initialisation (glibc), so tests may call this repeatedly
  opterr = 0;
  int opt;
  long v;
  while ((opt = getopt_long(argc, argv, "01d:D:p:P:a:x", longopts, nullptr)) != -1) {
    switch (opt) {
      case '0': out->slave = true; break;
      case '1': out->single = true; break;
      case 'd':
        if (!parse_number(optarg, 0, INT_MAX, &v)) return 64;
        out->plain_fd = static_cast<int>(v);
        break;
      case 'D':
        if (!parse_number(optarg, 0, INT_MAX, &v)) return 64;
        out->tls_fd = static_cast<int>(v);
        break;
      case 'p':
        if (!parse_number(optarg, 0, 65535, &v)) return 64;
        out->port = static_cast<int>(v);
        break;
      case 'P':
        if (!parse_number(optarg, 0, 65535, &v)) return 64;
        out->sslport = static_cast<int>(v);
        break;
      case 'a': out->listenaddr = optarg; break;
      case 'x': out->strict = true; break;
      case 'h': return 1;
      default: return 64;
    }
  }
  if (optind < argc) return 64;
  return 0;
}

PopStartup load_startup(config_cache* cfg, const PopOptions& opts, std::vector<std::string>* warnings) {
  PopStartup s;
  s.single = opts.single;
  s.version = version();
  s.strict = opts.strict;
  s.numprocesses = opts.single ? 1 : bounded(cfg, "service.pop.numprocesses", 1, 1, 256);
  s.maxsessions = bounded(cfg, "service.pop.maxsessions", 1000, 1, 1000000);
  s.maxthreads = bounded(cfg, "service.pop.maxthreads", 500, 1, 10000);
  s.plain_enabled = config_get_switch(cfg, "service.pop.enable", 1) != 0;
  s.plain_port = opts.port >= 0 ? static_cast<unsigned>(opts.port) : bounded(cfg, "service.pop.port", 110, 0, 65535);
  s.use_tls = config_get_switch(cfg, "service.pop.sslusessl", 1) != 0;
  s.tls_port_enabled = config_get_switch(cfg, "service.pop.enablesslport", 1) != 0;
  s.tls_port = opts.sslport >= 0 ? static_cast<unsigned>(opts.sslport)
                                 : bounded(cfg, "service.pop.sslport", 995, 0, 65535);
  s.listenaddr = opts.listenaddr ? *opts.listenaddr : config_get_string(cfg, "service.listenaddr", "INADDR_ANY");
  s.listenaddr = trim(s.listenaddr);
  if (s.listenaddr == "INADDR_ANY") s.listenaddr.clear();

  const char* root = config_get_string(cfg, "local.serverroot", nullptr);
  std::string nssdb_default = root ? std::string(root) + "/config/nssdb" : std::string();
  s.tls.nssdb = config_get_string(cfg, "local.ssl.nssdb", nssdb_default.c_str());
  s.tls.nicknames = split_list(config_get_string(cfg, "local.ssl.certnickname", "Server-Cert"));
  s.tls.pinfile = config_get_string(cfg, "local.ssl.pinfile", "");
  std::string minv = trim(config_get_string(cfg, "local.ssl.minversion", "tls1.2"));
  if (strcasecmp(minv.c_str(), "tls1.3") == 0) {
    s.tls.tls13_only = true;
  } else if (strcasecmp(minv.c_str(), "tls1.2") != 0) {
    warnings->push_back("local.ssl.minversion " + minv + " is not supported, using tls1.2");
  }
  s.tls.client_auth = config_get_switch(cfg, "service.pop.sslclientauth", 0) != 0;
  s.status_line = config_get_switch(cfg, "local.popstatuskludge", 0) != 0;
  s.emulate_qpopper = config_get_switch(cfg, "service.pop.emulateqpopper", 0) != 0;
  s.statlog = config_get_switch(cfg, "local.poplogmboxstat", 0) != 0;
  s.directory = !trim(config_get_string(cfg, "local.ugldaphost", "")).empty();
  return s;
}

std::shared_ptr<const PopSettings> load_settings(config_cache* cfg, const std::string& system_host,
                                                 std::vector<std::string>* warnings) {
  auto s = std::make_shared<PopSettings>();
  std::string host = config_get_string(cfg, "local.hostname", "");
  host = trim(host.substr(0, host.find(',')));
  if (host.size() > 256) host.resize(256);
  s->hostname = host.empty() ? system_host : host;

  s->dns_resolve_client = config_get_switch(cfg, "service.dnsresolveclient", 0) != 0;
  s->instancedir = config_get_string(cfg, "local.instancedir", "");
  int minutes = config_get_int(cfg, "service.pop.idletimeout", 10);
  if (minutes < 10) {
    warnings->push_back("Idle timeout too short, using 10 minutes");
    minutes = 10;
  }
  if (minutes > 7 * 24 * 60) minutes = 7 * 24 * 60;
  s->idle_timeout_s = static_cast<unsigned>(minutes) * 60;

  s->allow = load_filter(cfg, "service.pop.domainallowed", warnings);
  s->deny = load_filter(cfg, "service.pop.domainnotallowed", warnings);
  const char* limits = config_get_string(cfg, "service.pop.connlimits", nullptr);
  if (limits != nullptr && !trim(limits).empty()) {
    std::string err;
    s->connlimits = ConnLimits::parse(limits, &err);
    if (!s->connlimits) warnings->push_back("invalid service.pop.connlimits: " + err);
  }

  char banner[BANNER_BUF];
  generate_banner(banner, config_get_string(cfg, "service.pop.banner", ""), s->hostname.c_str(), "POP3");
  s->banner = clean_banner(banner);
  s->apop_offered = config_get_switch(cfg, "sasl.default.ldap.has_plain_passwords", 0) != 0;
  s->max_bad_commands = bounded(cfg, "service.pop.maxbadcommands", 20, 0, 1000000);
  std::string plain = trim(config_get_string(cfg, "service.pop.plaintextlogin", "tls"));
  if (strcasecmp(plain.c_str(), "always") == 0) {
    s->plaintext = PlaintextLogin::kAlways;
  } else if (strcasecmp(plain.c_str(), "tls") != 0) {
    // Refusing passwords in clear is the safe reading of a typo.
    warnings->push_back("invalid service.pop.plaintextlogin \"" + plain + "\", using tls");
  }
  s->max_auth_failures = bounded(cfg, "service.pop.maxauthfailures", 3, 0, 1000);
  s->defaultdomain = trim(config_get_string(cfg, "service.defaultdomain", ""));
  s->last_access = config_get_switch(cfg, "local.enablelastaccess", 0) != 0;
  s->account_url = config_get_string(cfg, "gen.accounturl", "");
  return s;
}

std::string system_host_name() {
  char name[256] = "";
  if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return "localhost";
  addrinfo hints{};
  hints.ai_flags = AI_CANONNAME;
  addrinfo* res = nullptr;
  std::string out = name;
  if (getaddrinfo(name, nullptr, &hints, &res) == 0) {
    if (res && res->ai_canonname && *res->ai_canonname) out = res->ai_canonname;
    freeaddrinfo(res);
  }
  return out;
}
