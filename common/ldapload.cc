// The directory client library, loaded on first use.
//
// Linking libldap loads it, liblber, SASL and the whole TLS stack at every
// program start: about 2 ms of CPU, which a delivery process that never
// looks at the directory paid on every message.  These functions stand in
// for the few the store calls, under their own names, and open the library
// the first time one of them runs.  When it cannot be loaded, each fails as
// the library itself reports a failure (LDAP_NOT_SUPPORTED, LDAP_OPT_ERROR
// or a null pointer) and the reason is logged once.
#include <dlfcn.h>
#include <ldap.h>

#include "common/bvlog.h"

#ifndef ORV_LDAP_SONAME
#error "ORV_LDAP_SONAME names the directory client library to load"
#endif

namespace {

void* library() {
  static void* const handle = [] {
    void* h = dlopen(ORV_LDAP_SONAME, RTLD_NOW | RTLD_LOCAL);
    if (!h) {
      const char* why = dlerror();
      bvlog(0, bvlog_priority(0, LOG_SEV_ERR), "Unable to load the directory client library %s: %s", ORV_LDAP_SONAME,
            why ? why : "unknown error");
    }
    return h;
  }();
  return handle;
}

template <typename F>
F resolve(const char* name) {
  void* h = library();
  return h ? reinterpret_cast<F>(dlsym(h, name)) : nullptr;
}

}  // namespace

// One stand-in: looks the real function up once, then calls it.
#define ORV_LDAP_CALL(name, fail, ...)                                    \
  static const auto real = resolve<decltype(&::name)>(#name); /* NOLINT */ \
  if (!real) return fail;                                                 \
  return real(__VA_ARGS__)

extern "C" {

int ldap_initialize(LDAP** ldp, const char* url) { ORV_LDAP_CALL(ldap_initialize, LDAP_NOT_SUPPORTED, ldp, url); }

int ldap_get_option(LDAP* ld, int option, void* out) {
  ORV_LDAP_CALL(ldap_get_option, LDAP_OPT_ERROR, ld, option, out);
}

int ldap_set_option(LDAP* ld, int option, const void* in) {
  ORV_LDAP_CALL(ldap_set_option, LDAP_OPT_ERROR, ld, option, in);
}

int ldap_start_tls_s(LDAP* ld, LDAPControl** sctrls, LDAPControl** cctrls) {
  ORV_LDAP_CALL(ldap_start_tls_s, LDAP_NOT_SUPPORTED, ld, sctrls, cctrls);
}

int ldap_sasl_bind_s(LDAP* ld, const char* dn, const char* mechanism, struct berval* cred, LDAPControl** sctrls,
                     LDAPControl** cctrls, struct berval** servercredp) {
  ORV_LDAP_CALL(ldap_sasl_bind_s, LDAP_NOT_SUPPORTED, ld, dn, mechanism, cred, sctrls, cctrls, servercredp);
}

int ldap_unbind_ext_s(LDAP* ld, LDAPControl** sctrls, LDAPControl** cctrls) {
  ORV_LDAP_CALL(ldap_unbind_ext_s, LDAP_NOT_SUPPORTED, ld, sctrls, cctrls);
}

int ldap_search_ext_s(LDAP* ld, const char* base, int scope, const char* filter, char** attrs, int attrsonly,
                      LDAPControl** sctrls, LDAPControl** cctrls, struct timeval* timeout, int sizelimit,
                      LDAPMessage** res) {
  ORV_LDAP_CALL(ldap_search_ext_s, LDAP_NOT_SUPPORTED, ld, base, scope, filter, attrs, attrsonly, sctrls, cctrls,
                timeout, sizelimit, res);
}

int ldap_modify_ext(LDAP* ld, const char* dn, LDAPMod** mods, LDAPControl** sctrls, LDAPControl** cctrls,
                    int* msgidp) {
  ORV_LDAP_CALL(ldap_modify_ext, LDAP_NOT_SUPPORTED, ld, dn, mods, sctrls, cctrls, msgidp);
}

int ldap_result(LDAP* ld, int msgid, int all, struct timeval* timeout, LDAPMessage** result) {
  ORV_LDAP_CALL(ldap_result, -1, ld, msgid, all, timeout, result);
}

int ldap_parse_result(LDAP* ld, LDAPMessage* res, int* errcodep, char** matcheddnp, char** diagmsgp,
                      char*** referralsp, LDAPControl*** serverctrls, int freeit) {
  ORV_LDAP_CALL(ldap_parse_result, LDAP_NOT_SUPPORTED, ld, res, errcodep, matcheddnp, diagmsgp, referralsp,
                serverctrls, freeit);
}

int ldap_msgfree(LDAPMessage* lm) { ORV_LDAP_CALL(ldap_msgfree, -1, lm); }

LDAPMessage* ldap_first_entry(LDAP* ld, LDAPMessage* chain) { ORV_LDAP_CALL(ldap_first_entry, nullptr, ld, chain); }

LDAPMessage* ldap_next_entry(LDAP* ld, LDAPMessage* entry) { ORV_LDAP_CALL(ldap_next_entry, nullptr, ld, entry); }

char* ldap_get_dn(LDAP* ld, LDAPMessage* entry) { ORV_LDAP_CALL(ldap_get_dn, nullptr, ld, entry); }

char* ldap_first_attribute(LDAP* ld, LDAPMessage* entry, BerElement** ber) {
  ORV_LDAP_CALL(ldap_first_attribute, nullptr, ld, entry, ber);
}

char* ldap_next_attribute(LDAP* ld, LDAPMessage* entry, BerElement* ber) {
  ORV_LDAP_CALL(ldap_next_attribute, nullptr, ld, entry, ber);
}

struct berval** ldap_get_values_len(LDAP* ld, LDAPMessage* entry, const char* target) {
  ORV_LDAP_CALL(ldap_get_values_len, nullptr, ld, entry, target);
}

void ldap_value_free_len(struct berval** vals) { ORV_LDAP_CALL(ldap_value_free_len, void(), vals); }

void ldap_memfree(void* p) { ORV_LDAP_CALL(ldap_memfree, void(), p); }

void ber_free(BerElement* ber, int freebuf) { ORV_LDAP_CALL(ber_free, void(), ber, freebuf); }

void ber_memfree(void* p) { ORV_LDAP_CALL(ber_memfree, void(), p); }

char* ldap_err2string(int err) {
  static char unloaded[] = "the directory client library could not be loaded";
  ORV_LDAP_CALL(ldap_err2string, unloaded, err);
}

int ldap_str2dn(const char* str, LDAPDN* dn, unsigned flags) {
  ORV_LDAP_CALL(ldap_str2dn, LDAP_NOT_SUPPORTED, str, dn, flags);
}

int ldap_bv2dn(struct berval* bv, LDAPDN* dn, unsigned flags) {
  ORV_LDAP_CALL(ldap_bv2dn, LDAP_NOT_SUPPORTED, bv, dn, flags);
}

void ldap_dnfree(LDAPDN dn) { ORV_LDAP_CALL(ldap_dnfree, void(), dn); }

int ldap_bv2escaped_filter_value(struct berval* in, struct berval* out) {
  ORV_LDAP_CALL(ldap_bv2escaped_filter_value, LDAP_NOT_SUPPORTED, in, out);
}

}  // extern "C"
