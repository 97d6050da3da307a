#include "common/saslglue.h"

#include <ldap.h>
#include <pthread.h>
#include <sasl/saslplug.h>
#include <strings.h>

#include <cstring>
#include <map>
#include <mutex>
#include <new>

#include "common/bvlog.h"
#include "common/config.h"
#include "common/dmap.h"
#include "common/imap_err.h"
#include "common/ldpool.h"

const char* const SASLGLUE_ATTRS[SASLGLUE_NATTRS + 1] = {
    "mailhost",     "mailmessagestore", "preferredlanguage", "mail", "mailquota",
    "mailmsgquota", "mailuserstatus",   "aclGroupAddr",      "dn",   nullptr};

namespace {

// The library stores every callback as int (*)(void); the detour through
// void (*)() is the cast the language allows between function types.
template <class F>
sasl_callback_ft as_callback(F* f) {
  return reinterpret_cast<sasl_callback_ft>(reinterpret_cast<void (*)()>(f));
}

// The name our in-process auxprop plug-in registers under.
constexpr const char* kDirPlugin = "orvdir";

// Mechanisms never offered nor started, whatever mech_list says.
constexpr const char* kRefusedMechs[] = {"ANONYMOUS", "NTLM", "DIGEST-MD5", "OTP"};

bool mech_refused(std::string_view name) {
  // "-PLUS" variants follow their base mechanism.
  if (name.size() > 5 && strncasecmp(name.data() + name.size() - 5, "-PLUS", 5) == 0) name.remove_suffix(5);
  for (const char* m : kRefusedMechs) {
    if (name.size() == strlen(m) && strncasecmp(name.data(), m, name.size()) == 0) return true;
  }
  return false;
}

std::vector<std::string_view> split_blanks(std::string_view s) {
  std::vector<std::string_view> out;
  size_t i = 0;
  while (i < s.size()) {
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) ++i;
    size_t j = i;
    while (j < s.size() && s[j] != ' ' && s[j] != '\t') ++j;
    if (j > i) out.push_back(s.substr(i, j - i));
    i = j;
  }
  return out;
}

// A copy of s with control bytes shown as '?', for log lines.
std::string printable(std::string_view s) {
  std::string out(s);
  for (char& ch : out) {
    const auto c = static_cast<unsigned char>(ch);
    if (c < 0x20 || c == 0x7f) ch = '?';
  }
  return out;
}

// ---------------------------------------------------------------------------
// Options.  The library keeps the pointers getopt hands out, so values are
// copied once and live as long as their owner; a configuration refresh
// changes nothing for an existing context.

struct SaslOpts {
  std::string service;
  bool directory = false;
  std::mutex mu;
  std::map<std::string, std::unique_ptr<std::string>> cache;  // null: unset

  const char* get(const std::string& option) {
    std::lock_guard lk(mu);
    auto it = cache.find(option);
    if (it == cache.end()) it = cache.emplace(option, compute(option)).first;
    return it->second ? it->second->c_str() : nullptr;
  }

  std::unique_ptr<std::string> compute(const std::string& option) const {
    config_cache* cfg = config_getdefaultcache();
    const char* v = config_get_string(cfg, ("sasl." + service + "." + option).c_str(), nullptr);
    if (!v) v = config_get_string(cfg, ("sasl.default." + option).c_str(), nullptr);
    if (option == "mech_list") {
      std::string list;
      // The default list names EXTERNAL too: the library offers it only on
      // a connection given an external identity (SaslConnParams::external_id,
      // a verified client certificate), so elsewhere it is never available.
      const std::string defaults = std::string(SASLGLUE_DEFAULT_MECHS) + " EXTERNAL";
      for (auto m : split_blanks(v ? v : defaults.c_str())) {
        if (mech_refused(m)) continue;
        if (!list.empty()) list += ' ';
        list += m;
      }
      // Always a value, even an empty one: an unset mech_list would mean
      // "every mechanism installed" to the library.
      return std::make_unique<std::string>(list);
    }
    // Each back-end consults only its own store unless told otherwise.
    if (option == "auxprop_plugin" && !v) return std::make_unique<std::string>(directory ? kDirPlugin : "sasldb");
    if (!v) return nullptr;
    return std::make_unique<std::string>(v);
  }
};

int cb_getopt(void* context, const char* /*plugin_name*/, const char* option, const char** result,
              unsigned* len) noexcept {
  if (!context || !option || !result) return SASL_BADPARAM;
  try {
    const char* v = static_cast<SaslOpts*>(context)->get(option);
    if (!v) return SASL_FAIL;
    *result = v;
    if (len) *len = static_cast<unsigned>(strlen(v));
    return SASL_OK;
  } catch (...) {
    return SASL_NOMEM;
  }
}

int cb_log(void* /*context*/, int level, const char* message) noexcept {
  int sev;
  switch (level) {
    case SASL_LOG_NONE:
    case SASL_LOG_PASS:  // may carry passwords: never written
      return SASL_OK;
    case SASL_LOG_ERR:
      sev = LOG_SEV_ERR;
      break;
    case SASL_LOG_FAIL:
    case SASL_LOG_WARN:
      sev = LOG_SEV_WARNING;
      break;
    case SASL_LOG_NOTE:
      sev = LOG_SEV_NOTICE;
      break;
    default:
      sev = LOG_SEV_DEBUG;
  }
  try {
    bvlog(0, sev, "SASL: %s", printable(message ? message : "").c_str());
  } catch (...) {
  }
  return SASL_OK;
}

// The library reads <confpath>/<appname>.conf at start-up.  Our getopt
// answers every option, so such a file would never be consulted, but a
// broken one could still fail the start: point the library at a directory
// that holds none, so nothing under /etc/sasl2 matters.
int cb_getconfpath(void* /*context*/, char** path) noexcept {
  static char dir[] = "/nonexistent/orv-sasl";
  *path = dir;
  return SASL_OK;
}

// sasl_set_mutex: the library's defaults do nothing.
void* mutex_alloc() noexcept {
  auto* m = new (std::nothrow) pthread_mutex_t;
  if (m && pthread_mutex_init(m, nullptr) != 0) {
    delete m;
    return nullptr;
  }
  return m;
}
int mutex_lock(void* m) noexcept { return pthread_mutex_lock(static_cast<pthread_mutex_t*>(m)) == 0 ? 0 : -1; }
int mutex_unlock(void* m) noexcept { return pthread_mutex_unlock(static_cast<pthread_mutex_t*>(m)) == 0 ? 0 : -1; }
void mutex_free(void* m) noexcept {
  auto* pm = static_cast<pthread_mutex_t*>(m);
  pthread_mutex_destroy(pm);
  delete pm;
}

int dir_auxprop_init(const sasl_utils_t* utils, int max_version, int* out_version, sasl_auxprop_plug_t** plug,
                     const char* plugname) noexcept;

std::once_flag g_once;
int g_init_rc = SASL_NOTINIT;

void global_init(const char* appname, const std::string& service) {
  sasl_set_mutex(mutex_alloc, mutex_lock, mutex_unlock, mutex_free);
  // Process-wide: the library keeps these for its lifetime.
  static SaslOpts* const opts = [&] {
    auto* o = new SaslOpts;
    o->service = service;
    return o;
  }();
  static const std::string app = appname && *appname ? appname : "orv";
  static sasl_callback_t cbs[] = {
      {SASL_CB_GETOPT, as_callback(&cb_getopt), opts},
      {SASL_CB_LOG, as_callback(&cb_log), nullptr},
      {SASL_CB_GETCONFPATH, as_callback(&cb_getconfpath), nullptr},
      {SASL_CB_LIST_END, nullptr, nullptr},
  };
  int rc = sasl_server_init(cbs, app.c_str());
  if (rc == SASL_OK) rc = sasl_auxprop_add_plugin(kDirPlugin, &dir_auxprop_init);
  g_init_rc = rc;
}

struct LdapUnbind {
  void operator()(LDAP* ld) const noexcept { ldap_unbind_ext_s(ld, nullptr, nullptr); }
};
using LdapHandle = std::unique_ptr<LDAP, LdapUnbind>;

}  // namespace

// ---------------------------------------------------------------------------

struct saslglue_ctx {
  SaslOpts opts;
  bool directory = false;
  bool has_plain = false;
  LdPoolConfig ldcfg;
  std::string ldurl;
  SaslDirLookup lookup;
};

struct saslglue_conn {
  saslglue_ctx* ctx = nullptr;
  sasl_conn_t* sasl = nullptr;
  sasl_callback_t cbs[3] = {};
  std::string clienthost;
  std::string realm;
  // The directory's verdict during the current call: the library answers a
  // failed verifier with its own codes (a directory that is down would read
  // "user not found"), so the wrappers report this one instead.
  int dir_result = SASL_OK;
  // Whether the last check or exchange succeeded.  The library names a user
  // as soon as it has canonicalised the name, even when the check then
  // fails, so the identity is handed out only after a success.
  bool authenticated = false;
  // The last entry looked up: the auxprop lookup and the password check of
  // one call share one search.
  bool cached = false;
  std::string cached_user;
  int cached_rc = SASL_OK;
  std::string cached_dn;
  std::vector<std::vector<std::string>> cached_vals;
};

namespace {

int finish(saslglue_conn* c, int r) {
  c->authenticated = r == SASL_OK;
  if (r == SASL_OK || r == SASL_CONTINUE) return r;
  if (c->dir_result != SASL_OK) return c->dir_result;
  return r;
}

void begin(saslglue_conn* c, bool new_exchange) {
  c->dir_result = SASL_OK;
  c->authenticated = false;
  if (new_exchange) c->cached = false;
}

// The attributes read from the directory: the store's eight, then (at
// kPasswordIdx) the cleartext password when the site says it keeps one.
constexpr size_t kPasswordIdx = SASLGLUE_ATTR_DN;
std::vector<std::string> dir_attrs(const saslglue_ctx& ctx) {
  std::vector<std::string> a(SASLGLUE_ATTRS, SASLGLUE_ATTRS + SASLGLUE_ATTR_DN);
  if (ctx.has_plain) a.emplace_back("userPassword");
  return a;
}

// Finds user's entry (cached per call).  A SASL code.
int dir_find(saslglue_conn* c, std::string_view user) {
  std::string id(user);
  const std::string& realm = c->realm;
  if (!realm.empty() && id.size() > realm.size() + 1 && id[id.size() - realm.size() - 1] == '@' &&
      strcasecmp(id.c_str() + id.size() - realm.size(), realm.c_str()) == 0) {
    id.resize(id.size() - realm.size() - 1);
  }
  if (c->cached && c->cached_user == id) return c->cached_rc;
  c->cached = true;
  c->cached_user = id;
  c->cached_dn.clear();
  c->cached_vals.clear();
  int rc = id.empty() || id.find('\0') != std::string::npos ? IMAP_INVALID_USER : 0;
  if (!rc) rc = c->ctx->lookup(id, dir_attrs(*c->ctx), &c->cached_vals, &c->cached_dn);
  if (rc == 0) {
    c->cached_rc = c->cached_dn.empty() ? SASL_NOUSER : SASL_OK;
  } else if (rc == IMAP_MAILBOX_NONEXISTENT || rc == IMAP_INVALID_USER) {
    c->cached_rc = SASL_NOUSER;
  } else if (error_is_temporary(rc)) {
    bvlog(0, LOG_SEV_ERR, "Cannot look up user %s for %s in the directory: %s", printable(id).c_str(),
          printable(c->clienthost).c_str(), error_message(rc));
    c->cached_rc = SASL_UNAVAIL;
  } else {
    bvlog(0, LOG_SEV_ERR, "Cannot look up user %s for %s in the directory: %s", printable(id).c_str(),
          printable(c->clienthost).c_str(), error_message(rc));
    c->cached_rc = SASL_FAIL;
  }
  return c->cached_rc;
}

// A simple bind as dn with pass on a connection of its own (a pooled
// connection would change identity).  A SASL code.
int dir_bind(const saslglue_ctx& ctx, const std::string& dn, std::string_view pass) {
  // An empty password is an "unauthenticated bind" (RFC 4513 5.1.2), which
  // many servers answer with success: never a login.
  if (dn.empty() || pass.empty()) return SASL_BADAUTH;
  LDAP* raw = nullptr;
  int rc = ldap_initialize(&raw, ctx.ldurl.c_str());
  LdapHandle ld(raw);
  if (rc != LDAP_SUCCESS || !ld) {
    bvlog(0, LOG_SEV_ERR, "Cannot set up a connection to the directory at %s: %s", ctx.ldurl.c_str(),
          ldap_err2string(rc));
    return SASL_FAIL;
  }
  const int version = LDAP_VERSION3;
  const timeval connect_tv{ctx.ldcfg.connect_timeout_s, 0};
  const timeval op_tv{ctx.ldcfg.op_timeout_s, 0};
  if (ldap_set_option(ld.get(), LDAP_OPT_PROTOCOL_VERSION, &version) != LDAP_OPT_SUCCESS ||
      ldap_set_option(ld.get(), LDAP_OPT_REFERRALS, LDAP_OPT_OFF) != LDAP_OPT_SUCCESS ||
      ldap_set_option(ld.get(), LDAP_OPT_NETWORK_TIMEOUT, &connect_tv) != LDAP_OPT_SUCCESS ||
      ldap_set_option(ld.get(), LDAP_OPT_TIMEOUT, &op_tv) != LDAP_OPT_SUCCESS) {
    bvlog(0, LOG_SEV_ERR, "Cannot set the options of a directory connection to %s", ctx.ldurl.c_str());
    return SASL_FAIL;
  }
  if (ctx.ldcfg.tls == LdTls::kStartTls) {
    // Never a password in clear when TLS was asked for.
    rc = ldap_start_tls_s(ld.get(), nullptr, nullptr);
    if (rc != LDAP_SUCCESS) {
      bvlog(0, LOG_SEV_ERR, "Cannot start TLS with the directory at %s: %s", ctx.ldurl.c_str(), ldap_err2string(rc));
      return SASL_UNAVAIL;
    }
  }
  std::string copy(pass);
  berval cred{copy.size(), copy.data()};
  rc = ldap_sasl_bind_s(ld.get(), dn.c_str(), LDAP_SASL_SIMPLE, &cred, nullptr, nullptr, nullptr);
  std::fill(copy.begin(), copy.end(), '\0');
  switch (rc) {
    case LDAP_SUCCESS:
      return SASL_OK;
    case LDAP_INVALID_CREDENTIALS:
    case LDAP_INAPPROPRIATE_AUTH:
    case LDAP_UNWILLING_TO_PERFORM:  // e.g. a locked account
      return SASL_BADAUTH;
    case LDAP_SERVER_DOWN:
    case LDAP_CONNECT_ERROR:
    case LDAP_TIMEOUT:
    case LDAP_TIMELIMIT_EXCEEDED:
    case LDAP_BUSY:
    case LDAP_UNAVAILABLE:
    case LDAP_NO_MEMORY:
      bvlog(0, LOG_SEV_ERR, "Cannot bind to the directory at %s as %s: %s", ctx.ldurl.c_str(), printable(dn).c_str(),
            ldap_err2string(rc));
      return SASL_UNAVAIL;
    default:
      bvlog(0, LOG_SEV_ERR, "Cannot bind to the directory at %s as %s: %s", ctx.ldurl.c_str(), printable(dn).c_str(),
            ldap_err2string(rc));
      return SASL_FAIL;
  }
}

// Hands the found entry's store attributes (and "dn") to the connection's
// property context; values already there are replaced.
void set_entry_props(saslglue_conn* c, propctx* props) {
  for (int i = 0; i < SASLGLUE_NATTRS; ++i) {
    const char* name = SASLGLUE_ATTRS[i];
    const propval* pv = prop_get(props);
    bool requested = false;
    for (; pv && pv->name; ++pv) {
      if (strcasecmp(pv->name, name) == 0) {
        requested = true;
        name = pv->name;
        break;
      }
    }
    if (!requested) continue;
    prop_erase(props, name);
    if (i == SASLGLUE_ATTR_DN) {
      prop_set(props, name, c->cached_dn.data(), static_cast<int>(c->cached_dn.size()));
      continue;
    }
    if (static_cast<size_t>(i) >= c->cached_vals.size()) continue;
    for (const auto& v : c->cached_vals[i]) prop_set(props, name, v.data(), static_cast<int>(v.size()));
  }
}

// SASL_CB_SERVER_USERDB_CHECKPASS in directory mode: find the entry, bind as
// it.  The context is the connection.
int cb_checkpass(sasl_conn_t* /*conn*/, void* context, const char* user, const char* pass, unsigned passlen,
                 propctx* props) noexcept {
  auto* c = static_cast<saslglue_conn*>(context);
  try {
    int r = dir_find(c, user ? user : "");
    if (r == SASL_OK) r = dir_bind(*c->ctx, c->cached_dn, std::string_view(pass ? pass : "", pass ? passlen : 0));
    if (r != SASL_OK) {
      c->dir_result = r;
      return r;
    }
    if (props) set_entry_props(c, props);
    return SASL_OK;
  } catch (...) {
    c->dir_result = SASL_NOMEM;
    return SASL_NOMEM;
  }
}

// The auxprop plug-in: the store attributes for the authorization identity,
// and the cleartext password (only when configured) for the authentication
// identity, of connections made in directory mode.
int dir_auxprop_lookup(void* /*glob*/, sasl_server_params_t* sparams, unsigned flags, const char* user,
                       unsigned ulen) noexcept {
  if (!sparams || !user) return SASL_BADPARAM;
  sasl_callback_ft proc = nullptr;
  void* context = nullptr;
  if (sparams->utils->getcallback(sparams->utils->conn, SASL_CB_SERVER_USERDB_CHECKPASS, &proc, &context) != SASL_OK ||
      proc != as_callback(&cb_checkpass)) {
    return SASL_NOUSER;  // not one of our directory connections
  }
  auto* c = static_cast<saslglue_conn*>(context);
  try {
    const int r = dir_find(c, std::string_view(user, ulen ? ulen : strlen(user)));
    if (r != SASL_OK) {
      c->dir_result = r;
      return r;
    }
    if (flags & SASL_AUXPROP_AUTHZID) {
      set_entry_props(c, sparams->propctx);
      return SASL_OK;
    }
    if (!c->ctx->has_plain) return SASL_OK;
    for (const propval* pv = prop_get(sparams->propctx); pv && pv->name; ++pv) {
      if (strcasecmp(pv->name, SASL_AUX_PASSWORD) != 0) continue;
      if (pv->values && !(flags & SASL_AUXPROP_OVERRIDE)) continue;
      if (pv->values) prop_erase(sparams->propctx, pv->name);
      if (c->cached_vals.size() <= kPasswordIdx) continue;
      for (const auto& v : c->cached_vals[kPasswordIdx]) {
        prop_set(sparams->propctx, pv->name, v.data(), static_cast<int>(v.size()));
      }
    }
    return SASL_OK;
  } catch (...) {
    c->dir_result = SASL_NOMEM;
    return SASL_NOMEM;
  }
}

sasl_auxprop_plug_t g_dir_plug = {
    0,                    // features
    0,                    // spare
    nullptr,              // glob_context
    nullptr,              // auxprop_free
    &dir_auxprop_lookup,  // auxprop_lookup
    const_cast<char*>(kDirPlugin),
    nullptr,  // auxprop_store: the directory is not written through SASL
};

int dir_auxprop_init(const sasl_utils_t* /*utils*/, int max_version, int* out_version, sasl_auxprop_plug_t** plug,
                     const char* /*plugname*/) noexcept {
  if (!out_version || !plug) return SASL_BADPARAM;
  if (max_version < SASL_AUXPROP_PLUG_VERSION) return SASL_BADVERS;
  *out_version = SASL_AUXPROP_PLUG_VERSION;
  *plug = &g_dir_plug;
  return SASL_OK;
}

std::string ldap_url(const LdPoolConfig& cfg) {
  const int port = cfg.port ? cfg.port : cfg.tls == LdTls::kLdaps ? 636 : 389;
  const bool v6 = cfg.host.find(':') != std::string::npos;
  return std::string(cfg.tls == LdTls::kLdaps ? "ldaps://" : "ldap://") + (v6 ? "[" : "") + cfg.host + (v6 ? "]" : "") +
         ":" + std::to_string(port);
}

}  // namespace

SaslDirLookup saslglue_dir_lookup(Dmap* dmap, LdPool* pool) {
  const char* dd = config_get_string(config_getdefaultcache(), "service.defaultdomain", "");
  std::string defdomain = dd ? dd : "";
  return [dmap, pool, defdomain](std::string_view user, const std::vector<std::string>& attrs,
                                 std::vector<std::vector<std::string>>* values, std::string* dn) -> int {
    values->assign(attrs.size(), {});
    dn->clear();
    std::string uid(user);
    std::string domain = defdomain;
    const size_t at = uid.rfind('@');
    if (at != std::string::npos && strcasecmp(uid.c_str() + at + 1, defdomain.c_str()) != 0) {
      domain = uid.substr(at + 1);
      uid.resize(at);
    } else if (at != std::string::npos) {
      uid.resize(at);
    }
    if (uid.empty()) return IMAP_INVALID_USER;
    std::string base;
    if (dmap && !domain.empty()) {
      DmapDomain d;
      if (int r = dmap_locate_domain(dmap, domain, &d)) return r;
      if (domain != defdomain) {
        const std::string* sep = d.first("domainUidSeparator");
        if (sep && !sep->empty()) uid += (*sep)[0] + domain;
      }
      base = d.basedn;
    } else if (domain != defdomain) {
      return IMAP_MAILBOX_NONEXISTENT;  // another domain, and no map to find it
    } else {
      base = ldpool_basedn(pool);
      if (base.empty()) return IMAP_CONFIG_ERROR;
    }
    std::vector<LdEntry> entries;
    if (int r =
            ldpool_search(pool, base, LdScope::kSubtree, "(uid=" + ldap_filter_escape(uid) + ")", attrs, 2, &entries)) {
      return r;
    }
    if (entries.size() != 1) return IMAP_MAILBOX_NONEXISTENT;  // none, or ambiguous
    for (size_t i = 0; i < attrs.size(); ++i) {
      if (const auto* v = entries[0].values(attrs[i])) (*values)[i] = *v;
    }
    *dn = entries[0].dn;
    return 0;
  };
}

int saslglue_init(const char* appname, const char* service, Dmap* dmap, LdPool* pool, const LdPoolConfig* ldcfg,
                  SaslDirLookup lookup, saslglue_ctx** out) {
  *out = nullptr;
  const std::string svc = service && *service ? service : "pop";
  std::call_once(g_once, global_init, appname, svc);
  if (g_init_rc != SASL_OK) {
    bvlog(0, LOG_SEV_CRIT, "Cannot initialize SASL: %s", sasl_errstring(g_init_rc, nullptr, nullptr));
    return g_init_rc;
  }
  auto ctx = std::make_unique<saslglue_ctx>();
  ctx->opts.service = svc;
  if (ldcfg) {
    if (!lookup && !pool) {
      bvlog(0, LOG_SEV_CRIT, "Cannot initialize SASL: a directory needs a connection pool or a lookup");
      return SASL_BADPARAM;
    }
    ctx->directory = true;
    ctx->opts.directory = true;
    ctx->ldcfg = *ldcfg;
    ctx->ldurl = ldap_url(*ldcfg);
    ctx->lookup = lookup ? std::move(lookup) : saslglue_dir_lookup(dmap, pool);
    ctx->has_plain = config_get_switch(config_getdefaultcache(), "sasl.default.ldap.has_plain_passwords", 0) != 0;
  }
  // Read the options that matter now, so a later refresh of the
  // configuration cannot change one context half-way.
  for (const char* o : {"mech_list", "pwcheck_method", "auxprop_plugin", "sasldb_path", "log_level"}) {
    (void)ctx->opts.get(o);
  }
  *out = ctx.release();
  return SASL_OK;
}

void saslglue_free(saslglue_ctx* ctx) { delete ctx; }

bool saslglue_apop_available(const saslglue_ctx* ctx) { return ctx && (!ctx->directory || ctx->has_plain); }

int saslglue_conn_new(saslglue_ctx* ctx, const SaslConnParams& p, saslglue_conn** out) {
  *out = nullptr;
  if (!ctx) return SASL_BADPARAM;
  SaslGlueConnPtr c(new saslglue_conn);
  c->ctx = ctx;
  c->clienthost = p.clienthost ? p.clienthost : "";
  c->realm = p.user_realm ? p.user_realm : "";
  int n = 0;
  c->cbs[n++] = {SASL_CB_GETOPT, as_callback(&cb_getopt), &ctx->opts};
  if (ctx->directory) {
    c->cbs[n++] = {SASL_CB_SERVER_USERDB_CHECKPASS, as_callback(&cb_checkpass), c.get()};
  }
  c->cbs[n++] = {SASL_CB_LIST_END, nullptr, nullptr};

  const char* realm = p.user_realm && *p.user_realm ? p.user_realm : nullptr;
  int r = sasl_server_new(p.service ? p.service : "pop", p.serverfqdn, realm, p.iplocalport, p.ipremoteport, c->cbs, 0,
                          &c->sasl);
  if (r != SASL_OK) {
    bvlog(0, LOG_SEV_ERR, "Cannot make a SASL connection for %s: %s", printable(c->clienthost).c_str(),
          sasl_errstring(r, nullptr, nullptr));
    c->sasl = nullptr;
    return r;
  }
  // No anonymous logins, no security layer (the server never applies one),
  // and the plaintext mechanisms only where the caller allows them.
  sasl_security_properties_t props{};
  props.min_ssf = 0;
  props.max_ssf = 0;
  props.maxbufsize = 0;
  props.security_flags = SASL_SEC_NOANONYMOUS | (p.refuse_plaintext ? SASL_SEC_NOPLAINTEXT : 0);
  r = sasl_setprop(c->sasl, SASL_SEC_PROPS, &props);
  if (r == SASL_OK && p.external_ssf) {
    const sasl_ssf_t ssf = p.external_ssf;
    r = sasl_setprop(c->sasl, SASL_SSF_EXTERNAL, &ssf);
  }
  if (r == SASL_OK && p.external_id && *p.external_id) r = sasl_setprop(c->sasl, SASL_AUTH_EXTERNAL, p.external_id);
  // The store attributes come only from the directory; asking a password
  // file for them would open it once per attribute on every login.
  if (r == SASL_OK && ctx->directory) r = sasl_auxprop_request(c->sasl, const_cast<const char**>(SASLGLUE_ATTRS));
  if (r != SASL_OK) {
    bvlog(0, LOG_SEV_ERR, "Cannot set up the SASL connection for %s: %s", printable(c->clienthost).c_str(),
          sasl_errdetail(c->sasl));
    return r;
  }
  *out = c.release();
  return SASL_OK;
}

void saslglue_conn_free(saslglue_conn* conn) {
  if (!conn) return;
  if (conn->sasl) sasl_dispose(&conn->sasl);
  delete conn;
}

int saslglue_listmech(saslglue_conn* conn, const char* prefix, const char* sep, const char* suffix, std::string* out) {
  out->clear();
  const char* list = nullptr;
  unsigned len = 0;
  int count = 0;
  const int r = sasl_listmech(conn->sasl, nullptr, "", " ", "", &list, &len, &count);
  if (r != SASL_OK) return r;
  std::string names;
  for (auto m : split_blanks(std::string_view(list, len))) {
    if (mech_refused(m)) continue;
    if (!names.empty()) names += sep;
    names += m;
  }
  *out = std::string(prefix) + names + suffix;
  return SASL_OK;
}

int saslglue_checkpass(saslglue_conn* conn, std::string_view user, std::string_view pass) {
  begin(conn, true);
  // The library measures empty or unterminated strings with strlen.
  if (user.empty() || user.find('\0') != std::string_view::npos) return SASL_NOUSER;
  const std::string u(user);
  const std::string p(pass);
  const int r = sasl_checkpass(conn->sasl, u.c_str(), static_cast<unsigned>(u.size()), p.c_str(),
                               static_cast<unsigned>(p.size()));
  return finish(conn, r);
}

int saslglue_checkapop(saslglue_conn* conn, std::string_view challenge, std::string_view response) {
  begin(conn, true);
  if (challenge.empty() || challenge.find('\0') != std::string_view::npos ||
      response.find('\0') != std::string_view::npos) {
    return SASL_BADPROT;
  }
  const std::string ch(challenge);
  const std::string resp(response);
  const int r = sasl_checkapop(conn->sasl, ch.c_str(), static_cast<unsigned>(ch.size()), resp.c_str(),
                               static_cast<unsigned>(resp.size()));
  return finish(conn, r);
}

int saslglue_server_start(saslglue_conn* conn, std::string_view mech, const std::string* initial, std::string* out) {
  begin(conn, true);
  out->clear();
  if (mech.empty() || mech_refused(mech) || mech.find_first_of(std::string_view(" \t\0", 3)) != std::string::npos) {
    return SASL_NOMECH;
  }
  const std::string m(mech);
  const char* serverout = nullptr;
  unsigned outlen = 0;
  const int r = sasl_server_start(conn->sasl, m.c_str(), initial ? initial->data() : nullptr,
                                  initial ? static_cast<unsigned>(initial->size()) : 0, &serverout, &outlen);
  if (serverout) out->assign(serverout, outlen);
  return finish(conn, r);
}

int saslglue_server_step(saslglue_conn* conn, std::string_view response, std::string* out) {
  begin(conn, false);
  out->clear();
  const char* serverout = nullptr;
  unsigned outlen = 0;
  const int r =
      sasl_server_step(conn->sasl, response.data(), static_cast<unsigned>(response.size()), &serverout, &outlen);
  if (serverout) out->assign(serverout, outlen);
  return finish(conn, r);
}

int saslglue_username(saslglue_conn* conn, std::string* user) {
  user->clear();
  if (!conn->authenticated) return SASL_NOTDONE;
  const void* v = nullptr;
  const int r = sasl_getprop(conn->sasl, SASL_USERNAME, &v);
  if (r != SASL_OK) return r;
  if (!v || !*static_cast<const char*>(v)) return SASL_NOTDONE;
  *user = static_cast<const char*>(v);
  return SASL_OK;
}

int saslglue_attrs(saslglue_conn* conn, std::vector<std::vector<std::string>>* values) {
  values->assign(SASLGLUE_NATTRS, {});
  if (!conn->authenticated) return SASL_NOTDONE;
  propctx* props = sasl_auxprop_getctx(conn->sasl);
  if (!props) return SASL_FAIL;
  propval vals[SASLGLUE_NATTRS] = {};
  const int n = prop_getnames(props, const_cast<const char**>(SASLGLUE_ATTRS), vals);
  if (n < 0) return n;
  for (int i = 0; i < SASLGLUE_NATTRS; ++i) {
    if (!vals[i].values) continue;
    for (const char** v = vals[i].values; *v; ++v) (*values)[i].emplace_back(*v);
  }
  return SASL_OK;
}

const char* saslglue_errdetail(saslglue_conn* conn) { return conn && conn->sasl ? sasl_errdetail(conn->sasl) : ""; }

sasl_conn_t* saslglue_sasl(saslglue_conn* conn) { return conn->sasl; }

SaslRespClass saslglue_respclass(int saslerr) {
  switch (saslerr) {
    case SASL_FAIL:
    case SASL_BADVERS:
    case SASL_NOVERIFY:
      return SaslRespClass::kSysPerm;
    case SASL_NOMEM:
    case SASL_TRYAGAIN:
    case SASL_UNAVAIL:
      return SaslRespClass::kSysTemp;
    case SASL_BADAUTH:
    case SASL_NOAUTHZ:
    case SASL_EXPIRED:
    case SASL_DISABLED:
    case SASL_NOUSER:
      return SaslRespClass::kAuth;
    default:
      return SaslRespClass::kNone;
  }
}

const char* saslglue_respcode(int saslerr) {
  switch (saslglue_respclass(saslerr)) {
    case SaslRespClass::kAuth:
      return "[AUTH] ";
    case SaslRespClass::kSysTemp:
      return "[SYS/TEMP] ";
    case SaslRespClass::kSysPerm:
      return "[SYS/PERM] ";
    case SaslRespClass::kNone:
      break;
  }
  return "";
}
