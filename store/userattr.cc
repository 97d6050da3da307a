#include "store/userattr.h"

#include <strings.h>

#include <cctype>
#include <mutex>

#include "common/bvlog.h"
#include "common/config.h"
#include "common/dmap.h"
#include "common/imap_err.h"
#include "common/ldpool.h"
#include "store/mboxname.h"

const char* const store_ldapattrs[kUserAttrCount] = {
    "mailhost",  "mailmessagestore", "preferredlanguage", "mail",
    "mailquota", "mailmsgquota",     "mailuserstatus",    "aclGroupAddr",
};

namespace {

// The directory in use.  Set by userattr_init before any lookup runs and
// only read afterwards, so lookups need no lock.
struct Directory {
  LdPool* pool = nullptr;
  Dmap* dmap = nullptr;
  LdPoolPtr owned_pool;
  DmapPtr owned_dmap;
  bool tried = false;
  int init_result = IMAP_CONFIG_ERROR;
};
std::mutex g_mu;
Directory g_dir;

bool clean_value(const std::string& v) {
  return v.size() <= USERATTR_MAX_VALUE && v.find_first_of(std::string_view("\r\n\0", 3)) == std::string::npos;
}

// The sanitised values of one attribute (see the header).
std::vector<std::string> sanitise(const LdEntry& entry, const std::string& attr) {
  std::vector<std::string> out;
  const auto* vals = entry.values(attr);
  if (!vals) return out;
  for (const auto& v : *vals) {
    if (!clean_value(v)) {
      bvlog(0, LOG_STORE_WARNING, "Directory entry %s: a value of %s holds CR, LF or NUL or is too long; ignored",
            entry.dn.c_str(), attr.c_str());
      continue;
    }
    if (out.size() == USERATTR_MAX_VALUES) break;
    out.push_back(v);
  }
  return out;
}

}  // namespace

int userattr_init(LdPool* pool, Dmap* dmap) {
  std::lock_guard lk(g_mu);
  if (pool && dmap) {
    g_dir.owned_dmap.reset();
    g_dir.owned_pool.reset();
    g_dir.pool = pool;
    g_dir.dmap = dmap;
    g_dir.tried = true;
    g_dir.init_result = 0;
    return 0;
  }
  if (g_dir.tried) return g_dir.init_result;
  g_dir.tried = true;
  LdPoolConfig pcfg;
  DmapConfig dcfg;
  LdPoolPtr p;
  DmapPtr d;
  if (ldpool_config_from_settings(&pcfg) != 0 || ldpool_new(pcfg, &p) != 0) return g_dir.init_result;
  if (dmap_config_from_settings(&dcfg) != 0 || dmap_new(p.get(), dcfg, &d) != 0) {
    bvlog(0, LOG_STORE_ERR, "Cannot initialize domain map");
    return g_dir.init_result;
  }
  g_dir.owned_pool = std::move(p);
  g_dir.owned_dmap = std::move(d);
  g_dir.pool = g_dir.owned_pool.get();
  g_dir.dmap = g_dir.owned_dmap.get();
  g_dir.init_result = 0;
  return 0;
}

void userattr_exit() {
  std::lock_guard lk(g_mu);
  g_dir.dmap = nullptr;
  g_dir.pool = nullptr;
  g_dir.owned_dmap.reset();  // the map borrows the pool: drop it first
  g_dir.owned_pool.reset();
  g_dir.tried = false;
  g_dir.init_result = IMAP_CONFIG_ERROR;
}

LdPool* userattr_pool() { return g_dir.pool; }
Dmap* userattr_dmap() { return g_dir.dmap; }

int userattr_check_userid(std::string_view userid) {
  if (userid.empty() || userid.size() > USERATTR_MAX_ID) return IMAP_INVALID_USER;
  if (userid.front() == '@' || userid.back() == '@') return IMAP_INVALID_USER;  // no local part or no domain
  for (char ch : userid) {
    const auto c = static_cast<unsigned char>(ch);
    if (c < 0x20 || c == 0x7f || c == '/') return IMAP_INVALID_USER;
  }
  // The id names the user's folders ("user/<id>"): one the folder-name
  // policy refuses could never get an INBOX, and wildcards would be asking
  // for trouble in every later lookup.
  char inbox[MBOXNAME_BUF];
  const std::string id(userid);
  mboxname_toownedmailbox(nullptr, id.c_str(), inbox);
  if (mboxname_policycheck(inbox) != 0) return IMAP_INVALID_USER;
  return 0;
}

int userattr_get_attrs(std::string_view userid, const std::vector<std::string>& attrs,
                       std::vector<std::vector<std::string>>* values, std::string* dn) {
  values->assign(attrs.size(), {});
  if (dn) dn->clear();
  if (int r = userattr_check_userid(userid)) return r;
  if (!g_dir.pool || !g_dir.dmap) return IMAP_CONFIG_ERROR;
  const std::string id(userid);
  const char* defdomain = config_get_string(config_getdefaultcache(), "service.defaultdomain", "");

  std::string uid = id;
  std::string domain = defdomain;
  const size_t at = id.rfind('@');
  if (at != std::string::npos && strcasecmp(id.c_str() + at + 1, defdomain) != 0) {
    domain = id.substr(at + 1);
  }
  std::string base;
  if (domain.empty()) {
    // No default domain: the users live under the pool's own base.
    base = ldpool_basedn(g_dir.pool);
    if (base.empty()) {
      bvlog(0, LOG_STORE_ERR, "Cannot look up user %s: neither service.defaultdomain nor local.ugldapbasedn is set",
            id.c_str());
      return IMAP_CONFIG_ERROR;
    }
  } else {
    DmapDomain d;
    if (int r = dmap_locate_domain(g_dir.dmap, domain, &d)) {
      bvlog(0, LOG_STORE_DEBUG, "%s failed for domain %s: %d",
            domain == defdomain ? "dmap_locate_domain" : "dmap_get_values", domain.c_str(), r);
      return r;
    }
    if (domain != defdomain) {
      const std::string* sep = d.first("domainUidSeparator");
      uid = id.substr(0, at);
      if (sep && !sep->empty()) uid += (*sep)[0] + domain;
    }
    base = d.basedn;
  }

  const std::string filter = "(uid=" + ldap_filter_escape(uid) + ")";
  std::vector<LdEntry> entries;
  if (int r = ldpool_search(g_dir.pool, base, LdScope::kSubtree, filter, attrs, 2, &entries)) {
    bvlog(0, LOG_STORE_DEBUG, "ldap_search failed for userid %s under %s: %s", id.c_str(), base.c_str(),
          error_message(r));
    return r;
  }
  if (entries.size() > 1) {
    bvlog(0, LOG_STORE_DEBUG, "Multiple ldap entries for userid %s under %s", id.c_str(), base.c_str());
    return IMAP_MAILBOX_NONEXISTENT;
  }
  if (entries.empty()) return IMAP_MAILBOX_NONEXISTENT;
  for (size_t i = 0; i < attrs.size(); ++i) (*values)[i] = sanitise(entries[0], attrs[i]);
  if (dn) *dn = entries[0].dn;
  return 0;
}

int userattr_get(std::string_view userid, UserAttrs* vals) {
  userattr_free(vals);
  const std::vector<std::string> attrs(store_ldapattrs, store_ldapattrs + kUserAttrCount);
  std::vector<std::vector<std::string>> values;
  std::string dn;
  if (int r = userattr_get_attrs(userid, attrs, &values, &dn)) return r;
  for (int i = 0; i < kUserAttrCount; ++i) vals->values[i] = std::move(values[i]);
  vals->dn = std::move(dn);
  return 0;
}

void userattr_free(UserAttrs* vals) {
  if (!vals) return;
  vals->dn.clear();
  for (auto& v : vals->values) v.clear();
}

std::optional<std::string> userattr_pref_lang(const UserAttrs* vals) {
  const std::string* v = vals ? vals->first(kAttrPreferredLanguage) : nullptr;
  if (!v || v->empty() || v->size() > 35) return std::nullopt;
  std::string out;
  for (char ch : *v) {
    const auto c = static_cast<unsigned char>(ch);
    if (!(isalnum(c) || c == '-')) return std::nullopt;
    out += static_cast<char>(tolower(c));
  }
  return out;
}
