#include "common/dmap.h"

#include <ldap.h>

#include <cctype>
#include <chrono>
#include <mutex>
#include <unordered_map>

#include "common/bvlog.h"
#include "common/config.h"
#include "common/imap_err.h"
#include "common/optfile.h"

struct Dmap {
  LdPool* pool = nullptr;
  DmapConfig cfg;
  struct Cached {
    DmapDomain domain;
    std::chrono::steady_clock::time_point until;
  };
  std::mutex mu;
  std::unordered_map<std::string, Cached> cache;  // by lower-cased name
};

void DmapDeleter::operator()(Dmap* d) const noexcept { delete d; }

namespace {

constexpr size_t kMaxDomain = 255;
constexpr size_t kMaxLabel = 63;
constexpr size_t kMaxCached = 4096;

bool valid_dn(const std::string& text) {
  LDAPDN dn = nullptr;
  if (ldap_str2dn(text.c_str(), &dn, LDAP_DN_FORMAT_LDAPV3) != LDAP_SUCCESS) return false;
  const bool some = dn != nullptr;
  ldap_dnfree(dn);
  return some;
}

}  // namespace

const std::string* DmapDomain::first(std::string_view attr) const {
  const auto* vals = entry.values(attr);
  return vals && !vals->empty() ? &(*vals)[0] : nullptr;
}

int dmap_config_from_settings(DmapConfig* cfg) {
  config_cache* c = config_getdefaultcache();
  DmapConfig n;
  n.dcroot = config_get_string(c, "service.dcroot", "");
  n.debuglevel = config_get_int(c, "local.domainmap.debuglevel", 0);
  n.cache_seconds = config_get_int(c, "local.domainmap.cachettl", n.cache_seconds);
  OptFile opts;
  if (std::string path = optfile_default_path(); !path.empty()) {
    if (int r = optfile_read(path.c_str(), &opts)) return r;
  }
  n.schema_level = optfile_int(opts, "LDAP_SCHEMALEVEL", n.schema_level);
  n.filter = optfile_get(opts, "LDAP_DOMAIN_FILTER_SCHEMA1", n.filter.c_str());
  n.basedn_attr = optfile_get(opts, "LDAP_DOMAIN_ATTR_BASEDN", n.basedn_attr.c_str());
  *cfg = std::move(n);
  return 0;
}

int dmap_new(LdPool* pool, const DmapConfig& cfg, DmapPtr* out) {
  const char* why = nullptr;
  if (cfg.schema_level != 1) {
    why = "only directory schema level 1 is supported (LDAP_SCHEMALEVEL)";
  } else if (cfg.dcroot.empty() || !valid_dn(cfg.dcroot)) {
    why = "service.dcroot is missing or not a DN";
  } else if (cfg.filter.size() < 2 || cfg.filter.front() != '(' || cfg.filter.back() != ')') {
    why = "LDAP_DOMAIN_FILTER_SCHEMA1 is not a filter in parentheses";
  } else if (cfg.basedn_attr.empty()) {
    why = "LDAP_DOMAIN_ATTR_BASEDN is empty";
  } else if (!pool) {
    why = "no directory connection pool";
  }
  if (why) {
    bvlog(0, LOG_STORE_ERR, "Cannot initialize domain map: %s", why);
    return IMAP_CONFIG_ERROR;
  }
  DmapPtr map(new Dmap);
  map->pool = pool;
  map->cfg = cfg;
  *out = std::move(map);
  return 0;
}

LdPool* dmap_pool(Dmap* map) { return map->pool; }

int dmap_domain_dn(const Dmap* map, std::string_view domain, std::string* dn) {
  if (domain.empty() || domain.size() > kMaxDomain) return IMAP_INVALID_USER;
  std::string out;
  size_t start = 0;
  for (;;) {
    size_t dot = domain.find('.', start);
    const std::string_view label = domain.substr(start, dot == std::string_view::npos ? dot : dot - start);
    if (label.empty() || label.size() > kMaxLabel) return IMAP_INVALID_USER;
    for (char ch : label) {
      const auto c = static_cast<unsigned char>(ch);
      if (c <= 0x20 || c == 0x7f) return IMAP_INVALID_USER;
    }
    out += "dc=" + ldap_dn_escape(label) + ",";
    if (dot == std::string_view::npos) break;
    start = dot + 1;
  }
  *dn = out + map->cfg.dcroot;
  return 0;
}

int dmap_locate_domain(Dmap* map, std::string_view domain, DmapDomain* out) {
  std::string dn;
  if (int r = dmap_domain_dn(map, domain, &dn)) return r;
  std::string key(domain);
  for (char& ch : key) ch = static_cast<char>(tolower(static_cast<unsigned char>(ch)));
  const auto now = std::chrono::steady_clock::now();
  if (map->cfg.cache_seconds > 0) {
    std::lock_guard lock(map->mu);
    auto it = map->cache.find(key);
    if (it != map->cache.end() && now < it->second.until) {
      *out = it->second.domain;
      out->name = domain;
      return 0;
    }
  }
  std::vector<LdEntry> entries;
  int r = ldpool_search(map->pool, dn, LdScope::kBase, map->cfg.filter, {}, 1, &entries);
  if (r == 0 && entries.empty()) r = IMAP_MAILBOX_NONEXISTENT;
  if (r) {
    if (map->cfg.debuglevel > 0) {
      bvlog(0, LOG_STORE_DEBUG, "Domain map: %s (%s): %s", std::string(domain).c_str(), dn.c_str(), error_message(r));
    }
    return r;
  }
  DmapDomain d;
  d.name = domain;
  d.entry = std::move(entries[0]);
  const std::string* base = d.first(map->cfg.basedn_attr);
  d.basedn = base && !base->empty() ? *base : d.entry.dn;
  if (map->cfg.debuglevel > 0) {
    bvlog(0, LOG_STORE_DEBUG, "Domain map: %s is %s, users under %s", d.name.c_str(), d.entry.dn.c_str(),
          d.basedn.c_str());
  }
  if (map->cfg.cache_seconds > 0) {
    std::lock_guard lock(map->mu);
    if (map->cache.size() >= kMaxCached) map->cache.clear();  // a burst of odd names: start again
    map->cache[key] = {d, now + std::chrono::seconds(map->cfg.cache_seconds)};
  }
  *out = std::move(d);
  return 0;
}
