#include "common/ldpool.h"

#include <ldap.h>
#include <strings.h>
#include <sys/time.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>

#include "common/bvlog.h"
#include "common/config.h"
#include "common/imap_err.h"

namespace {

struct LdapUnbinder {
  void operator()(LDAP* ld) const noexcept { ldap_unbind_ext_s(ld, nullptr, nullptr); }
};
struct LdapMsgFreer {
  void operator()(LDAPMessage* m) const noexcept { ldap_msgfree(m); }
};
struct LdapMemFreer {
  void operator()(char* p) const noexcept { ldap_memfree(p); }
};
struct BerFreer {
  void operator()(BerElement* b) const noexcept { ber_free(b, 0); }
};
struct ValuesFreer {
  void operator()(berval** v) const noexcept { ldap_value_free_len(v); }
};
using LdapPtr = std::unique_ptr<LDAP, LdapUnbinder>;
using LdapMsgPtr = std::unique_ptr<LDAPMessage, LdapMsgFreer>;
using LdapStrPtr = std::unique_ptr<char, LdapMemFreer>;
using BerPtr = std::unique_ptr<BerElement, BerFreer>;
using ValuesPtr = std::unique_ptr<berval*, ValuesFreer>;

// A failure of the connection itself: the server is gone or never answered.
// The connection is thrown away; the first two are worth one fresh attempt.
bool connection_lost(int rc) { return rc == LDAP_SERVER_DOWN || rc == LDAP_CONNECT_ERROR; }
bool connection_unusable(int rc) { return connection_lost(rc) || rc == LDAP_TIMEOUT; }

}  // namespace

struct LdPool {
  LdPoolConfig cfg;
  std::string url;
  std::mutex mu;
  std::condition_variable cv;
  std::vector<LdapPtr> idle;
  int open = 0;  // connections in existence, idle or in use (and being made)
};

void LdPoolDeleter::operator()(LdPool* p) const noexcept { delete p; }

const std::vector<std::string>* LdEntry::values(std::string_view attr) const {
  for (const auto& [name, vals] : attrs) {
    if (name.size() == attr.size() && strncasecmp(name.data(), attr.data(), attr.size()) == 0) return &vals;
  }
  return nullptr;
}

int ldpool_error(int rc) {
  switch (rc) {
    case LDAP_SUCCESS:
      return 0;
    case LDAP_NO_SUCH_OBJECT:
      return IMAP_MAILBOX_NONEXISTENT;
    case LDAP_FILTER_ERROR:
    case LDAP_INVALID_DN_SYNTAX:
    case LDAP_PARAM_ERROR:
    case LDAP_UNDEFINED_TYPE:
    case LDAP_INVALID_SYNTAX:
      return IMAP_CONFIG_ERROR;
    default:
      // Down, busy, unavailable, timed out, refused our bind, or anything
      // unforeseen: the user may well exist, so the answer is "try later",
      // never "no such user".
      return IMAP_TEMP_AUTH_FAILURE;
  }
}

std::string ldap_filter_escape(std::string_view v) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(v.size());
  for (char ch : v) {
    const auto c = static_cast<unsigned char>(ch);
    if (c == '*' || c == '(' || c == ')' || c == '\\' || c == '\0') {
      out += '\\';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    } else {
      out += ch;
    }
  }
  return out;
}

std::string ldap_dn_escape(std::string_view v) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(v.size());
  for (size_t i = 0; i < v.size(); ++i) {
    const auto c = static_cast<unsigned char>(v[i]);
    if (c < 0x20 || c == 0x7f) {
      out += '\\';
      out += kHex[c >> 4];
      out += kHex[c & 15];
      continue;
    }
    const bool special = std::strchr("\"+,;<>\\", c) != nullptr;
    const bool lead = i == 0 && (c == '#' || c == ' ');
    const bool trail = i + 1 == v.size() && c == ' ';
    if (special || lead || trail) out += '\\';
    out += static_cast<char>(c);
  }
  return out;
}

namespace {

int make_url(const LdPoolConfig& cfg, std::string* url) {
  for (char ch : cfg.host) {
    const auto c = static_cast<unsigned char>(ch);
    if (!(isalnum(c) || c == '.' || c == '-' || c == '_' || c == ':')) return IMAP_CONFIG_ERROR;
  }
  if (cfg.host.empty() || cfg.port < 0 || cfg.port > 65535) return IMAP_CONFIG_ERROR;
  const int port = cfg.port ? cfg.port : cfg.tls == LdTls::kLdaps ? 636 : 389;
  const bool v6 = cfg.host.find(':') != std::string::npos;
  *url = std::string(cfg.tls == LdTls::kLdaps ? "ldaps://" : "ldap://") + (v6 ? "[" : "") + cfg.host + (v6 ? "]" : "") +
         ":" + std::to_string(port);
  return 0;
}

// Opens and binds one connection.  Returns an LDAP result code; failures are
// logged here, once, without the credential.
int connect_one(const LdPool& pool, LdapPtr* out) {
  LDAP* raw = nullptr;
  int rc = ldap_initialize(&raw, pool.url.c_str());
  LdapPtr ld(raw);
  if (rc != LDAP_SUCCESS || !ld) {
    bvlog(0, LOG_STORE_ERR, "Cannot set up a connection to the directory at %s: %s", pool.url.c_str(),
          ldap_err2string(rc));
    return rc != LDAP_SUCCESS ? rc : LDAP_NO_MEMORY;
  }
  const int version = LDAP_VERSION3;
  const timeval connect_tv{pool.cfg.connect_timeout_s, 0};
  const timeval op_tv{pool.cfg.op_timeout_s, 0};
  // Referrals are not chased: following one would send our credential to a
  // server the administrator did not name.
  if (ldap_set_option(ld.get(), LDAP_OPT_PROTOCOL_VERSION, &version) != LDAP_OPT_SUCCESS ||
      ldap_set_option(ld.get(), LDAP_OPT_REFERRALS, LDAP_OPT_OFF) != LDAP_OPT_SUCCESS ||
      ldap_set_option(ld.get(), LDAP_OPT_NETWORK_TIMEOUT, &connect_tv) != LDAP_OPT_SUCCESS ||
      ldap_set_option(ld.get(), LDAP_OPT_TIMEOUT, &op_tv) != LDAP_OPT_SUCCESS) {
    bvlog(0, LOG_STORE_ERR, "Cannot set the options of a directory connection to %s", pool.url.c_str());
    return LDAP_LOCAL_ERROR;
  }
  if (pool.cfg.tls == LdTls::kStartTls) {
    // No fallback to plain text: the credential and the users' data would
    // cross the network in clear.
    rc = ldap_start_tls_s(ld.get(), nullptr, nullptr);
    if (rc != LDAP_SUCCESS) {
      bvlog(0, LOG_STORE_ERR, "Cannot start TLS with the directory at %s: %s", pool.url.c_str(), ldap_err2string(rc));
      return rc;
    }
  }
  berval cred{};
  cred.bv_val = const_cast<char*>(pool.cfg.bindcred.c_str());  // not modified by the library
  cred.bv_len = pool.cfg.bindcred.size();
  const char* dn = pool.cfg.binddn.empty() ? nullptr : pool.cfg.binddn.c_str();
  if (!dn) cred.bv_len = 0;  // anonymous: never send a credential without a name
  rc = ldap_sasl_bind_s(ld.get(), dn, LDAP_SASL_SIMPLE, &cred, nullptr, nullptr, nullptr);
  if (rc != LDAP_SUCCESS) {
    bvlog(0, LOG_STORE_ERR, "Cannot bind to the directory at %s as %s: %s", pool.url.c_str(), dn ? dn : "(anonymous)",
          ldap_err2string(rc));
    return rc;
  }
  *out = std::move(ld);
  return LDAP_SUCCESS;
}

// Takes an idle connection, or the right to make one.  Waits at most the
// operation time-out for a connection to come back.
int acquire(LdPool& pool, LdapPtr* ld) {
  std::unique_lock lk(pool.mu);
  const bool ok = pool.cv.wait_for(lk, std::chrono::seconds(pool.cfg.op_timeout_s),
                                   [&] { return !pool.idle.empty() || pool.open < pool.cfg.max_connections; });
  if (!ok) {
    bvlog(0, LOG_STORE_ERR, "All %d connections to the directory at %s stay busy", pool.cfg.max_connections,
          pool.url.c_str());
    return IMAP_TEMP_AUTH_FAILURE;
  }
  if (!pool.idle.empty()) {
    *ld = std::move(pool.idle.back());
    pool.idle.pop_back();
  } else {
    ++pool.open;
  }
  return 0;
}

void release(LdPool& pool, LdapPtr ld) {
  {
    std::lock_guard lk(pool.mu);
    if (ld) {
      pool.idle.push_back(std::move(ld));
    } else {
      --pool.open;
    }
  }
  pool.cv.notify_one();
}

void drop_idle(LdPool& pool) {
  std::vector<LdapPtr> dead;
  {
    std::lock_guard lk(pool.mu);
    dead.swap(pool.idle);
    pool.open -= static_cast<int>(dead.size());
  }
  pool.cv.notify_all();
}  // unbinding happens here, outside the lock

// Runs op(ld) -> LDAP result code on a pooled connection.  A connection the
// server closed (it restarted, or dropped an idle client) is replaced and the
// operation tried once more on the fresh one.
template <class Op>
int run(LdPool& pool, Op op) {
  for (int attempt = 0; attempt < 2; ++attempt) {
    LdapPtr ld;
    if (int r = acquire(pool, &ld)) return r;
    bool fresh = false;
    if (!ld) {
      if (int rc = connect_one(pool, &ld); rc != LDAP_SUCCESS) {
        release(pool, nullptr);
        return ldpool_error(rc);
      }
      fresh = true;
    }
    const int rc = op(ld.get());
    if (connection_unusable(rc)) {
      ld.reset();
      release(pool, nullptr);
      // The idle connections to a server that went away are dead too: drop
      // them so that the retry makes a fresh one.
      if (connection_lost(rc)) drop_idle(pool);
      if (connection_lost(rc) && !fresh) continue;
      bvlog(0, LOG_STORE_ERR, "Directory request to %s failed: %s", pool.url.c_str(), ldap_err2string(rc));
      return ldpool_error(rc);
    }
    release(pool, std::move(ld));
    return ldpool_error(rc);
  }
  return IMAP_TEMP_AUTH_FAILURE;
}

// Copies one entry out of a result.
void copy_entry(LDAP* ld, LDAPMessage* msg, LdEntry* entry) {
  if (LdapStrPtr dn(ldap_get_dn(ld, msg)); dn) entry->dn = dn.get();
  BerElement* raw_ber = nullptr;
  LdapStrPtr attr(ldap_first_attribute(ld, msg, &raw_ber));
  const BerPtr ber(raw_ber);
  for (; attr; attr.reset(ldap_next_attribute(ld, msg, ber.get()))) {
    const ValuesPtr vals(ldap_get_values_len(ld, msg, attr.get()));
    std::vector<std::string> copies;
    for (berval** v = vals.get(); v && *v; ++v) {
      if ((*v)->bv_len > LDPOOL_MAX_VALUE) {
        bvlog(0, LOG_STORE_WARNING, "Directory entry %s: a value of %s is longer than %zu bytes; ignored",
              entry->dn.c_str(), attr.get(), LDPOOL_MAX_VALUE);
        continue;
      }
      copies.emplace_back((*v)->bv_val, (*v)->bv_len);
    }
    entry->attrs.emplace_back(attr.get(), std::move(copies));
  }
}

int parse_tls(const char* text, LdTls* tls) {
  if (!text || !*text) {
    *tls = LdTls::kNone;
    return 0;
  }
  for (const char* off : {"0", "off", "no", "false"}) {
    if (strcasecmp(text, off) == 0) {
      *tls = LdTls::kNone;
      return 0;
    }
  }
  for (const char* on : {"1", "on", "yes", "true", "ldaps"}) {
    if (strcasecmp(text, on) == 0) {
      *tls = LdTls::kLdaps;
      return 0;
    }
  }
  if (strcasecmp(text, "starttls") == 0) {
    *tls = LdTls::kStartTls;
    return 0;
  }
  return IMAP_CONFIG_ERROR;
}

}  // namespace

int ldpool_new(const LdPoolConfig& cfg, LdPoolPtr* out) {
  LdPoolPtr pool(new LdPool);
  pool->cfg = cfg;
  if (pool->cfg.max_connections < 1) pool->cfg.max_connections = 1;
  if (pool->cfg.connect_timeout_s < 1) pool->cfg.connect_timeout_s = 1;
  if (pool->cfg.op_timeout_s < 1) pool->cfg.op_timeout_s = 1;
  if (make_url(cfg, &pool->url) != 0) {
    bvlog(0, LOG_STORE_ERR, "Cannot initialize Users & Groups LDAP pool: %s",
          cfg.host.empty() ? "no directory host configured (local.ugldaphost)" : "invalid directory host or port");
    return IMAP_CONFIG_ERROR;
  }
  // ldap_initialize only parses the URL: a refused one is a configuration
  // mistake, found here rather than at the first lookup.
  LDAP* probe = nullptr;
  if (int rc = ldap_initialize(&probe, pool->url.c_str()); rc != LDAP_SUCCESS) {
    bvlog(0, LOG_STORE_ERR, "Cannot initialize Users & Groups LDAP pool: %s", ldap_err2string(rc));
    return IMAP_CONFIG_ERROR;
  }
  LdapPtr discard(probe);
  *out = std::move(pool);
  return 0;
}

int ldpool_config_from_settings(LdPoolConfig* cfg) {
  config_cache* c = config_getdefaultcache();
  LdPoolConfig n;
  n.host = config_get_string(c, "local.ugldaphost", "");
  n.port = config_get_int(c, "local.ugldapport", 0);
  n.binddn = config_get_string(c, "local.ugldapbinddn", "");
  n.bindcred = config_get_string(c, "local.ugldapbindcred", "");
  n.basedn = config_get_string(c, "local.ugldapbasedn", "");
  n.max_connections = config_get_int(c, "local.ugldappoolsize", n.max_connections);
  n.op_timeout_s = config_get_int(c, "local.ugldaptimeout", n.op_timeout_s);
  n.connect_timeout_s = config_get_int(c, "local.ugldapconnecttimeout", n.connect_timeout_s);
  const char* tls = config_get_string(c, "local.ugldapusessl", "");
  if (parse_tls(tls, &n.tls) != 0) {
    bvlog(0, LOG_STORE_ERR, "Configuration key local.ugldapusessl: \"%s\" is not off, starttls or ldaps", tls);
    return IMAP_CONFIG_ERROR;
  }
  if (n.host.empty()) {
    bvlog(0, LOG_STORE_ERR, "Cannot initialize Users & Groups LDAP pool: %s",
          "no directory host configured (local.ugldaphost)");
    return IMAP_CONFIG_ERROR;
  }
  *cfg = std::move(n);
  return 0;
}

const std::string& ldpool_basedn(const LdPool* pool) { return pool->cfg.basedn; }

int ldpool_search(LdPool* pool, const std::string& base, LdScope scope, const std::string& filter,
                  const std::vector<std::string>& attrs, int sizelimit, std::vector<LdEntry>* out) {
  std::vector<char*> attrv;
  for (const auto& a : attrs) attrv.push_back(const_cast<char*>(a.c_str()));  // not modified by the library
  attrv.push_back(nullptr);
  out->clear();
  return run(*pool, [&](LDAP* ld) {
    timeval tv{pool->cfg.op_timeout_s, 0};
    LDAPMessage* raw = nullptr;
    int rc = ldap_search_ext_s(ld, base.c_str(), static_cast<int>(scope), filter.c_str(),
                               attrs.empty() ? nullptr : attrv.data(), 0, nullptr, nullptr, &tv, sizelimit, &raw);
    const LdapMsgPtr res(raw);
    // Reaching the size limit still delivers the entries up to it.
    if (rc != LDAP_SUCCESS && rc != LDAP_SIZELIMIT_EXCEEDED) return rc;
    std::vector<LdEntry> entries;
    for (LDAPMessage* e = ldap_first_entry(ld, res.get()); e; e = ldap_next_entry(ld, e)) {
      entries.emplace_back();
      copy_entry(ld, e, &entries.back());
    }
    *out = std::move(entries);
    return LDAP_SUCCESS;
  });
}

int ldpool_replace(LdPool* pool, const std::string& dn, const std::string& attr, const std::vector<std::string>& vals) {
  std::vector<berval> bvs(vals.size());
  std::vector<berval*> bvp;
  for (size_t i = 0; i < vals.size(); ++i) {
    bvs[i].bv_val = const_cast<char*>(vals[i].data());  // not modified by the library
    bvs[i].bv_len = vals[i].size();
    bvp.push_back(&bvs[i]);
  }
  bvp.push_back(nullptr);
  LDAPMod mod{};
  mod.mod_op = LDAP_MOD_REPLACE | LDAP_MOD_BVALUES;
  mod.mod_type = const_cast<char*>(attr.c_str());
  mod.mod_bvalues = bvp.data();
  LDAPMod* mods[] = {&mod, nullptr};
  return run(*pool, [&](LDAP* ld) {
    int msgid = 0;
    int rc = ldap_modify_ext(ld, dn.c_str(), mods, nullptr, nullptr, &msgid);
    if (rc != LDAP_SUCCESS) return rc;
    timeval tv{pool->cfg.op_timeout_s, 0};
    LDAPMessage* raw = nullptr;
    rc = ldap_result(ld, msgid, LDAP_MSG_ALL, &tv, &raw);
    const LdapMsgPtr res(raw);
    if (rc == 0) return LDAP_TIMEOUT;
    if (rc < 0) {
      int err = LDAP_SERVER_DOWN;
      (void)ldap_get_option(ld, LDAP_OPT_RESULT_CODE, &err);
      return err;
    }
    int err = LDAP_OTHER;
    if (ldap_parse_result(ld, res.get(), &err, nullptr, nullptr, nullptr, nullptr, 0) != LDAP_SUCCESS) {
      return LDAP_OTHER;
    }
    return err;
  });
}
